// Closes a window of another X client the way a window manager does, for the
// end-to-end tests on displays without one.
//   close_window delete WINDOW_ID    sends WM_PROTOCOLS / WM_DELETE_WINDOW
//   close_window destroy WINDOW_ID   destroys the X window outright
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <X11/Xlib.h>

namespace {

bool sendDeleteWindow(Display* display, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    return XSendEvent(display, window, False, NoEventMask, &event) != 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "delete") != 0 && std::strcmp(argv[1], "destroy") != 0)) {
        std::cerr << "usage: close_window delete|destroy WINDOW_ID\n";
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::cerr << "close_window: cannot open the display\n";
        return 1;
    }
    const Window window = std::strtoul(argv[2], nullptr, 0);
    bool sent = true;
    if (std::strcmp(argv[1], "delete") == 0) {
        sent = sendDeleteWindow(display, window);
    } else {
        XDestroyWindow(display, window);
    }
    XSync(display, False);
    XCloseDisplay(display);
    return sent ? 0 : 1;
}
