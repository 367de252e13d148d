// Fuzz target for the JPEG path of a tile: the header walk of the tile
// check (whole and header only), libjpeg's decode from memory, and the
// registry loader from a file at a colour depth and conversion that
// change with the input's length.
#include <allegro.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "image_header.h"
#include "jpeg_codec.h"

namespace {

// Small images reach every path of the decoder; large ones only cost time.
const int64_t FUZZ_MAX_PIXELS = 1 << 16;
const int DEPTHS[] = {8, 15, 16, 24, 32};
const int DEPTH_COUNT = sizeof DEPTHS / sizeof DEPTHS[0];

char input_path[64];

void remove_input_file()
{
    std::remove(input_path);
}

bool write_input(const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(input_path, "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

void walk_header(bool whole)
{
    int fd = open(input_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    int64_t w = 0, h = 0;
    const char *why = nullptr;
    read_image_size(fd, FORMAT_JPEG, whole, &w, &h, &why);
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        std::abort();
    jpeg_codec_init(nullptr);
    jpeg_max_pixels = FUZZ_MAX_PIXELS;
    std::snprintf(input_path, sizeof input_path, "/tmp/jpeg_fuzz_%d.jpg",
                  int(getpid()));
    std::atexit(remove_input_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    BITMAP *bmp = jpeg_decode_memory(data, size);
    if (bmp)
        destroy_bitmap(bmp);
    if (!write_input(data, size))
        return 0;
    walk_header(true);
    walk_header(false);
    set_color_depth(DEPTHS[size % DEPTH_COUNT]);
    set_color_conversion((size / DEPTH_COUNT) % 2 ? COLORCONV_NONE
                                                  : COLORCONV_TOTAL);
    PALETTE pal;
    bmp = load_bitmap(input_path, pal);
    if (bmp)
        destroy_bitmap(bmp);
    return 0;
}
