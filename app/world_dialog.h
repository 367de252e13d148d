// The world selection dialog that a run without --world opens, with its
// quit alert.
#ifndef APP_WORLD_DIALOG_H
#define APP_WORLD_DIALOG_H

#include <allegro.h>

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

// The world selection dialog, a row for each of WORLD_COUNT worlds: row r
// stands for world r + 1. The list's selected row is in
// world_dialog[WORLD_DIALOG_LIST].d1.
extern DIALOG world_dialog[];

// List box content callback: the text of row index, or, for a negative
// index, null with the number of rows stored in *list_size.
const char *world_list_getter(int index, int *list_size);

// The Quit button's callback: asks "Really Quit?"; "Yes" ends the process
// with exit code 0, "No" returns D_O_K and the dialog goes on.
int confirm_quit();

// Runs the dialog in the open window and returns the world chosen; a
// confirmed Quit ends the process. The close button is left to the dialog
// until the progress window takes it (the run then calls
// set_dialog_running(false)), so that a press as the dialog closes is
// asked about there.
int choose_world();

#endif
