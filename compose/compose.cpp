#include "compose.h"

#include <allegro.h>
#include <loadpng.h>
#include <unistd.h>

#include <strings.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <vector>

#include "gif_palette.h"
#include "image_header.h"
#include "tile_place.h"
#include "tile_types.h"

int32_t tile_size;

namespace {

const char MAP_NAME_PREFIX[] = "map_zoom_";
// Widest pixel that a codec may load a tile into.
const int MAX_BYTES_PER_PIXEL = 4;

void build_tile_path(std::stringstream &s, int world_number,
                     const TileEntry &t)
{
    s.str("");
    s << appdata_path << WORLD_FOLDER << world_number << PATH_SEPARATOR
      << "Zoom" << t.zoom << PATH_SEPARATOR << "tile_" << t.x << "_" << t.y
      << "." << tile_ext;
}

void build_map_name(std::stringstream &s, int zoom)
{
    s.str("");
    s << MAP_NAME_PREFIX << zoom << "." << tile_ext;
}

void log_line(const std::string &a, const std::string &b)
{
    std::cout << a << b << std::endl;
}

// Bytes that the library allocates per pixel at a colour depth.
int bytes_per_pixel(int depth) { return (depth + 7) / 8; }

int64_t canvas_extent(int32_t min, int32_t max)
{
    return (static_cast<int64_t>(max) - min + 1) * tile_size;
}

// Loads a tile through the registry once its header has shown a size that
// the library can hold: the library sizes bitmaps in int, and a tile that
// declares more would get a wrapped-round allocation that its codec then
// writes past.
BITMAP *load_tile(const std::string &path)
{
    int64_t w = 0, h = 0;
    switch (read_image_size(path, &w, &h)) {
    case HEADER_BAD:
        return nullptr;
    case HEADER_OK:
        if (!canvas_fits(w, h, MAX_BYTES_PER_PIXEL))
            return nullptr;
        break;
    case HEADER_UNKNOWN:
        break;  // GIF guards its own sizes; other files fail in the registry
    }
    return load_map_tile(path);
}

BITMAP *create_canvas(int zoom)
{
    int64_t w = canvas_extent(ZoomBounds.zoom_min_x[zoom],
                              ZoomBounds.zoom_max_x[zoom]);
    int64_t h = canvas_extent(ZoomBounds.zoom_min_y[zoom],
                              ZoomBounds.zoom_max_y[zoom]);
    if (!canvas_fits(w, h, bytes_per_pixel(MAP_DEPTH)))
        return nullptr;
    return create_bitmap_ex(MAP_DEPTH, static_cast<int>(w),
                            static_cast<int>(h));
}

void load_sample_tile(std::stringstream &s, int world_number)
{
    BITMAP *sample = nullptr;
    if (!tile_list.empty()) {
        build_tile_path(s, world_number, tile_list.front());
        sample = load_tile(s.str());
    }
    if (!sample || sample->w <= 0) {
        allegro_message("Error loading sample bitmap.\n");
        exit(1);
    }
    tile_size = sample->w;
    destroy_bitmap(sample);
}

void place_tile(std::stringstream &s, int world_number, const TileEntry &t,
                BITMAP *canvas)
{
    build_tile_path(s, world_number, t);
    const std::string path = s.str();
    BITMAP *tile = load_tile(path);
    if (!tile) {
        allegro_message("Error loading %s\n", path.c_str());
        exit(1);
    }
    log_line("Blitting ", path);
    int64_t dx = (static_cast<int64_t>(t.x) - ZoomBounds.zoom_min_x[t.zoom])
                 * tile_size;
    int64_t dy = (static_cast<int64_t>(t.y) - ZoomBounds.zoom_min_y[t.zoom])
                 * tile_size;
    place_map_tile(tile, canvas, static_cast<int>(dx), static_cast<int>(dy),
                   tile_size);
    destroy_bitmap(tile);
}

// The JPEG saver reports success even when the disk fills up mid-file; a
// JPEG written whole ends with the end-of-image marker.
bool saved_file_complete(const std::string &path)
{
    static const unsigned char JPEG_END[] = {0xFF, 0xD9};
    if (strcasecmp(tile_ext, "jpg") != 0)
        return true;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    unsigned char tail[sizeof JPEG_END] = {0, 0};
    bool whole = std::fseek(f, -static_cast<long>(sizeof tail), SEEK_END) == 0 &&
                 std::fread(tail, 1, sizeof tail, f) == sizeof tail &&
                 tail[0] == JPEG_END[0] && tail[1] == JPEG_END[1];
    std::fclose(f);
    return whole;
}

// Name under which a map is written before it replaces name: same folder,
// same extension, so the file-type registry picks the same codec.
std::string temporary_map_name(const std::string &name)
{
    std::string::size_type dot = name.rfind('.');
    std::ostringstream s;
    s << name.substr(0, dot) << ".part" << getpid();
    if (dot != std::string::npos)
        s << name.substr(dot);
    return s.str();
}

// Writes the canvas under a temporary name and moves it over name only
// once the saver reports success, so a failed save keeps an older map.
bool save_map(const std::string &name, BITMAP *canvas)
{
    const std::string temp = temporary_map_name(name);
    // GIF maps are reduced to the current palette: make it the canvas's.
    if (strcasecmp(tile_ext, "gif") == 0)
        select_fitted_palette(canvas);
    if (save_bitmap(temp.c_str(), canvas, NULL) != 0 ||
        !saved_file_complete(temp)) {
        std::remove(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), name.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace

void configure_png_codec()
{
    _png_screen_gamma = 0.0;
    _png_compression_level = PNG_MAP_COMPRESSION;
}

bool canvas_fits(int64_t width, int64_t height, int bytes_per_pixel)
{
    if (width <= 0 || height <= 0 || bytes_per_pixel <= 0)
        return false;
    if (width > INT_MAX || height > INT_MAX)
        return false;
    return width * height <= INT_MAX / bytes_per_pixel;
}


void compose_maps(int world_number)
{
    std::stringstream s(std::ios::in | std::ios::out);
    load_sample_tile(s, world_number);

    const int levels = ZoomBounds.max_zoom + 1;
    std::vector<BITMAP *> map_canvas(levels, nullptr);
    for (int z = 0; z < levels; ++z) {
        map_canvas[z] = create_canvas(z);
        if (!map_canvas[z]) {
            allegro_message("Error creating map bitmap.\n");
            exit(1);
        }
        fill_map_canvas(map_canvas[z],
                        makecol_depth(MAP_DEPTH, BACKGROUND_R, BACKGROUND_G,
                                      BACKGROUND_B));
    }

    // Each cell's tile is decoded and placed once; every entry is logged.
    const std::vector<bool> decode = entries_to_decode(tile_list);
    for (size_t i = 0; i < tile_list.size(); ++i) {
        if (decode[i]) {
            place_tile(s, world_number, tile_list[i],
                       map_canvas[tile_list[i].zoom]);
        } else {
            build_tile_path(s, world_number, tile_list[i]);
            log_line("Blitting ", s.str());
        }
    }

    bool all_saved = true;
    for (int z = 0; z < levels; ++z) {
        build_map_name(s, z);
        const std::string name = s.str();
        log_line("Saving ", name);
        if (save_map(name, map_canvas[z])) {
            log_line(name, " saved");
        } else {
            allegro_message("Error saving %s\n", name.c_str());
            all_saved = false;
        }
        destroy_bitmap(map_canvas[z]);
        map_canvas[z] = nullptr;
    }
    if (!all_saved)
        exit(1);
}
