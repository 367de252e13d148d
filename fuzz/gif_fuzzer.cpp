// Fuzz target for the GIF reader: each input is parsed from memory and its
// frames drawn at an offset onto a bitmap of another depth, then read from
// a file through the registry loader and gif_read_frames. The colour depth
// changes with the input's length so that every depth gets its share.
#include <allegro.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "gif_document.h"
#include "gif_reader_internal.h"

namespace {

// Small screens reach every path of the reader; large ones only cost time.
// A small allowance sends frames larger than a few screens down the path
// that keeps only their visible part.
const int64_t FUZZ_MAX_SCREEN_PIXELS = 1 << 14;
const int64_t FUZZ_FRAME_ALLOWANCE = 1 << 18;
const int DEPTHS[] = {8, 15, 16, 24, 32};
const int DEPTH_COUNT = sizeof DEPTHS / sizeof DEPTHS[0];
const int DRAW_MARGIN = 3;

char input_path[64];

void remove_input_file()
{
    std::remove(input_path);
}

void draw_document(GifDocument *doc, int depth)
{
    if (doc->screen_width <= 0 || doc->screen_height <= 0)
        return;
    BITMAP *canvas =
        create_bitmap_ex(depth, doc->screen_width + 2 * DRAW_MARGIN,
                         doc->screen_height + DRAW_MARGIN);
    if (!canvas)
        return;
    for (int i = 0; i < doc->frame_count; ++i)
        gif_draw_frame(doc, canvas, i, DRAW_MARGIN, DRAW_MARGIN - 1);
    destroy_bitmap(canvas);
}

bool write_input(const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(input_path, "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

void read_from_file()
{
    PALETTE pal;
    BITMAP *bmp = load_bitmap(input_path, pal);
    if (bmp)
        destroy_bitmap(bmp);
    BITMAP **frames = nullptr;
    int *delays = nullptr;
    int n = gif_read_frames(input_path, &frames, &delays);
    for (int i = 0; i < n; ++i)
        destroy_bitmap(frames[i]);
    std::free(frames);
    std::free(delays);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        std::abort();
    gif_codec_init();
    gif_max_screen_pixels = FUZZ_MAX_SCREEN_PIXELS;
    gif_frame_allowance = FUZZ_FRAME_ALLOWANCE;
    std::snprintf(input_path, sizeof input_path, "/tmp/gif_fuzz_%d.gif",
                  int(getpid()));
    std::atexit(remove_input_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int depth = DEPTHS[size % DEPTH_COUNT];
    set_color_depth(depth);
    GifDocument *doc =
        gif_parse_document(gif_open_memory(data, long(size)), 0);
    if (doc) {
        draw_document(doc, DEPTHS[(size / DEPTH_COUNT) % DEPTH_COUNT]);
        gif_free_document(doc);
    }
    if (write_input(data, size))
        read_from_file();
    return 0;
}
