// Tiles with transparency, and lists that name tiles many times: what the
// compositor makes of real PNG and GIF files written by libpng and giflib.
#include <gtest/gtest.h>

#include <allegro.h>
#include <loadpng.h>
#include <png.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "change_list.h"
#include "compose.h"
#include "compose_fixture.h"
#include "gif_reader_support.h"
#include "tile_place.h"

namespace {

const int MAGENTA = 0xFF00FF;
const int BACKGROUND =
    (BACKGROUND_R << 16) | (BACKGROUND_G << 8) | BACKGROUND_B;
const int OPAQUE = 255;

// One pixel of a tile as written: 0xRRGGBB and alpha.
struct Rgba {
    int rgb, a;
};

// What a map must show for a pixel over the background: the background
// where it is transparent, the pixel where it is opaque, the blend by
// alpha in between (as a real number: the map may be off by 1).
void expected_over_background(const Rgba &p, double out[3])
{
    for (int c = 0; c < 3; ++c) {
        const int shift = 16 - 8 * c;
        const double s = (p.rgb >> shift) & 0xFF;
        const double b = (BACKGROUND >> shift) & 0xFF;
        out[c] = (s * p.a + b * (OPAQUE - p.a)) / OPAQUE;
    }
}

// The 24-bit pixels of an image file as ImageMagick reads them, alpha
// dropped; empty when it cannot.
std::vector<int> rgb_pixels(const std::string &path, int *w, int *h)
{
    const std::string size =
        run_command("identify -format '%w %h' '" + path + "'");
    if (std::sscanf(size.c_str(), "%d %d", w, h) != 2)
        return {};
    const std::string raw = run_command("convert '" + path +
                                        "' -alpha off -depth 8 rgb:-");
    if (raw.size() != static_cast<size_t>(*w) * *h * 3)
        return {};
    std::vector<int> px(static_cast<size_t>(*w) * *h);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = (static_cast<unsigned char>(raw[3 * i]) << 16) |
                (static_cast<unsigned char>(raw[3 * i + 1]) << 8) |
                static_cast<unsigned char>(raw[3 * i + 2]);
    return px;
}

// Writes a PNG with libpng's own writer; format is one of its
// PNG_FORMAT_ values, colormap (entries in that format's channels) for the
// colour-mapped ones.
void write_png(const std::string &path, png_uint_32 format,
               const std::vector<unsigned char> &pixels,
               const std::vector<unsigned char> &colormap = {})
{
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    image.width = image.height = TILE;
    image.format = format;
    image.colormap_entries =
        static_cast<png_uint_32>(colormap.size() /
                                 PNG_IMAGE_SAMPLE_CHANNELS(format));
    ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(),
                                        0, colormap.empty() ? nullptr
                                                            : colormap.data()))
        << image.message;
}

// The alpha of pixel (x, y) of the crafted tiles: rows 0 to 7 fully
// transparent, rows 8 to 15 opaque, the rest sweeping partial values.
int alpha_at(int x, int y)
{
    if (y < 8)
        return 0;
    if (y < 16)
        return OPAQUE;
    return ((y - 16) * TILE + x) * 7 % 256;
}

// A colour for pixel (x, y): opaque magenta in column 0, and under the
// transparent rows black, magenta and others, which must not show.
int colour_at(int x, int y)
{
    if (x == 0 || (y < 8 && x % 3 == 1))
        return MAGENTA;
    if (y < 8 && x % 3 == 2)
        return 0;
    return ((x * 37 + y * 11) & 0xFF) << 16 | ((x * y * 5) & 0xFF) << 8 |
           ((200 - x * 3 - y) & 0xFF);
}

class TilePlaceTest : public ComposeFixture {
protected:
    // Writes the world, lets write_tiles replace tile files, reads the list
    // and composes; returns the progress log.
    std::string compose_world(const std::function<void()> &write_tiles = {})
    {
        EXPECT_TRUE(write_world(world));
        if (write_tiles)
            write_tiles();
        read_change_list(world.number);
        testing::internal::CaptureStdout();
        compose_maps(world.number);
        return testing::internal::GetCapturedStdout();
    }

