// The program's shell: start-up, the world selection dialog with its quit
// alert, and the one pass that reads the chosen world and composes its maps.
#ifndef APP_MAPPER_H
#define APP_MAPPER_H

#include <allegro.h>

#include "options.h"

// Number of worlds the dialog offers; row r stands for world r + 1.
const int WORLD_COUNT = 5;

// Indexes of the dialog's objects. The yield object sleeps while nothing
// happens, so that the waiting dialog leaves the processor alone; the
// close-request object turns the window's close button into the Quit
// button's callback.
enum {
    WORLD_DIALOG_CLEAR,
    WORLD_DIALOG_LIST,
    WORLD_DIALOG_CAPTION,
    WORLD_DIALOG_QUIT,
    WORLD_DIALOG_YIELD,
    WORLD_DIALOG_CLOSE_REQUEST,
    WORLD_DIALOG_END
};

// The world selection dialog; the list's selected row is in
// world_dialog[WORLD_DIALOG_LIST].d1.
extern DIALOG world_dialog[];

// List box content callback: the text of row index, or, for a negative
// index, null with the number of rows stored in *list_size.
const char *world_list_getter(int index, int *list_size);

// A button that, when it would close the dialog, calls the int (*)(void)
// held in its dp3 (if any) and returns that callback's result instead.
int callback_button_proc(int msg, DIALOG *d, int c);

// An invisible object that, on an idle message after the window's close
// button was pressed, calls the int (*)(void) held in its dp3 and returns
// its result; otherwise it returns D_O_K.
int close_request_proc(int msg, DIALOG *d, int c);

// The window's close button, called on the library's input thread. While
// the dialog or the progress window runs, and once the run has done its
// work, it leaves a request for close_request_proc or the window's stop
// question; otherwise it stops the run the way an interrupt does, with
// SIGTERM to the process.
void close_button_pressed();

// Runs a dialog of the window with the close button handed to its
// close_request_proc object; returns do_dialog's result.
int run_window_dialog(DIALOG *dialog, int focus);

// Takes a close request left by close_button_pressed: true once per press.
bool take_close_request();

// The Quit button's callback: asks "Really Quit?"; "Yes" ends the process
// with exit code 0, "No" returns D_O_K and the dialog goes on.
int confirm_quit();

// The whole program: start-up, the world from options or the dialog, read,
// compose. Returns the exit code of a normal run; fatal failures end the
// process with exit code 1.
int run_mapper(const Options &options);

#endif
