// levels.js, what the page reads of the web map: each level's size, place
// in the game's grid and which tiles of its pyramid were cut.
#ifndef WEB_LEVELS_SCRIPT_H
#define WEB_LEVELS_SCRIPT_H

#include <string>
#include <vector>

// One level as the page needs it.
struct WebLevel {
    int zoom = 0;
    std::string map_name;
    int width = 0, height = 0;
    int min_column = 0, min_row = 0, tile_size = 0;
    int depth = 0;                   // pyramid levels below the top one
    std::vector<int> columns;        // tiles a row, per pyramid level
    std::vector<std::string> present;  // hex bits of the tiles cut
};

// Fills in level's depth, columns and present from the tiles found in
// the pyramid folder pyramid of folder_fd (libvips leaves out those
// wholly background), from its width and height.
void note_cut_tiles(int folder_fd, const std::string &pyramid,
                    const std::string &tile_ext, WebLevel *level);

// The script: the page's title, the tiles' format ("png" or "jpg"), the
// maps' background and the levels.
std::string levels_script(const std::string &title, const std::string &tile_ext,
                          const int background[3],
                          const std::vector<WebLevel> &levels);

#endif
