#include "tile_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <unordered_set>

#include "bitmap_size.h"
#include "fatal_error.h"
#include "file_bound.h"
#include "image_format.h"
#include "regular_file.h"
#include "world_layout.h"

namespace {

const char ACCEPTED_EXTENSIONS[] = "png, jpg or gif";
// Lines of tile-size warnings before the rest are only counted.
const int MAX_SIZE_WARNINGS = 10;

// The one message for a list of tiles in a format the maps cannot have.
[[noreturn]] void extension_refused(int world_number)
{
    fatal_error("Unsupported tile extension \"%s\" in %s.\n"
                "Tiles and maps must be %s (case aside); only the first 3 "
                "characters of the first tile's extension count.\n",
                tile_ext, change_list_path(appdata_path, world_number).c_str(),
                ACCEPTED_EXTENSIONS);
}

// Packs a column and a row into one key.
uint64_t cell_key(const TileEntry &t)
{
    return (static_cast<uint64_t>(static_cast<uint32_t>(t.x)) << 32) |
           static_cast<uint32_t>(t.y);
}

}  // namespace

std::string listed_tile_path(int world_number, const TileEntry &t)
{
    return tile_path(appdata_path, world_number, t, tile_ext);
}

void sample_tile_failed(const std::string &what)
{
    fatal_error("Error loading sample bitmap.\n%s\n", what.c_str());
}

void tile_failed(const std::string &path, const std::string &why)
{
    fatal_error("Error loading %s\n%s\n", path.c_str(), why.c_str());
}

int open_checked_tile(const std::string &path, bool whole, int64_t *w,
                      int64_t *h, std::string *why)
{
    int fd = open_regular_file(path.c_str(), why);
    if (fd < 0)
        return -1;
    const ImageFormat format = format_of_extension(tile_ext);
    const char *bad = "";
    if (!read_image_size(fd, format, false, w, h, &bad)) {
        *why = bad;
        close(fd);
        return -1;
    }
    if (!bitmap_fits(*w, *h, MAX_TILE_BYTES_PER_PIXEL)) {
        std::ostringstream s;
        s << "the header declares " << *w << " x " << *h
          << " pixels, more than the graphics library can hold";
        *why = s.str();
        close(fd);
        return -1;
    }
    // What a codec reads is bounded by the image, not by the file.
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > image_file_max_bytes(*w, *h)) {
        std::ostringstream s;
        s << "the file holds " << st.st_size << " bytes, more than a " << *w
          << " x " << *h << " image can need (" << image_file_max_bytes(*w, *h)
          << ")";
        *why = s.str();
        close(fd);
        return -1;
    }
    if (whole && format == FORMAT_JPEG &&
        (lseek(fd, 0, SEEK_SET) != 0 ||
         !read_image_size(fd, format, true, w, h, &bad))) {
        *why = bad;
        close(fd);
        return -1;
    }
    return fd;
}

std::vector<CheckedTile> check_listed_tiles(int world_number)
{
    if (tile_list.empty())
        sample_tile_failed("no tile is listed in " +
                           change_list_path(appdata_path, world_number));
    if (format_of_extension(tile_ext) == FORMAT_OTHER)
        extension_refused(world_number);

    std::vector<CheckedTile> tiles;
    const std::vector<bool> distinct = entries_to_decode(tile_list);
    for (size_t i = 0; i < tile_list.size(); ++i) {
        if (!distinct[i])
            continue;
        const TileEntry &t = tile_list[i];
        CheckedTile c = {t, listed_tile_path(world_number, t), 0, 0};
        std::string why;
        int fd = open_checked_tile(c.path, true, &c.width, &c.height, &why);
        if (fd < 0) {
            if (tiles.empty())
                sample_tile_failed(c.path + ": " + why);
            tile_failed(c.path, why);
        }
        close(fd);
        tiles.push_back(c);
    }
    return tiles;
}

void warn_tile_sizes(const std::vector<CheckedTile> &tiles, int32_t tile_size)
{
    int others = 0;
    for (const CheckedTile &t : tiles) {
        if (t.width == tile_size && t.height == tile_size)
            continue;
        if (++others > MAX_SIZE_WARNINGS)
            continue;
        std::fprintf(stderr,
                     "Warning: %s is %lld x %lld pixels; tiles are placed as "
                     "%d x %d squares, the first tile's width.\n",
                     t.path.c_str(), static_cast<long long>(t.width),
                     static_cast<long long>(t.height), tile_size, tile_size);
    }
    if (others > MAX_SIZE_WARNINGS)
        std::fprintf(stderr, "Warning: %d more tiles are not %d x %d pixels.\n",
                     others - MAX_SIZE_WARNINGS, tile_size, tile_size);
}

std::vector<bool> entries_to_decode(const std::vector<TileEntry> &list)
{
    std::vector<bool> decode(list.size(), true);
    std::vector<std::unordered_set<uint64_t>> seen(ZOOM_SLOTS);
    for (size_t i = 0; i < list.size(); ++i) {
        const TileEntry &t = list[i];
        if (t.zoom < 0 || t.zoom >= ZOOM_SLOTS)
            continue;
        decode[i] = seen[t.zoom].insert(cell_key(t)).second;
    }
    return decode;
}
