#include "map_geometry.h"

#include <png.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "bitmap_size.h"
#include "fatal_error.h"
#include "image_format.h"
#include "memory_available.h"
#include "observer_calls.h"
#include "tile_types.h"

int32_t tile_size;

namespace {

const char MAP_NAME_PREFIX[] = "map_zoom_";
// JPEG and GIF files store each side of the image in 16 bits.
const int64_t SIXTEEN_BIT_SIDE = 65535;

// What a map's format allows and its saver needs: each side's limit,
// and the bytes a pixel of the copy of the whole map that the saver
// makes (a 32-bit one for JPEG, an 8-bit one for GIF; 0: none).
struct MapFormatRule {
    const char *format;
    int64_t width, height;
    const char *why;
    int copy_bytes_per_pixel;
};

MapFormatRule map_format_rule()
{
    switch (format_of_extension(tile_ext)) {
    case FORMAT_JPEG:
        return {"JPEG", SIXTEEN_BIT_SIDE, SIXTEEN_BIT_SIDE,
                "the file stores each side in 16 bits", 4};
    case FORMAT_GIF:
        return {"GIF", SIXTEEN_BIT_SIDE, SIXTEEN_BIT_SIDE,
                "the file stores each side in 16 bits", 1};
    case FORMAT_PNG:
        return {"PNG", std::min<int64_t>(PNG_USER_WIDTH_MAX, PNG_UINT_31_MAX),
                std::min<int64_t>(PNG_USER_HEIGHT_MAX, PNG_UINT_31_MAX),
                "libpng writes no larger image", 0};
    default:
        return {"", INT64_MAX, INT64_MAX, "", 0};
    }
}

// Ends the process when the map of zoom level zoom, w x h pixels, is
// larger than its format can hold or its saver's copy can be.
void check_map_format(int zoom, int64_t w, int64_t h)
{
    const MapFormatRule rule = map_format_rule();
    if (w > rule.width || h > rule.height)
        fatal_error("Error creating %s\nThe map of zoom level %d would be %lld "
                    "x %lld pixels; a %s map is at most %lld pixels wide and "
                    "%lld high (%s).\n",
                    map_name(zoom).c_str(), zoom, static_cast<long long>(w),
                    static_cast<long long>(h), rule.format,
                    static_cast<long long>(rule.width),
                    static_cast<long long>(rule.height), rule.why);
    const int copy = rule.copy_bytes_per_pixel;
    if (copy > 0 && !bitmap_fits(w, h, copy))
        fatal_error("Error creating %s\nThe map of zoom level %d would be %lld "
                    "x %lld pixels; the %s saver copies a map into a bitmap of "
                    "%d bytes per pixel, which the graphics library holds up "
                    "to %lld pixels.\n",
                    map_name(zoom).c_str(), zoom, static_cast<long long>(w),
                    static_cast<long long>(h), rule.format, copy,
                    static_cast<long long>(bitmap_max_pixels(copy)));
}

}  // namespace

std::string map_name(int zoom)
{
    return MAP_NAME_PREFIX + std::to_string(zoom) + "." + tile_ext;
}

void map_size(int zoom, int64_t *width, int64_t *height)
{
    *width = (static_cast<int64_t>(ZoomBounds.zoom_max_x[zoom]) -
              ZoomBounds.zoom_min_x[zoom] + 1) * tile_size;
    *height = (static_cast<int64_t>(ZoomBounds.zoom_max_y[zoom]) -
               ZoomBounds.zoom_min_y[zoom] + 1) * tile_size;
}

void check_map_memory(int bytes_per_pixel)
{
    int64_t total = 0, w = 0, h = 0, reader = 0;
    int largest = 0;
    for (int z = 0; z <= ZoomBounds.max_zoom; ++z) {
        map_size(z, &w, &h);
        if (!bitmap_fits(w, h, bytes_per_pixel))
            fatal_error("Error creating map bitmap.\nThe map of zoom level %d "
                        "would be %lld x %lld pixels; a bitmap of the graphics "
                        "library holds at most %lld pixels at %d bytes per "
                        "pixel.\n",
                        z, static_cast<long long>(w), static_cast<long long>(h),
                        static_cast<long long>(bitmap_max_pixels(bytes_per_pixel)),
                        bytes_per_pixel);
        check_map_format(z, w, h);
        int64_t lw = 0, lh = 0;
        map_size(largest, &lw, &lh);
        if (w * h > lw * lh)
            largest = z;
        total += bitmap_bytes(w, h, bytes_per_pixel);
        reader = std::max(reader, observed_reader_bytes(w, h));
    }
    // All maps are held until the last is saved, and the saver's copy
    // of one of them while it is written, beside the reader of one.
    map_size(largest, &w, &h);
    const MapFormatRule rule = map_format_rule();
    const int64_t copy = bitmap_bytes(w, h, rule.copy_bytes_per_pixel);
    std::string source;
    const int64_t available = memory_available(&source);
    if (available < 0 || total + copy + reader <= available)
        return;
    std::string saver;
    if (copy > 0)
        saver = " and the " + std::string(rule.format) + " saver " +
                std::to_string(copy / MIB) + " MB more for its copy of the largest";
    if (reader > 0)
        saver += " and the web map's cut " + std::to_string(reader / MIB) + " MB more";
    fatal_error("Error creating map bitmap.\nThe maps of zoom levels 0 to %d "
                "need %lld MB together (the largest, zoom level %d, is %lld x "
                "%lld pixels)%s, more than the %lld MB of memory available "
                "(%s).\n",
                ZoomBounds.max_zoom, static_cast<long long>(total / MIB),
                largest, static_cast<long long>(w), static_cast<long long>(h),
                saver.c_str(), static_cast<long long>(available / MIB),
                source.c_str());
}

void map_bitmap_failed(int zoom, int bytes_per_pixel)
{
    int64_t w = 0, h = 0;
    map_size(zoom, &w, &h);
    fatal_error("Error creating map bitmap.\nThe map of zoom level %d, %lld x "
                "%lld pixels (%lld MB), could not be allocated.\n",
                zoom, static_cast<long long>(w), static_cast<long long>(h),
                static_cast<long long>(bitmap_bytes(w, h, bytes_per_pixel) / MIB));
}