    std::string map_path(int zoom) const
    {
        return out + "/map_zoom_" + std::to_string(zoom) + "." + world.ext;
    }

    // Checks cell (cx, 0) of the zoom 0 map against the expected pixels;
    // tolerance allows for blending (1) or a GIF map's palette (3).
    void expect_cell(int cx, const std::vector<Rgba> &want, int tolerance)
    {
        int w = 0, h = 0;
        const std::vector<int> map = rgb_pixels(map_path(0), &w, &h);
        ASSERT_FALSE(map.empty()) << map_path(0);
        const int x0 = (cx - ZoomBounds.zoom_min_x[0]) * TILE;
        const int y0 = -ZoomBounds.zoom_min_y[0] * TILE;
        int wrong = 0;
        for (int y = 0; y < TILE; ++y)
            for (int x = 0; x < TILE; ++x) {
                double e[3];
                expected_over_background(want[y * TILE + x], e);
                const int got = map[(y0 + y) * w + x0 + x];
                bool ok = true;
                for (int c = 0; c < 3; ++c)
                    ok &= std::fabs(((got >> (16 - 8 * c)) & 0xFF) - e[c]) <=
                          tolerance;
                if (!ok && ++wrong <= 3)
                    ADD_FAILURE() << "cell " << cx << " pixel " << x << ","
                                  << y << ": got " << std::hex << got
                                  << ", want about " << e[0] << " " << e[1]
                                  << " " << e[2] << " (alpha " << std::dec
                                  << want[y * TILE + x].a << ")";
            }
        EXPECT_EQ(wrong, 0) << "cell " << cx;
    }
};

TEST_F(TilePlaceTest, TransparentPngTilesShowTheBackgroundAndKeepOpaqueMagenta)
{
    world.tiles = {{0, 0, 0}, {0, 1, 0}, {0, 2, 0}, {0, 3, 0}};
    std::vector<Rgba> rgba, palette_px, grey;
    compose_world([&] {
        // RGBA, 8 bits a channel.
        std::vector<unsigned char> px;
        for (int y = 0; y < TILE; ++y)
            for (int x = 0; x < TILE; ++x) {
                const int c = colour_at(x, y), a = alpha_at(x, y);
                px.insert(px.end(), {static_cast<unsigned char>(c >> 16),
                                     static_cast<unsigned char>(c >> 8),
                                     static_cast<unsigned char>(c),
                                     static_cast<unsigned char>(a)});
                rgba.push_back({c, a});
            }
        write_png(tile_file(world, {0, 1, 0}), PNG_FORMAT_RGBA, px);

        // A palette with a tRNS chunk: transparent black and magenta,
        // opaque magenta, and half-transparent colours.
        const std::vector<Rgba> entries = {{0, 0},       {MAGENTA, 0},
                                           {MAGENTA, 255}, {0x204080, 128},
                                           {0xF0E010, 64}, {0x10A050, 255},
                                           {0xFFFFFF, 200}, {0x000000, 255}};
        std::vector<unsigned char> map, idx;
        for (const Rgba &e : entries)
            map.insert(map.end(), {static_cast<unsigned char>(e.rgb >> 16),
                                   static_cast<unsigned char>(e.rgb >> 8),
                                   static_cast<unsigned char>(e.rgb),
                                   static_cast<unsigned char>(e.a)});
        for (int y = 0; y < TILE; ++y)
            for (int x = 0; x < TILE; ++x) {
                const int i = (x + y) % static_cast<int>(entries.size());
                idx.push_back(static_cast<unsigned char>(i));
                palette_px.push_back(entries[i]);
            }
        write_png(tile_file(world, {0, 2, 0}), PNG_FORMAT_RGBA_COLORMAP, idx,
                  map);

        // Grey with alpha.
        std::vector<unsigned char> ga;
        for (int y = 0; y < TILE; ++y)
            for (int x = 0; x < TILE; ++x) {
                const int g = (x * 8 + y) & 0xFF, a = alpha_at(x, y);
                ga.insert(ga.end(), {static_cast<unsigned char>(g),
                                     static_cast<unsigned char>(a)});
                grey.push_back({g << 16 | g << 8 | g, a});
            }
        write_png(tile_file(world, {0, 3, 0}), PNG_FORMAT_GA, ga);
    });
    // The files are what the test means: RGBA, palette with tRNS, grey and
    // alpha.
    EXPECT_EQ(run_command("identify -format '%[png:IHDR.color-type-orig]' '" +
                          tile_file(world, {0, 1, 0}) + "' '" +
                          tile_file(world, {0, 2, 0}) + "' '" +
                          tile_file(world, {0, 3, 0}) + "'"),
              "634");
    EXPECT_NE(run_command("grep -c tRNS '" + tile_file(world, {0, 2, 0}) + "'"),
              "0\n");
    expect_cell(1, rgba, 1);
    expect_cell(2, palette_px, 1);
    expect_cell(3, grey, 1);
}

