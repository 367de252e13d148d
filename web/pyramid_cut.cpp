#include "pyramid_cut.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "file_io.h"
#include "private_output.h"
#include "random_name.h"
#include "vips_library.h"

namespace {

// Skips a tile only when every pixel equals the background exactly.
const int SKIP_EXACT_BACKGROUND = 0;

// Measured on 6144- and 11520-pixel-wide maps (38 and 50 MB beside the
// canvas): a fixed part for the library's start and threads, and strips
// of a tile's height across the map, three bytes a pixel, of which the
// pyramid's levels and libvips's write-behind hold up to four at once.
const int64_t CUT_FIXED_BYTES = 24LL << 20;
const int64_t CUT_STRIPS = 4;
const int64_t CUT_BYTES_PER_PIXEL = 3;

// The probe of room_failure: a block of the disk's usual size.
const size_t PROBE_BYTES = 4096;
const char PROBE_PREFIX[] = ".room-";

// The byte of each of red, green and blue within a pixel of canvas, from
// the library's shifts for its depth (B, G, R in memory for its usual
// 24-bit layout on little-endian machines).
bool channel_bytes(BITMAP *canvas, int *bytes, int index[3])
{
    const int depth = bitmap_color_depth(canvas);
    int shifts[3];
    if (depth == 24) {
        shifts[0] = _rgb_r_shift_24;
        shifts[1] = _rgb_g_shift_24;
        shifts[2] = _rgb_b_shift_24;
    } else if (depth == 32) {
        shifts[0] = _rgb_r_shift_32;
        shifts[1] = _rgb_g_shift_32;
        shifts[2] = _rgb_b_shift_32;
    } else {
        return false;
    }
    *bytes = depth / 8;
    for (int c = 0; c < 3; ++c) {
        const int little = shifts[c] / 8;
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        index[c] = (depth == 24 ? 2 : 3) - little;
#else
        index[c] = little;
#endif
    }
    return true;
}

// The canvas as an RGB image for libvips, over the canvas's own memory:
// rows must follow each other without gaps, as in a memory bitmap.
VipsImage *canvas_image(BITMAP *canvas)
{
    int bytes = 0, index[3];
    if (!channel_bytes(canvas, &bytes, index))
        return nullptr;
    const size_t row = static_cast<size_t>(canvas->w) * bytes;
    if (canvas->h > 1 && canvas->line[1] != canvas->line[0] + row)
        return nullptr;
    VipsImage *raw = vips_calls.image_new_from_memory(
        canvas->line[0], row * canvas->h, canvas->w, canvas->h, bytes,
        VIPS_FORMAT_UCHAR);
    if (!raw)
        return nullptr;
    VipsImage *band[3] = {nullptr, nullptr, nullptr};
    VipsImage *rgb = nullptr;
    bool ok = true;
    for (int c = 0; c < 3 && ok; ++c)
        ok = vips_calls.extract_band(raw, &band[c], index[c], nullptr) == 0;
    if (ok && vips_calls.bandjoin(band, &rgb, 3, nullptr) == 0)
        rgb->Type = VIPS_INTERPRETATION_sRGB;
    for (VipsImage *b : band)
        if (b)
            vips_calls.object_unref(b);
    vips_calls.object_unref(raw);
    return rgb;
}

// The region as an RGB image for libvips.
VipsImage *region_image(const CanvasRegion &region)
{
    VipsImage *whole = canvas_image(region.canvas);
    if (!whole)
        return nullptr;
    VipsImage *part = nullptr;
    if (vips_calls.extract_area(whole, &part, region.x, region.y, region.width,
                                region.height, nullptr) != 0)
        part = nullptr;
    vips_calls.object_unref(whole);
    return part;
}

// libvips's own reason, its first line: the later ones repeat it or add
// echoes without meaning ("unix error: Unknown error -1"). Nothing of
// errno: libvips's threads fail where this thread's errno never sees it.
std::string vips_reason()
{
    std::string why = vips_calls.error_buffer();
    vips_calls.error_clear();
    why = why.substr(0, why.find('\n'));
    return why.empty() ? "libvips gave no reason" : why;
}

// Makes the folders of the pyramid of a width x height region in folder
// pyramid of folder_fd (one a pyramid level, one a row of tiles in it),
// with the user's folder mode. The system's reason, or 0.
int make_pyramid_folders(int folder_fd, const std::string &pyramid, int width,
                         int height)
{
    const int depth = pyramid_depth(width, height);
    if (mkdirat(folder_fd, pyramid.c_str(), user_folder_mode()) != 0)
        return errno;
    for (int k = 0; k <= depth; ++k) {
        const std::string level = pyramid + "/" + std::to_string(k);
        if (mkdirat(folder_fd, level.c_str(), user_folder_mode()) != 0)
            return errno;
        const int64_t scale = int64_t(1) << (depth - k);
        const int64_t rows = ((height + scale - 1) / scale + WEB_TILE_SIZE - 1) /
                             WEB_TILE_SIZE;
        for (int64_t row = 0; row < rows; ++row)
            if (mkdirat(folder_fd, (level + "/" + std::to_string(row)).c_str(),
                        user_folder_mode()) != 0)
                return errno;
    }
    return 0;
}

// After a failed cut into folder_fd: the system's reason why a file
// cannot be written there now (a full disk, no inodes left, a quota),
// or 0 when one can.
int room_failure(int folder_fd)
{
    std::string name;
    if (!random_name(PROBE_PREFIX, &name))
        return 0;
    const int fd = openat(folder_fd, name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    if (fd < 0)
        return errno;
    const std::vector<char> block(PROBE_BYTES, 0);
    int err = write_all(fd, block.data(), block.size()) ? 0 : errno;
    if (err == 0 && fsync(fd) != 0)
        err = errno;
    close(fd);
    unlinkat(folder_fd, name.c_str(), 0);
    return err;
}

// libvips's dzsave of image into target.
bool save_pyramid(VipsImage *image, const std::string &target,
                  const std::string &tile_ext, const int background[3],
                  std::string *why)
{
    const std::string suffix = tile_save_suffix(tile_ext);
    VipsArrayDouble *colour = vips_calls.array_double_newv(
        3, static_cast<double>(background[0]), static_cast<double>(background[1]),
        static_cast<double>(background[2]));
    const int result = vips_calls.dzsave(
        image, target.c_str(), "layout", VIPS_FOREIGN_DZ_LAYOUT_GOOGLE,
        "tile_size", WEB_TILE_SIZE, "overlap", 0, "suffix", suffix.c_str(),
        "skip_blanks", SKIP_EXACT_BACKGROUND, "background", colour, nullptr);
    vips_calls.area_unref(VIPS_AREA(colour));
    if (result != 0)
        *why = vips_reason();
    return result == 0;
}

}  // namespace

int pyramid_depth(int width, int height)
{
    int depth = 0;
    while ((static_cast<int64_t>(WEB_TILE_SIZE) << depth) < std::max(width, height))
        ++depth;
    return depth;
}

int64_t pyramid_cut_bytes(int64_t width, int64_t height)
{
    const int64_t strip_rows = std::min<int64_t>(height, WEB_TILE_SIZE);
    return CUT_FIXED_BYTES +
           CUT_STRIPS * width * strip_rows * CUT_BYTES_PER_PIXEL;
}

std::string tile_save_suffix(const std::string &tile_ext)
{
    return tile_ext == "jpg"
               ? ".jpg[Q=" + std::to_string(JPEG_TILE_QUALITY) + "]"
               : ".png[compression=" + std::to_string(PNG_TILE_COMPRESSION) + "]";
}

bool cut_pyramid(const CanvasRegion &region, int folder_fd,
                 const std::string &pyramid, const std::string &target,
                 const std::string &tile_ext, const int background[3],
                 std::string *why)
{
    const int made =
        make_pyramid_folders(folder_fd, pyramid, region.width, region.height);
    if (made != 0) {
        *why = std::strerror(made);
        return false;
    }
    VipsImage *image = region_image(region);
    if (!image) {
        *why = "the canvas's pixel layout is not one libvips can read";
        return false;
    }
    const bool ok = save_pyramid(image, target, tile_ext, background, why);
    vips_calls.object_unref(image);
    const int err = ok ? 0 : room_failure(folder_fd);
    if (err)
        *why = std::strerror(err);
    return ok;
}
