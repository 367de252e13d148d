#include "gif_reader_support.h"

#include <gif_lib.h>

#include <random>
#include <stdexcept>

#include "gif_codec.h"
#include "test_support.h"

std::string GifSuite::dir;

void GifSuite::SetUpTestSuite()
{
    start_allegro_headless();
    gif_codec_init();
    dir = make_temp_dir();
}

void GifSuite::TearDownTestSuite() { remove_tree(dir); }

namespace {

std::vector<PeerColour> from_map(const ColorMapObject *map)
{
    std::vector<PeerColour> colours;
    for (int i = 0; map && i < map->ColorCount; ++i)
        colours.push_back({map->Colors[i].Red, map->Colors[i].Green,
                           map->Colors[i].Blue});
    return colours;
}

ColorMapObject *to_map(const std::vector<PeerColour> &colours)
{
    if (colours.empty())
        return nullptr;
    std::vector<GifColorType> c;
    for (const PeerColour &p : colours)
        c.push_back({uint8_t(p.r), uint8_t(p.g), uint8_t(p.b)});
    ColorMapObject *map = GifMakeMapObject(int(c.size()), c.data());
    if (!map)
        throw std::runtime_error("giflib wants 2^n table entries");
    return map;
}

void check(int rc, const char *what)
{
    if (rc != GIF_OK)
        throw std::runtime_error(std::string("giflib failed: ") + what);
}

std::string word(int v)
{
    return {char(v & 0xFF), char((v >> 8) & 0xFF)};
}

// The packed-byte size field and the table bytes, padded to 2^n entries.
std::string table_bytes(const std::vector<int> &table, int *size_bits)
{
    int bits = 1;
    while ((1 << bits) < int(table.size()))
        ++bits;
    *size_bits = bits - 1;
    std::string s;
    for (int i = 0; i < (1 << bits); ++i) {
        int c = i < int(table.size()) ? table[i] : 0;
        s += char(c >> 16);
        s += char(c >> 8);
        s += char(c);
    }
    return s;
}

}  // namespace

bool giflib_decode(const std::string &path, PeerGif *out)
{
    int err = 0;
    GifFileType *gif = DGifOpenFileName(path.c_str(), &err);
    if (!gif)
        return false;
    if (DGifSlurp(gif) != GIF_OK) {
        DGifCloseFile(gif, &err);
        return false;
    }
    *out = PeerGif();
    out->width = gif->SWidth;
    out->height = gif->SHeight;
    out->bg = gif->SBackGroundColor;
    out->global = from_map(gif->SColorMap);
    for (int i = 0; i < gif->ImageCount; ++i) {
        const SavedImage &s = gif->SavedImages[i];
        PeerFrame f;
        f.left = s.ImageDesc.Left;
        f.top = s.ImageDesc.Top;
        f.width = s.ImageDesc.Width;
        f.height = s.ImageDesc.Height;
        f.interlaced = s.ImageDesc.Interlace;
        f.local = from_map(s.ImageDesc.ColorMap);
        GraphicsControlBlock gcb;
        if (DGifSavedExtensionToGCB(gif, i, &gcb) == GIF_OK) {
            f.disposal = gcb.DisposalMode;
            f.delay = gcb.DelayTime;
            f.transparent = gcb.TransparentColor;
        }
        f.indices.assign(s.RasterBits, s.RasterBits + f.width * f.height);
        out->frames.push_back(f);
    }
    DGifCloseFile(gif, &err);
    return true;
}