TEST_F(TilePlaceTest, PaletteAndGreyscaleTilesKeepTheirExactColours)
{
    // A palette PNG without tRNS, whose colours need all 8 bits: the
    // library's palette keeps only 6.
    world.tiles = {{0, 0, 0}, {0, 1, 0}};
    const std::vector<int> entries = {0xC96635, 0x010203, 0xFEFDFC, 0x7F8081,
                                      0xFF00FF};
    std::vector<Rgba> want;
    compose_world([&] {
        std::vector<unsigned char> map, idx;
        for (int c : entries)
            map.insert(map.end(), {static_cast<unsigned char>(c >> 16),
                                   static_cast<unsigned char>(c >> 8),
                                   static_cast<unsigned char>(c)});
        for (int y = 0; y < TILE; ++y)
            for (int x = 0; x < TILE; ++x) {
                const int i = (x * 3 + y) % static_cast<int>(entries.size());
                idx.push_back(static_cast<unsigned char>(i));
                want.push_back({entries[i], OPAQUE});
            }
        write_png(tile_file(world, {0, 1, 0}), PNG_FORMAT_RGB_COLORMAP, idx,
                  map);
    });
    EXPECT_EQ(run_command("identify -format '%[png:IHDR.color-type-orig]' '" +
                          tile_file(world, {0, 1, 0}) + "'"),
              "3");
    expect_cell(1, want, 0);

}

// The pixels that djpeg writes for a JPEG file with its default settings,
// as 0xRRGGBB (greyscale as equal components); empty when it fails (exit
// status 2 is a warning, with the pixels written).
std::vector<int> reference_pixels(const std::string &jpeg, int *w, int *h)
{
    const std::string pnm = jpeg + ".pnm";
    int status = -1;
    run_command("djpeg -outfile '" + pnm + "' '" + jpeg + "' 2>/dev/null", &status);
    if (status != 0 && status != 2)
        return {};
    return rgb_pixels(pnm, w, h);
}

