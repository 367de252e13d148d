// The web map: beside the map images, map.html in the output folder and
// the map_web/ folder it reads (Leaflet, the view's script, the levels'
// description and one tile pyramid per level, cut by libvips from each
// level's canvas while it is still in memory). Knows nothing of worlds or
// lists: it is handed each canvas with its grid origin and tile size.
// This is the run's side; the page's files are written by web_page.h.
//
// The folder is written under an unpredictable private name in the output
// folder and swapped in whole by one rename once complete, so a reader
// never sees half of it and no tile of an earlier run survives.
#ifndef WEB_WEB_MAP_H
#define WEB_WEB_MAP_H

#include <allegro.h>

#include <string>

// pyramid_cut_bytes: the memory a level's cut takes beside its canvas;
// the levels' description and their shown regions.
#include "pyramid_cut.h"
// False in a build without the web map (Windows: no libvips there); the
// functions below are then never called.
extern const bool WEB_MAP_BUILT;
#include "web_levels.h"

// Name of the page in the output folder, and of the folder it reads.
extern const char WEB_PAGE_NAME[];
extern const char WEB_FOLDER_NAME[];

// Starts libvips and remembers the maps' background colour, whose tiles
// are left out. Ends the process with a message when Leaflet's files are
// missing, before any map is made.
void start_web_map(int background_r, int background_g, int background_b);

// The format of a level's web tiles.
enum WebTileFormat { WEB_TILES_PNG, WEB_TILES_JPEG };

// Starts cutting the pyramid of one level from canvas (24 or 32 bits,
// read only), of the region set_web_region named or else all of it:
// zoom is the level, map_name the map's file name, tiles the tiles'
// format, min_column and min_row the grid cell of the
// canvas's top-left corner and tile_size the grid's cell in pixels. Logs
// "Cutting web tiles for <map_name>". The cut runs beside the caller on
// another thread where /proc names open folders, otherwise here;
// release_web_canvas waits for it. After a failure the later levels are
// not cut and finish_web_map reports it.
void cut_web_level(BITMAP *canvas, int zoom, const char *map_name,
                   WebTileFormat tiles, int min_column, int min_row, int tile_size);

// Returns once nothing reads canvas any more, and logs "Cutting web tiles
// for <map_name> done" if its cut succeeded.
void release_web_canvas(BITMAP *canvas);

// The page's title, naming the world the maps show.
void name_web_map(const std::string &title);

// Called when the map map_name could not be saved for the reason why:
// the web map gives its room on the disk to the maps, which come first.
// Stops the cut, removes the unfinished web map (the run then reports
// that it was left out) and returns true when it held any room, so that
// the map is tried once more.
bool web_map_gives_way(const char *map_name, const char *why);

// Removes what a killed --watch left in the web map of the current
// folder (a private folder that nobody holds any more).
void sweep_web_leftovers();

// Writes the page and puts the finished folder in place of the older
// one. On failure removes the unfinished folder, keeps the older web
// map and puts the reason, with the path and the system's reason, into
// *why.
bool finish_web_map(std::string *why);

#endif
