// How the watch's writes reach map_web: through one private folder of
// the run's own inside it (private_output.h). Each file is written there
// and renamed over its place, so a reader finds the older file or the new
// one, whole; a level cut again whole is cut there and exchanged with the
// older pyramid. A watch killed at any moment leaves only that folder,
// with a free run lock, which the next run removes.
#ifndef WEB_LIVE_FILES_H
#define WEB_LIVE_FILES_H

#include <string>

#include "pyramid_cut.h"

// Opens map_web in the current folder and makes the private folder in
// it (removing what killed runs left there); also removed at exit.
// False with *why.
bool open_live_files(std::string *why);
void close_live_files();

// map_web, open while following; and a path in it, for messages.
int live_web_fd();
std::string live_path(const std::string &name);

// Opens (making where missing, with the user's folder mode) the folders
// of path below map_web, without following links; -1 with *why.
int open_live_folders(const std::string &path, std::string *why);

// Writes data as name in the folder open at dir (below map_web);
// shown_as is its path below map_web, for messages.
bool replace_live_file(int dir, const std::string &name, const std::string &data,
                       const std::string &shown_as, std::string *why);

// Cuts region as the pyramid name and puts it in place of the older one
// in map_web. False with *why (the older one stays).
bool replace_live_level(const CanvasRegion &region, const std::string &name,
                        const std::string &tile_ext, const int background[3],
                        std::string *why);

#endif
