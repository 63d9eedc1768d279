/* Makes batches of titled top-level windows on the display and destroys them again, until it is
 * killed: other programs that walk the display's windows meet windows that vanish under them. */
#include <X11/Xlib.h>

int main(void) {
    Display* display = XOpenDisplay(0);
    if (!display) return 1;
    Window windows[300];
    for (;;) {
        for (int i = 0; i < 300; ++i) {
            windows[i] = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
            XStoreName(display, windows[i], "Zelk Flash Tool v0 (churn)");
        }
        XSync(display, False);
        for (int i = 0; i < 300; ++i) XDestroyWindow(display, windows[i]);
        XSync(display, False);
    }
}
