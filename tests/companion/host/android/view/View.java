package android.view;

public class View {
}
