/* Asks a top-level X11 window to close the way a window manager's close box
 * does: a WM_DELETE_WINDOW client message. Fails when the window does not
 * take part in that protocol, since then no desktop could close it cleanly.
 *
 *   kv_close_window <window id>
 */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

static int TakesDeleteWindow(Display* display, Window window, Atom deleteWindow)
{
    Atom* protocols = NULL;
    int count = 0;
    int found = 0;
    if (XGetWMProtocols(display, window, &protocols, &count) == 0)
        return 0;
    for (int i = 0; i < count; ++i)
        if (protocols[i] == deleteWindow)
            found = 1;
    XFree(protocols);
    return found;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: kv_close_window <window id>\n");
        return 2;
    }
    char* end = NULL;
    errno = 0;
    const unsigned long id = strtoul(argv[1], &end, 0);
    if (errno != 0 || end == argv[1] || *end != '\0' || id == 0) {
        fprintf(stderr, "kv_close_window: not a window id: '%s'\n", argv[1]);
        return 2;
    }

    Display* display = XOpenDisplay(NULL);
    if (display == NULL) {
        fprintf(stderr, "kv_close_window: cannot open the display\n");
        return 1;
    }
    const Window window = (Window)id;
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    if (!TakesDeleteWindow(display, window, deleteWindow)) {
        fprintf(stderr, "kv_close_window: window 0x%lx does not take WM_DELETE_WINDOW\n", id);
        XCloseDisplay(display);
        return 1;
    }

    XEvent event = {0};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = protocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = (long)deleteWindow;
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    XCloseDisplay(display);
    if (sent == 0) {
        fprintf(stderr, "kv_close_window: cannot send to window 0x%lx\n", id);
        return 1;
    }
    return 0;
}
