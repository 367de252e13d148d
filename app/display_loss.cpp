#include "display_loss.h"

#include <X11/Xlib.h>
#include <unistd.h>

#include <cstring>

#include "exit_signals.h"

namespace {

const char LOST_HEAD[] = "Error using the display ";
const char LOST_REASON[] =
    "its X server closed the connection (the server or the session ended, "
    "or the window was killed)\n";

// write(2) only: another thread may hold the lock of any stream.
void write_text(const char *text)
{
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = write(STDERR_FILENO, text, left);
        if (n <= 0)
            return;
        text += n;
        left -= static_cast<size_t>(n);
    }
}

// Runs on the thread whose Xlib call failed, which may hold Xlib's and
// the library's locks: it calls nothing of either, and only what is
// async-signal-safe, since the other threads are stopped wherever they
// are. It never returns, so Xlib never calls exit().
int on_display_lost(Display *display)
{
    run_exit_cleanups();
    write_text(LOST_HEAD);
    // The name Xlib keeps in the connection's record, read as it stands.
    write_text(display ? DisplayString(display) : "");
    write_text("\n");
    write_text(LOST_REASON);
    _exit(1);
}

}  // namespace

void watch_display() { XSetIOErrorHandler(on_display_lost); }