// Tiles of every kind that libjpeg-turbo writes, and CMYK and greyscale
// ones from ImageMagick, map to exactly the pixels djpeg writes for them.
// The JPEG library decoded 4:1:1 tiles 32 pixels wide or wider, RGB,
// progressive 4:1:1 and one scan per component past its buffers.
TEST_F(TilePlaceTest, JpegTilesMapToExactlyTheReferenceDecodersPixels)
{
    const std::string scans = out + "/scans.txt";  // baseline, one per component
    write_file(scans, "0;\n1;\n2;\n");
    struct Case {
        const char *name, *size;
        std::string encoder;
    };
    const Case cases[] = {
        {"grey", "64x40", "cjpeg -grayscale"},
        {"420", "64x40", "cjpeg -sample 2x2"},
        {"420_odd", "37x23", "cjpeg -sample 2x2 -restart 1"},
        {"422", "64x40", "cjpeg -sample 2x1"},
        {"444", "64x40", "cjpeg -sample 1x1 -quality 100"},
        {"411", "64x40", "cjpeg -sample 4x1"},
        {"411_odd", "37x23", "cjpeg -sample 4x1"},
        {"rgb", "64x40", "cjpeg -rgb"},
        {"progressive", "64x40", "cjpeg -progressive"},
        {"progressive_411", "64x40", "cjpeg -progressive -sample 4x1"},
        {"scan_per_component", "64x40", "cjpeg -scans " + scans},
        {"arithmetic", "64x40", "cjpeg -arithmetic -sample 2x1"},
        {"low_quality", "64x40", "cjpeg -quality 5 -baseline"},
        {"cmyk", "64x40", "convert - -colorspace CMYK -quality 90 jpg:-"},
        {"im_grey", "32x32", "convert - -colorspace Gray -quality 95 jpg:-"},
        // A warning that leaves the pixels alone: JFIF version 2.
        {"jfif_2", "64x40",
         "cjpeg | python3 -c 'import sys; d = bytearray(sys.stdin.buffer.read()); "
         "d[11] = 2; sys.stdout.buffer.write(d)'"},
    };
    for (const Case &c : cases) {
        const std::string jpeg = out + "/" + c.name + ".jpg";
        run_command(std::string("convert rose: -resize '") + c.size +
                    "!' ppm:- | " + c.encoder + " > '" + jpeg + "'");
        int w = 0, h = 0;
        const std::vector<int> want = reference_pixels(jpeg, &w, &h);
        ASSERT_FALSE(want.empty()) << c.name;
        BITMAP *tile = load_map_tile(jpeg);
        ASSERT_NE(tile, nullptr) << c.name << ": " << allegro_error;
        ASSERT_EQ(bitmap_color_depth(tile), MAP_DEPTH) << c.name;
        ASSERT_EQ(tile->w, w) << c.name;
        ASSERT_EQ(tile->h, h) << c.name;
        int wrong = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                wrong += getpixel(tile, x, y) != makecol24(want[y * w + x] >> 16,
                                                          (want[y * w + x] >> 8) & 0xFF,
                                                          want[y * w + x] & 0xFF);
        EXPECT_EQ(wrong, 0) << c.name;
        destroy_bitmap(tile);
    }
}

// A GIF of the tile's size from an index image and a global table.
PeerGif gif_tile(const std::vector<PeerColour> &table)
{
    PeerGif g;
    g.width = g.height = TILE;
    g.global = table;
    return g;
}

PeerFrame gif_frame(int left, int top, int w, int h, int transparent,
                    int colours)
{
    PeerFrame f;
    f.left = left;
    f.top = top;
    f.width = w;
    f.height = h;
    f.transparent = transparent;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            f.indices.push_back(static_cast<uint8_t>((x + 2 * y) % colours));
    return f;
}

// The map's expected pixels for a GIF: opaque where a frame shows,
// transparent (background) elsewhere.
std::vector<Rgba> shown(const PeerGif &g)
{
    std::vector<Rgba> v;
    for (int c : compose_reference(g))
        v.push_back(c < 0 ? Rgba{0, 0} : Rgba{c, OPAQUE});
    return v;
}

TEST_F(TilePlaceTest, TransparentGifPixelsAndUncoveredAreasShowTheBackground)
{
    world.ext = "gif";
    world.tiles = {{0, 0, 0}, {0, 1, 0}, {0, 2, 0}};
    const std::vector<PeerColour> table = {
        {255, 0, 255}, {0, 0, 0}, {40, 200, 120}, {252, 252, 252}};
    // A frame that covers part of the screen, with a transparent index,
    // then a second frame on top of it.
    PeerGif transparent = gif_tile(table);
    transparent.frames.push_back(gif_frame(4, 6, 20, 16, 1, 4));
    transparent.frames.push_back(gif_frame(20, 2, 8, 8, 0, 4));
    // No transparency: magenta is a colour like any other.
    PeerGif opaque = gif_tile(table);
    opaque.frames.push_back(gif_frame(0, 0, TILE, TILE, -1, 4));
    compose_world([&] {
        giflib_write(tile_file(world, {0, 1, 0}), transparent);
        giflib_write(tile_file(world, {0, 2, 0}), opaque);
        // The generator left its last tile's palette selected.
        set_palette_range(default_palette, 0, PAL_SIZE - 1, FALSE);
        rgb_map = nullptr;
    });
    const std::vector<Rgba> with_holes = shown(transparent);
    ASSERT_TRUE(std::any_of(with_holes.begin(), with_holes.end(),
                            [](const Rgba &p) { return p.a == 0; }));
    ASSERT_TRUE(std::any_of(with_holes.begin(), with_holes.end(),
                            [](const Rgba &p) { return p.rgb == MAGENTA; }));
    // GIF maps hold colours to the 6 bits of the library's palette.
    expect_cell(1, with_holes, 3);
    expect_cell(2, shown(opaque), 3);
}

