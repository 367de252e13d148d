// The window's close button and the dialog objects that answer it: the
// one state of where the run is, which a press consults, and the widgets
// that every dialog of the window shares.
#ifndef APP_CLOSE_BUTTON_H
#define APP_CLOSE_BUTTON_H

#include <allegro.h>

// Where the run is, for the close button. While a dialog of the window or
// the progress window or the watch window runs, and once the run has done its work (or
// failed), a press waits as a request for a window to take; otherwise it
// stops the run. The progress window and the run say so here.
void set_dialog_running(bool running);
void set_progress_window_running(bool running);
void set_watch_window_running(bool running);
void set_run_over();

// The window's close button, called on the library's input thread: leaves
// a request for close_request_proc or the window's stop question, or
// stops the run the way an interrupt does (stop_run: exit 143).
void close_button_pressed();

// Takes a close request left by close_button_pressed: true once per press.
bool take_close_request();

// Runs a dialog of the window with the close button handed to its
// close_request_proc object; returns do_dialog's result.
int run_window_dialog(DIALOG *dialog, int focus);

// A button that, when it would close the dialog, calls the int (*)(void)
// held in its dp3 (if any) and returns that callback's result instead.
int callback_button_proc(int msg, DIALOG *d, int c);

// An invisible object that, on an idle message after the window's close
// button was pressed, calls the int (*)(void) held in its dp3 and returns
// its result; otherwise it returns D_O_K.
int close_request_proc(int msg, DIALOG *d, int c);

#endif
