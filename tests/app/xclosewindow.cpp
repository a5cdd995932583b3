// Asks an X11 window to close the way a window manager does when the user clicks its close button: a
// WM_DELETE_WINDOW client message. Fails when the window does not take part in that protocol.
// Usage: xclosewindow WINDOW_ID   (decimal or 0x-prefixed hex; DISPLAY names the server)
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s WINDOW_ID\n", argv[0]);
        return 2;
    }
    const Window window = std::strtoul(argv[1], nullptr, 0);
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "xclosewindow: cannot open the display\n");
        return 1;
    }
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);

    Atom *supported = nullptr;
    int supportedCount = 0;
    bool takesDelete = false;
    if (XGetWMProtocols(display, window, &supported, &supportedCount)) {
        for (int i = 0; i < supportedCount; ++i)
            takesDelete = takesDelete || supported[i] == deleteWindow;
        XFree(supported);
    }
    if (!takesDelete) {
        std::fprintf(stderr, "xclosewindow: window %s does not take WM_DELETE_WINDOW\n", argv[1]);
        XCloseDisplay(display);
        return 1;
    }

    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = protocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(deleteWindow);
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    XCloseDisplay(display);
    return sent ? 0 : 1;
}