// Counts the read-only opens of every file in the folders of tiles, by
// inotify (one close without writing each): what the compositor reads,
// whatever path it reads through. Writes, as the world's own, do not
// count.
class OpenCounter {
public:
    explicit OpenCounter(const std::vector<std::string> &folders)
        : fd_(inotify_init1(IN_NONBLOCK))
    {
        for (const std::string &f : folders)
            if (fd_ >= 0)
                inotify_add_watch(fd_, f.c_str(), IN_CLOSE_NOWRITE);
    }
    ~OpenCounter()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Read-only opens per watched folder and file name since the last
    // call.
    std::map<std::pair<int, std::string>, int> take()
    {
        std::map<std::pair<int, std::string>, int> opens;
        alignas(inotify_event) char buf[1 << 16];
        ssize_t n;
        while ((n = read(fd_, buf, sizeof buf)) > 0) {
            for (char *p = buf; p < buf + n;) {
                const inotify_event *e = reinterpret_cast<inotify_event *>(p);
                if (e->len > 0)
                    ++opens[{e->wd, e->name}];
                p += sizeof *e + e->len;
            }
        }
        return opens;
    }

private:
    int fd_;
};

TEST_F(TilePlaceTest, TilesListedManyTimesAreReadOnceAndMapAsIfListedOnce)
{
    world.textured = true;
    const std::vector<GenTile> once = world.tiles;
    ASSERT_TRUE(write_world(world));
    std::vector<std::string> folders;
    for (const GenTile &t : once) {
        const std::string f = tile_file(world, t);
        folders.push_back(f.substr(0, f.rfind('/')));
    }
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    OpenCounter counter(folders);
    ASSERT_TRUE(counter.ok());

    const std::string log_once = compose_world();
    const auto opens_once = counter.take();
    std::vector<std::string> maps_once;
    for (int z = 0; z <= ZoomBounds.max_zoom; ++z)
        maps_once.push_back(read_file(map_path(z)));

    // The game appends a line each time it rewrites a tile: every tile
    // listed again, in another order, and some a third time.
    std::vector<GenTile> many = once;
    many.insert(many.end(), once.rbegin(), once.rend());
    for (size_t i = 0; i < once.size(); i += 2)
        many.push_back(once[i]);
    world.tiles = many;
    tile_list.clear();
    counter.take();
    const std::string log_many = compose_world();
    const auto opens_many = counter.take();

    // One log line per listed entry, in list order, as for any list.
    std::string want_log;
    for (const GenTile &t : many)
        want_log += "Blitting " + tile_file(world, t) + "\n";
    EXPECT_EQ(log_many.substr(0, want_log.size()), want_log);
    EXPECT_EQ(log_many.substr(want_log.size()),
              log_once.substr(log_once.find("Saving ")));
    for (int z = 0; z <= ZoomBounds.max_zoom; ++z)
        EXPECT_TRUE(read_file(map_path(z)) == maps_once[z]) << "zoom " << z;

    // Every tile file is read as often as when it is listed once.
    EXPECT_EQ(opens_once.size(), once.size());
    EXPECT_EQ(opens_many, opens_once);
}

}  // namespace
