package android.os;

public final class Bundle {
}
