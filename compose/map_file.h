// What writing a map file takes: a temporary file that only this process
// can reach, the save through the library's file-type registry, a check
// that the file is whole, a flush to the disk and the rename over the
// map; and, if the process is told to stop meanwhile, the removal of the
// temporary file.
#ifndef COMPOSE_MAP_FILE_H
#define COMPOSE_MAP_FILE_H

#include <allegro.h>

#include <string>

// Writes canvas as the map name (a file name in the current folder whose
// extension picks the codec) and replaces any older map of that name
// only once the new file is whole and on the disk. On failure the older
// map stays, nothing else is left behind, and *why (if not null) receives
// what went wrong with the system's reason, e.g. "writing
// map_zoom_0.part-…/map_zoom_0.png: No space left on device". SIGINT,
// SIGTERM and SIGHUP meanwhile end the process as catch_exit_signals says.
bool save_map(const std::string &name, BITMAP *canvas, std::string *why);

// From now on SIGINT, SIGTERM and SIGHUP end the process with exit code
// 128 + the signal's number, after removing a temporary map that is being
// written. Takes the place of the library's handlers for those signals
// until release_exit_signals; calling it again changes nothing.
void catch_exit_signals();

// Puts back the handlers that catch_exit_signals replaced.
void release_exit_signals();

#endif
