// wm_close WINDOW: sends a window the close request that a window manager
// sends when the user clicks the title bar's close button, a WM_PROTOCOLS
// client message carrying WM_DELETE_WINDOW. The display is $DISPLAY.
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>

namespace {

const int FORMAT_32 = 32;

int usage()
{
    std::fprintf(stderr, "usage: wm_close WINDOW-ID\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
        return usage();
    char *end = nullptr;
    unsigned long id = std::strtoul(argv[1], &end, 0);
    if (end == argv[1] || *end != '\0' || id == 0)
        return usage();

    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "wm_close: cannot open display %s\n",
                     XDisplayName(nullptr));
        return 1;
    }
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = id;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = FORMAT_32;
    event.xclient.data.l[0] = XInternAtom(display, "WM_DELETE_WINDOW", False);
    event.xclient.data.l[1] = CurrentTime;
    Status sent = XSendEvent(display, id, False, NoEventMask, &event);
    XSync(display, False);
    XCloseDisplay(display);
    if (!sent) {
        std::fprintf(stderr, "wm_close: cannot send to window %s\n", argv[1]);
        return 1;
    }
    return 0;
}
