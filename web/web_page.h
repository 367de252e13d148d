// The page's side of the web map: Leaflet's files as Debian installs
// them, the page and its scripts (page/, built into the program) and the
// levels' description, written into the web map's unfinished folder.
// levels.js is written last: a folder that holds it is a whole web map
// of ours.
#ifndef WEB_WEB_PAGE_H
#define WEB_WEB_PAGE_H

#include <string>

#include "web_levels.h"

// The unfinished folder, open at fd; messages name it as the web map's
// folder in out_path.
struct PageFolder {
    int fd = -1;
    std::string out_path;
};

// True when every one of Leaflet's files can be read; otherwise false,
// with *why naming the first that cannot and the system's reason.
bool leaflet_at_hand(std::string *why);

// Copies Leaflet's files, its images into a new images/. False on a
// failure, with the path and the system's reason in *why.
bool write_leaflet(const PageFolder &folder, std::string *why);

// Writes the page, its scripts and, last, levels.js describing info.
// False on a failure, with the path and the system's reason in *why.
bool write_page(const PageFolder &folder, const WebMapInfo &info,
                std::string *why);

// Whether the folder open at fd holds our levels.js.
bool is_whole_web_map(int fd);

#endif
