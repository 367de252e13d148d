// The web map where libvips is not at hand (the Windows build): the
// command line refuses --web, so nothing here is ever called.
#include "web_map.h"

#include <cstdlib>

const bool WEB_MAP_BUILT = false;
const char WEB_PAGE_NAME[] = "map.html";
const char WEB_FOLDER_NAME[] = "map_web";

void start_web_map(int, int, int) { std::abort(); }

void cut_web_level(BITMAP *, int, const char *, WebTileFormat, int, int, int)
{
    std::abort();
}

void release_web_canvas(BITMAP *) {}

bool finish_web_map(std::string *) { return true; }

void sweep_web_leftovers() {}

void name_web_map(const std::string &) {}

bool web_map_gives_way(const char *, const char *) { return false; }

int64_t pyramid_cut_bytes(int64_t, int64_t) { return 0; }
