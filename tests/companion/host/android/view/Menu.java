package android.view;

/** An interface on the device; a class here, so that the runner can make one. */
public class Menu {
}
