#include "web_levels.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

WebMapInfo published_web_map;

const char WEB_LEVELS_SCRIPT[] = "levels.js";

namespace {

// The region of each level's canvas that the web map shows, in grid
// cells, where set_web_region named one; otherwise the whole canvas.
struct WebRegion {
    bool set = false;
    int first_column = 0, first_row = 0, last_column = 0, last_row = 0;
};
WebRegion regions[WEB_REGION_SLOTS];

const char HEX_DIGITS[] = "0123456789abcdef";
const int BITS_A_DIGIT = 4;

int ceil_div(int a, int b) { return (a + b - 1) / b; }

// JSON string of a map's name: our names need no escapes beyond these.
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

// The tiles of one pyramid level as hex digits of one bit a tile.
std::string hex_bits(const std::vector<char> &cut)
{
    std::string hex;
    int nibble = 0, bits = 0;
    for (char c : cut) {
        nibble = nibble << 1 | (c ? 1 : 0);
        if (++bits == BITS_A_DIGIT) {
            hex += HEX_DIGITS[nibble];
            nibble = bits = 0;
        }
    }
    if (bits > 0)
        hex += HEX_DIGITS[nibble << (BITS_A_DIGIT - bits)];
    return hex;
}

std::string description(const WebMapInfo &info)
{
    std::ostringstream js;
    char colour[8];
    std::snprintf(colour, sizeof colour, "#%02x%02x%02x", info.background[0],
                  info.background[1], info.background[2]);
    js << "{\n  title: " << quoted(info.title)
       << ",\n  tileSize: " << WEB_TILE_SIZE
       << ",\n  format: " << quoted(info.tile_ext == "jpg" ? "jpg" : "png")
       << ",\n  background: " << quoted(colour)
       << ",\n  run: " << quoted(info.run)
       << ",\n  generation: " << info.generation
       << ",\n  following: " << (info.following ? "true" : "false")
       << ",\n  levels: [";
    for (size_t i = 0; i < info.levels.size(); ++i) {
        const WebLevel &l = info.levels[i];
        js << (i ? "," : "") << "\n    {zoom: " << l.zoom
           << ", name: " << quoted(l.map_name) << ", width: " << l.width
           << ", height: " << l.height << ", minColumn: " << l.min_column
           << ", minRow: " << l.min_row << ", gridTile: " << l.tile_size
           << ", depth: " << l.depth << ",\n     columns: [";
        for (size_t k = 0; k < l.columns.size(); ++k)
            js << (k ? ", " : "") << l.columns[k];
        js << "],\n     present: [";
        for (size_t k = 0; k < l.cut.size(); ++k)
            js << (k ? ", " : "") << quoted(hex_bits(l.cut[k]));
        js << "]}";
    }
    js << "\n  ]\n}";
    return js.str();
}

}  // namespace

void set_web_region(int zoom, int first_column, int first_row, int last_column,
                    int last_row)
{
    if (zoom < 0 || zoom >= WEB_REGION_SLOTS)
        return;
    regions[zoom] = {true, first_column, first_row, last_column, last_row};
}

void web_level_region(BITMAP *canvas, int zoom, const char *map_name,
                      int min_column, int min_row, int tile_size,
                      WebLevel *level, int *x, int *y)
{
    level->zoom = zoom;
    level->map_name = map_name;
    level->tile_size = tile_size;
    level->min_column = min_column;
    level->min_row = min_row;
    level->width = canvas->w;
    level->height = canvas->h;
    *x = *y = 0;
    const WebRegion *r = zoom >= 0 && zoom < WEB_REGION_SLOTS ? &regions[zoom] : nullptr;
    if (r && r->set) {
        level->min_column = r->first_column;
        level->min_row = r->first_row;
        *x = (r->first_column - min_column) * tile_size;
        *y = (r->first_row - min_row) * tile_size;
        level->width = std::min(canvas->w - *x,
                                (r->last_column - r->first_column + 1) * tile_size);
        level->height = std::min(canvas->h - *y,
                                 (r->last_row - r->first_row + 1) * tile_size);
    }
}

void size_pyramid(WebLevel *l)
{
    l->depth = pyramid_depth(l->width, l->height);
    l->columns.clear();
    l->rows.clear();
    l->cut.clear();
    for (int k = 0; k <= l->depth; ++k) {
        const int scale = 1 << (l->depth - k);
        const int cols = ceil_div(ceil_div(l->width, scale), WEB_TILE_SIZE);
        const int rows = ceil_div(ceil_div(l->height, scale), WEB_TILE_SIZE);
        l->columns.push_back(cols);
        l->rows.push_back(rows);
        l->cut.emplace_back(static_cast<size_t>(cols) * rows, 0);
    }
}

std::string pyramid_name(int zoom) { return "z" + std::to_string(zoom); }

std::string web_tile_path(int zoom, int k, int row, int column,
                          const std::string &ext)
{
    return pyramid_name(zoom) + "/" + std::to_string(k) + "/" +
           std::to_string(row) + "/" + std::to_string(column) + "." + ext;
}

void note_cut_tiles(int folder_fd, const std::string &tile_ext, WebLevel *l)
{
    size_pyramid(l);
    for (int k = 0; k <= l->depth; ++k)
        for (int y = 0; y < l->rows[k]; ++y)
            for (int x = 0; x < l->columns[k]; ++x) {
                const std::string tile = web_tile_path(l->zoom, k, y, x, tile_ext);
                struct stat st;
                l->cut[k][static_cast<size_t>(y) * l->columns[k] + x] =
                    fstatat(folder_fd, tile.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
            }
}

std::string levels_script(const WebMapInfo &info)
{
    return "// The levels of this web map, written by mapper.\nvar MAPPER_WEB = " +
           description(info) + ";\n";
}

std::string updates_script(const WebMapInfo &info, unsigned long since_generation,
                           const std::vector<ChangedTile> &changed)
{
    std::ostringstream js;
    js << "// What changed in this web map, written by mapper while it follows "
          "the game.\nMAPPER_UPDATE(" << description(info) << ", "
       << since_generation << ", [";
    for (size_t i = 0; i < changed.size(); ++i) {
        const ChangedTile &t = changed[i];
        js << (i ? "," : "") << (i % 8 ? " " : "\n  ") << "[" << t.generation
           << "," << t.zoom << "," << t.k << "," << t.row << "," << t.column
           << "]";
    }
    js << "]);\n";
    return js.str();
}
