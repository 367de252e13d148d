// The web map kept up to date while the maps change (--watch). Each web
// tile that changed pixels touch, at every pyramid level, is cut again
// alone from the canvas and written in a private folder of the run's own
// in the web map (private_output.h), then renamed over its place, so a
// reader never sees half a tile and a killed run leaves nothing that the
// next run does not remove; levels.js and updates.js, which the open
// page reads every second, are replaced the same way. A level whose
// canvas or shown region changed is cut again whole in that folder and
// takes the older one's place in one exchange.
#ifndef WEB_LIVE_WEB_H
#define WEB_LIVE_WEB_H

#include <string>
#include <vector>

struct BITMAP;

// Name of the script the page loads every second.
extern const char WEB_UPDATES_SCRIPT[];

// Starts following the web map that finish_web_map has just published in
// the current folder, and writes its first updates.js. False with *why set.
bool start_live_web(std::string *why);

// Stops following: the private folder in the web map goes. Also at exit.
void stop_live_web();

// Level zoom's canvas as the web map was cut from it (cut_web_level's
// arguments, the tiles' format aside), kept and changed from now on.
void follow_web_level(BITMAP *canvas, int zoom, const char *map_name,
                      int min_column, int min_row, int tile_size);

// Pixels x, y, width, height of level zoom's canvas changed.
void mark_web_change(int zoom, int x, int y, int width, int height);

// Level zoom is shown from a new canvas, or a new region of it: cut it
// again whole at the next publish_web_changes. The arguments are
// follow_web_level's.
void replace_web_level(BITMAP *canvas, int zoom, const char *map_name,
                       int min_column, int min_row, int tile_size);

// Cuts and writes what changed since the last success, then the scripts;
// *tiles_cut counts the web tiles written. False with *why set (the path
// and the system's reason): the tiles already on disk stay whole and the
// changes are kept for the next call.
bool publish_web_changes(int *tiles_cut, std::string *why);

#endif
