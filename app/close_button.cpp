#include "close_button.h"

#include <atomic>

#include "exit_signals.h"

namespace {

// Where the run is, for the close button: in the dialog and while the
// progress window runs a close request waits to be picked up; otherwise it
// stops the run.
std::atomic<bool> dialog_running(false);
std::atomic<bool> progress_window_running(false);
std::atomic<bool> watch_window_running(false);
std::atomic<bool> close_requested(false);
// Set once the run has done its work, or failed: from then on nothing is
// left to stop, and a close request only waits for a window to take it.
std::atomic<bool> run_over(false);

}  // namespace

void set_dialog_running(bool running) { dialog_running = running; }

void set_progress_window_running(bool running)
{
    progress_window_running = running;
}

void set_watch_window_running(bool running)
{
    watch_window_running = running;
}

void set_run_over() { run_over = true; }

// The request is left first and taken back only when the dialog is not
// running, so that a press as the dialog closes is seen either here or by
// run_mapper, never by neither.
void close_button_pressed()
{
    close_requested = true;
    if (!dialog_running && !progress_window_running && !run_over &&
        !watch_window_running && close_requested.exchange(false))
        stop_run();
}

bool take_close_request() { return close_requested.exchange(false); }

int run_window_dialog(DIALOG *dialog, int focus)
{
    take_close_request();
    dialog_running = true;
    const int result = do_dialog(dialog, focus);
    dialog_running = false;
    return result;
}

int callback_button_proc(int msg, DIALOG *d, int c)
{
    int ret = d_button_proc(msg, d, c);
    if (ret == D_CLOSE && d->dp3)
        return reinterpret_cast<int (*)()>(d->dp3)();
    return ret;
}

int close_request_proc(int msg, DIALOG *d, int)
{
    if (msg != MSG_IDLE || !close_requested.exchange(false) || !d->dp3)
        return D_O_K;
    return reinterpret_cast<int (*)()>(d->dp3)();
}