void giflib_write(const std::string &path, const PeerGif &g, int loop_count)
{
    int err = 0;
    GifFileType *gif = EGifOpenFileName(path.c_str(), false, &err);
    if (!gif)
        throw std::runtime_error("giflib cannot create " + path);
    EGifSetGifVersion(gif, true);
    ColorMapObject *global = to_map(g.global);
    check(EGifPutScreenDesc(gif, g.width, g.height, 8, g.bg, global),
          "screen");
    GifFreeMapObject(global);
    if (loop_count >= 0) {
        unsigned char sub[3] = {1, uint8_t(loop_count & 0xFF),
                                uint8_t(loop_count >> 8)};
        check(EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE), "app");
        check(EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0"), "app id");
        check(EGifPutExtensionBlock(gif, 3, sub), "loop");
        check(EGifPutExtensionTrailer(gif), "app end");
    }
    for (const PeerFrame &f : g.frames) {
        GraphicsControlBlock gcb = {f.disposal, false, f.delay,
                                    f.transparent};
        GifByteType ext[4];
        EGifGCBToExtension(&gcb, ext);
        check(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext), "gce");
        ColorMapObject *local = to_map(f.local);
        // giflib drops, without freeing, its copy of the last local table
        // when an image has none.
        if (!local && gif->Image.ColorMap) {
            GifFreeMapObject(gif->Image.ColorMap);
            gif->Image.ColorMap = nullptr;
        }
        check(EGifPutImageDesc(gif, f.left, f.top, f.width, f.height,
                               f.interlaced, local),
              "image");
        GifFreeMapObject(local);
        // giflib writes rows as given: interlaced rows go in pass order.
        std::vector<int> rows;
        if (f.interlaced) {
            const int start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
            for (int p = 0; p < 4; ++p)
                for (int r = start[p]; r < f.height; r += step[p])
                    rows.push_back(r);
        } else {
            for (int r = 0; r < f.height; ++r)
                rows.push_back(r);
        }
        for (int r : rows) {
            std::vector<GifPixelType> line(
                f.indices.begin() + r * f.width,
                f.indices.begin() + (r + 1) * f.width);
            check(EGifPutLine(gif, line.data(), f.width), "line");
        }
    }
    if (EGifCloseFile(gif, &err) != GIF_OK)
        throw std::runtime_error("giflib cannot finish " + path);
}

std::vector<int> compose_reference(const PeerGif &g)
{
    std::vector<int> canvas(size_t(g.width) * g.height, -1), saved;
    auto each_pixel = [&](const PeerFrame &f, auto &&fn) {
        for (int r = 0; r < f.height; ++r)
            for (int c = 0; c < f.width; ++c) {
                int x = f.left + c, y = f.top + r;
                if (x < g.width && y < g.height)
                    fn(size_t(y) * g.width + x, f.indices[r * f.width + c]);
            }
    };
    for (size_t i = 0; i < g.frames.size(); ++i) {
        if (i > 0) {
            const PeerFrame &prev = g.frames[i - 1];
            if (prev.disposal == 2)
                each_pixel(prev, [&](size_t at, int) { canvas[at] = -1; });
            if (prev.disposal == 3 && !saved.empty())
                each_pixel(prev,
                           [&](size_t at, int) { canvas[at] = saved[at]; });
        }
        const PeerFrame &f = g.frames[i];
        if (f.disposal == 3)
            saved = canvas;
        const std::vector<PeerColour> &table =
            f.local.empty() ? g.global : f.local;
        each_pixel(f, [&](size_t at, int v) {
            if (v == f.transparent)
                return;
            PeerColour c = v < int(table.size()) ? table[v]
                                                 : PeerColour{0, 0, 0};
            canvas[at] = (c.r << 16) | (c.g << 8) | c.b;
        });
    }
    return canvas;
}

std::string gif_start(const std::string &signature, int width, int height,
                      const std::vector<int> &global, int bg)
{
    std::string s = signature + word(width) + word(height);
    int bits = 0;
    std::string table = global.empty() ? "" : table_bytes(global, &bits);
    s += char(global.empty() ? 0 : 0x80 | 0x70 | bits);
    s += char(bg);
    s += char(0);
    return s + table;
}

std::string graphic_control(int disposal, int delay, int transparent,
                            int size_byte)
{
    std::string s = {0x21, char(0xF9), char(size_byte)};
    s += char((disposal << 2) | (transparent >= 0 ? 1 : 0));
    s += word(delay);
    s += char(transparent >= 0 ? transparent : 0);
    s.append(size_byte - 4, '\0');
    return s + '\0';
}

