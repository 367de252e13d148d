#include "levels_script.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>

#include "pyramid_cut.h"

namespace {

const char HEX_DIGITS[] = "0123456789abcdef";

int ceil_div(int a, int b) { return (a + b - 1) / b; }

// JSON string of a name: ours need no escapes beyond these.
std::string quoted(const std::string &s)
{
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            q += '\\';
        q += c;
    }
    return q + "\"";
}

}  // namespace

// One bit a tile, row by row, as hex digits.
void note_cut_tiles(int folder_fd, const std::string &pyramid,
                    const std::string &tile_ext, WebLevel *level)
{
    WebLevel &l = *level;
    l.depth = pyramid_depth(l.width, l.height);
    for (int k = 0; k <= l.depth; ++k) {
        const int scale = 1 << (l.depth - k);
        const int cols = ceil_div(ceil_div(l.width, scale), WEB_TILE_SIZE);
        const int rows = ceil_div(ceil_div(l.height, scale), WEB_TILE_SIZE);
        std::string hex;
        int nibble = 0, bits = 0;
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < cols; ++x) {
                const std::string tile = pyramid + "/" + std::to_string(k) + "/" +
                                         std::to_string(y) + "/" +
                                         std::to_string(x) + "." + tile_ext;
                struct stat st;
                const bool cut = fstatat(folder_fd, tile.c_str(), &st,
                                         AT_SYMLINK_NOFOLLOW) == 0;
                nibble = nibble << 1 | (cut ? 1 : 0);
                if (++bits == 4) {
                    hex += HEX_DIGITS[nibble];
                    nibble = bits = 0;
                }
            }
        }
        if (bits > 0)
            hex += HEX_DIGITS[nibble << (4 - bits)];
        l.columns.push_back(cols);
        l.present.push_back(hex);
    }
}

std::string levels_script(const std::string &title, const std::string &tile_ext,
                          const int background[3],
                          const std::vector<WebLevel> &levels)
{
    std::ostringstream js;
    char colour[8];
    std::snprintf(colour, sizeof colour, "#%02x%02x%02x", background[0],
                  background[1], background[2]);
    js << "// The levels of this web map, written by mapper.\n"
       << "var MAPPER_WEB = {\n  title: " << quoted(title)
       << ",\n  tileSize: " << WEB_TILE_SIZE
       << ",\n  format: " << quoted(tile_ext == "jpg" ? "jpg" : "png")
       << ",\n  background: " << quoted(colour) << ",\n  levels: [";
    for (size_t i = 0; i < levels.size(); ++i) {
        const WebLevel &l = levels[i];
        js << (i ? "," : "") << "\n    {zoom: " << l.zoom
           << ", name: " << quoted(l.map_name) << ", width: " << l.width
           << ", height: " << l.height << ", minColumn: " << l.min_column
           << ", minRow: " << l.min_row << ", gridTile: " << l.tile_size
           << ", depth: " << l.depth << ",\n     columns: [";
        for (size_t k = 0; k < l.columns.size(); ++k)
            js << (k ? ", " : "") << l.columns[k];
        js << "],\n     present: [";
        for (size_t k = 0; k < l.present.size(); ++k)
            js << (k ? ", " : "") << quoted(l.present[k]);
        js << "]}";
    }
    js << "\n  ]\n};\n";
    return js.str();
}
