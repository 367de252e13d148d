// Windows: the desktop is not a server that can go away under a running
// program; logging off or shutting down comes as a console control event,
// which the exit-signal handler answers (platform/exit_signals.h).
#include "display_loss.h"

void watch_display() {}