std::string looping_block(int sub_block_id, int count)
{
    std::string s = {0x21, char(0xFF), 11};
    s += "NETSCAPE2.0";
    s += {3, char(sub_block_id)};
    return s + word(count) + '\0';
}

std::string image_block(int left, int top, int width, int height,
                        const std::string &data,
                        const std::vector<int> &local, bool interlaced)
{
    std::string s = "\x2C" + word(left) + word(top) + word(width) +
                     word(height);
    int bits = 0;
    std::string table = local.empty() ? "" : table_bytes(local, &bits);
    s += char((local.empty() ? 0 : 0x80 | bits) | (interlaced ? 0x40 : 0));
    return s + table + data;
}

std::string sub_blocks(const std::string &bytes)
{
    std::string s;
    for (size_t at = 0; at < bytes.size(); at += 255) {
        std::string part = bytes.substr(at, 255);
        s += char(part.size());
        s += part;
    }
    return s + '\0';
}

std::string lzw_data(int root_width, const std::vector<int> &codes,
                     bool terminate)
{
    const int clear = 1 << root_width;
    int width = root_width + 1, next = clear + 2;
    bool after_clear = true;
    std::string bytes;
    uint32_t acc = 0;
    int held = 0;
    for (int code : codes) {
        acc |= uint32_t(code) << held;
        held += width;
        for (; held >= 8; held -= 8, acc >>= 8)
            bytes += char(acc & 0xFF);
        if (code == clear) {
            width = root_width + 1;
            next = clear + 2;
            after_clear = true;
            continue;
        }
        if (!after_clear && next < 4096)
            ++next;
        after_clear = false;
        if (next >= (1 << width) && width < 12)
            ++width;
    }
    if (held > 0)
        bytes += char(acc & 0xFF);
    std::string s = std::string(1, char(root_width)) + sub_blocks(bytes);
    if (!terminate)
        s.pop_back();
    return s;
}

std::vector<int> root_codes(int root_width,
                            const std::vector<uint8_t> &indices)
{
    std::vector<int> codes = {1 << root_width};
    codes.insert(codes.end(), indices.begin(), indices.end());
    codes.push_back((1 << root_width) + 1);
    return codes;
}

std::vector<uint8_t> noise(size_t n, int colours, unsigned salt)
{
    std::mt19937 rng(salt);
    std::vector<uint8_t> v(n);
    for (uint8_t &b : v)
        b = uint8_t(rng() % colours);
    return v;
}

std::vector<PeerColour> random_colours(int n, unsigned salt)
{
    std::mt19937 rng(salt);
    std::vector<PeerColour> t;
    for (int i = 0; i < n; ++i)
        t.push_back({int(rng() % 256), int(rng() % 256), int(rng() % 256)});
    return t;
}

PeerFrame noise_frame(int left, int top, int w, int h, int colour_count,
                      unsigned salt)
{
    PeerFrame f;
    f.left = left;
    f.top = top;
    f.width = w;
    f.height = h;
    f.indices = noise(size_t(w) * h, colour_count, salt);
    return f;
}

PeerGif peer_animation()
{
    PeerGif g;
    g.width = 120;
    g.height = 90;
    g.global = random_colours(256, 1);
    g.frames.push_back(noise_frame(0, 0, 120, 90, 256, 2));
    PeerFrame f = noise_frame(10, 5, 40, 30, 2, 3);
    f.local = random_colours(2, 4);
    f.disposal = 2;
    f.delay = 12;
    f.transparent = 1;
    g.frames.push_back(f);
    f = noise_frame(50, 40, 33, 29, 16, 5);
    f.interlaced = true;
    f.disposal = 3;
    f.transparent = 7;
    f.local = random_colours(16, 6);
    g.frames.push_back(f);
    f = noise_frame(90, 70, 50, 40, 256, 7);  // partly off the screen
    f.transparent = 0;
    f.disposal = 1;
    g.frames.push_back(f);
    f = noise_frame(0, 0, 120, 90, 4, 8);
    f.transparent = 2;
    f.disposal = 3;
    g.frames.push_back(f);
    g.frames.push_back(noise_frame(45, 35, 6, 4, 4, 9));
    return g;
}
