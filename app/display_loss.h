// The display going away while the program runs: its X server ended, the
// desktop session closed, or the window killed (xkill). Xlib then calls
// its I/O error handler on whichever thread found the connection gone,
// mostly the graphics library's input thread, and would end the process
// with exit() from there while the other threads go on.
#ifndef APP_DISPLAY_LOSS_H
#define APP_DISPLAY_LOSS_H

// Puts in Xlib's place a handler that ends the run as an exit signal
// does, from any thread and once: the registered clean-ups remove the
// unfinished map and the tile links (older maps stay), then one message
// naming the display goes to standard error and the process ends with
// exit code 1.
void watch_display();

#endif
