// bench_gif: our GIF codec's side of the comparison with giflib, on raw
// index images; the same interface as gif_peer.
//
//   bench_gif make RAW W H COLOURS            writes a test image
//   bench_gif encode RAW W H COLOURS OUT.gif  prints "encode_s <seconds>"
//   bench_gif decode IN.gif OUT.raw           prints "decode_s <seconds>"
#include <allegro.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gif_document.h"

namespace {

double now_s()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Smooth regions with noisy edges, like a map's terrain reduced to a
// palette: long runs and many distinct strings.
int test_index(int x, int y, int colours)
{
    unsigned h = static_cast<unsigned>(x / 7) * 73856093u ^
                 static_cast<unsigned>(y / 5) * 19349663u;
    h ^= h >> 13;
    int base = static_cast<int>((x / 3 + y / 4 + (h & 15)) % colours);
    unsigned n = static_cast<unsigned>(x) * 2654435761u ^ static_cast<unsigned>(y) * 40503u;
    return ((n >> 7) & 7) == 0 ? static_cast<int>((n >> 11) % colours) : base;
}

bool write_raw(const std::string &path, const std::vector<unsigned char> &px)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(px.data(), 1, px.size(), f) == px.size();
    return std::fclose(f) == 0 && ok;
}

int make(const char *raw, int w, int h, int colours)
{
    std::vector<unsigned char> px(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            px[static_cast<size_t>(y) * w + x] =
                static_cast<unsigned char>(test_index(x, y, colours));
    return write_raw(raw, px) ? 0 : 1;
}

int encode(const char *raw, int w, int h, int colours, const char *out)
{
    std::vector<unsigned char> px(static_cast<size_t>(w) * h);
    FILE *f = std::fopen(raw, "rb");
    if (!f || std::fread(px.data(), 1, px.size(), f) != px.size())
        return 1;
    std::fclose(f);
    GifDocument *doc = gif_new_document(1);
    if (!doc)
        return 1;
    doc->screen_width = w;
    doc->screen_height = h;
    doc->loop_count = -1;
    GifFrameRecord &fr = doc->frame_list[0];
    fr.image = create_bitmap_ex(8, w, h);
    if (!fr.image)
        return 1;
    for (int y = 0; y < h; ++y)
        std::memcpy(fr.image->line[y], &px[static_cast<size_t>(y) * w], w);
    fr.transparent_idx = -1;
    fr.local_table.count = GIF_TABLE_SIZE;
    for (int i = 0; i < GIF_TABLE_SIZE; ++i) {
        int v = colours > 1 ? i * 255 / (colours - 1) : 0;
        fr.local_table.entries[i].r = static_cast<unsigned char>(v);
        fr.local_table.entries[i].g = static_cast<unsigned char>(255 - v);
        fr.local_table.entries[i].b = static_cast<unsigned char>((v * 7) & 255);
    }
    double t0 = now_s();
    int rc = gif_write_document(out, doc);
    double t = now_s() - t0;
    gif_free_document(doc);
    if (rc != 0)
        return 1;
    std::printf("encode_s %.4f\n", t);
    return 0;
}

int decode(const char *in, const char *out)
{
    double t0 = now_s();
    GifDocument *doc = gif_open_document(in);
    double t = now_s() - t0;
    if (!doc || doc->frame_count < 1)
        return 1;
    BITMAP *img = doc->frame_list[0].image;
    std::vector<unsigned char> px(static_cast<size_t>(img->w) * img->h);
    for (int y = 0; y < img->h; ++y)
        std::memcpy(&px[static_cast<size_t>(y) * img->w], img->line[y], img->w);
    gif_free_document(doc);
    if (!write_raw(out, px))
        return 1;
    std::printf("decode_s %.4f\n", t);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    install_allegro(SYSTEM_NONE, &errno, atexit);
    set_color_depth(32);
    if (argc == 6 && std::strcmp(argv[1], "make") == 0)
        return make(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    if (argc == 7 && std::strcmp(argv[1], "encode") == 0)
        return encode(argv[2], std::atoi(argv[3]), std::atoi(argv[4]),
                      std::atoi(argv[5]), argv[6]);
    if (argc == 4 && std::strcmp(argv[1], "decode") == 0)
        return decode(argv[2], argv[3]);
    std::fprintf(stderr, "usage: bench_gif make RAW W H COLOURS | encode RAW W H "
                         "COLOURS OUT.gif | decode IN.gif OUT.raw\n");
    return 2;
}
