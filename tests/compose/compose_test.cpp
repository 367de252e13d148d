#include <gtest/gtest.h>

#include <allegro.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "bitmap_size.h"
#include "change_list.h"
#include "compose.h"
#include "compose_fixture.h"
#include "map_geometry.h"
#include "crafted_images.h"

namespace {


struct Rgb {
    int r, g, b;
    bool operator==(const Rgb &o) const
    {
        return r == o.r && g == o.g && b == o.b;
    }
};

Rgb rgb_at(BITMAP *bmp, int x, int y)
{
    int c = getpixel(bmp, x, y);
    int d = bitmap_color_depth(bmp);
    return {getr_depth(d, c), getg_depth(d, c), getb_depth(d, c)};
}

// Room for the progress log (where the death test reads the messages)
// but not for a map of textured tiles.
const rlim_t ROOM_FOR_LOG_ONLY = 8000;

// Makes writes past size bytes fail, as on a full disk.
void limit_file_size(rlim_t size)
{
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = size;
    setrlimit(RLIMIT_FSIZE, &limit);
}

const Rgb BACKGROUND = {BACKGROUND_R, BACKGROUND_G, BACKGROUND_B};

class ComposeTest : public ComposeFixture {
protected:
    std::string map_name(int zoom) const
    {
        return out + "/map_zoom_" + std::to_string(zoom) + "." + world.ext;
    }

    std::string expected_log() const
    {
        std::ostringstream s;
        for (const GenTile &t : world.tiles)
            s << "Blitting " << tile_file(world, t) << "\n";
        for (int z = 0; z <= ZoomBounds.max_zoom; ++z)
            s << "Saving map_zoom_" << z << "." << world.ext << "\n"
              << "map_zoom_" << z << "." << world.ext << " saved\n";
        return s.str();
    }

    bool listed(int zoom, int x, int y) const
    {
        for (const GenTile &t : world.tiles)
            if (t.zoom == zoom && t.x == x && t.y == y)
                return true;
        return false;
    }

    // Checks every grid cell of the map of one zoom level: listed cells
    // hold their tile's pixels, the others the background. tolerance
    // allows for lossy formats.
    void expect_map_matches(int zoom, int tolerance)
    {
        BITMAP *map = load_bitmap(map_name(zoom).c_str(), NULL);
        ASSERT_NE(map, nullptr) << map_name(zoom);
        const int x0 = ZoomBounds.zoom_min_x[zoom], y0 = ZoomBounds.zoom_min_y[zoom];
        EXPECT_EQ(map->w, (ZoomBounds.zoom_max_x[zoom] - x0 + 1) * TILE);
        EXPECT_EQ(map->h, (ZoomBounds.zoom_max_y[zoom] - y0 + 1) * TILE);
        int worst = 0;
        for (int cy = y0; cy <= ZoomBounds.zoom_max_y[zoom]; ++cy)
            for (int cx = x0; cx <= ZoomBounds.zoom_max_x[zoom]; ++cx) {
                BITMAP *tile = nullptr;
                if (listed(zoom, cx, cy)) {
                    tile = load_bitmap(tile_file(world, {zoom, cx, cy}).c_str(), NULL);
                    ASSERT_NE(tile, nullptr);
                }
                for (int py = 0; py < TILE; ++py)
                    for (int px = 0; px < TILE; ++px) {
                        Rgb want = tile ? rgb_at(tile, px, py) : BACKGROUND;
                        Rgb got = rgb_at(map, (cx - x0) * TILE + px,
                                         (cy - y0) * TILE + py);
                        worst = std::max({worst, std::abs(want.r - got.r),
                                          std::abs(want.g - got.g),
                                          std::abs(want.b - got.b)});
                    }
                if (tile)
                    destroy_bitmap(tile);
            }
        EXPECT_LE(worst, tolerance) << "zoom " << zoom;
        destroy_bitmap(map);
    }
};

TEST_F(ComposeTest, PngMapsHoldEveryTileAtItsCellOverTheBackground)
{
    write_and_read();
    EXPECT_EQ(compose(), expected_log());
    ASSERT_EQ(ZoomBounds.max_zoom, 2);
    for (int z = 0; z <= 2; ++z)
        expect_map_matches(z, 0);
    EXPECT_EQ(tile_size, TILE);
    // Zoom 2 lists only columns 1..2 of row 1, yet its map starts at 0, 0.
    BITMAP *map = load_bitmap(map_name(2).c_str(), NULL);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->w, 3 * TILE);
    EXPECT_EQ(map->h, 2 * TILE);
    destroy_bitmap(map);
}

TEST_F(ComposeTest, PngMapsAreOpaqueForAnotherReader)
{
    write_and_read();
    compose();
    for (int z = 0; z <= 2; ++z) {
        std::string m = map_name(z);
        std::string opaque = run_command("identify -format '%[opaque]' '" + m + "'");
        EXPECT_TRUE(opaque == "True" || opaque == "true") << m << ": " << opaque;
    }
    // Cell (0, 0) of zoom 2 is a gap: the background colour, opaque.
    std::string px = run_command("convert '" + map_name(2) +
                                 "' -format '%[pixel:p{5,5}]' info:");
    EXPECT_TRUE(px == "srgb(227,226,221)" || px == "srgba(227,226,221,1)") << px;
}

// Colour type byte of a PNG file's header (2: RGB, 6: RGB with alpha).
int png_colour_type(const std::string &path)
{
    const int COLOUR_TYPE_OFFSET = 25;
    const std::string bytes = read_file(path);
    return bytes.size() > COLOUR_TYPE_OFFSET
               ? static_cast<unsigned char>(bytes[COLOUR_TYPE_OFFSET])
               : -1;
}

TEST_F(ComposeTest, MapsHoldTheTilesExactColoursOnEveryDesktopDepth)
{
    // Textured tiles: colours that 5 or 6 bits a component cannot hold.
    world.textured = true;
    write_and_read();
    for (int depth : {8, 15, 16, 24, 32}) {
        set_color_depth(depth);
        const std::string log = compose();
        set_color_depth(32);
        EXPECT_EQ(log, expected_log()) << depth << "-bit desktop";
        for (int z = 0; z <= 2; ++z) {
            EXPECT_EQ(png_colour_type(map_name(z)), 2)
                << "map " << z << " is not RGB on a " << depth << "-bit desktop";
            expect_map_matches(z, 0);
        }
    }
}

TEST_F(ComposeTest, JpegTilesGiveJpegMaps)
{
    world.ext = "jpg";
    world.windows_paths = false;
    world.crlf = true;
    write_and_read();
    EXPECT_EQ(compose(), expected_log());
    for (int z = 0; z <= 2; ++z) {
        EXPECT_EQ(run_command("identify -format '%m' '" + map_name(z) + "'"), "JPEG");
        expect_map_matches(z, 48);
    }
}

TEST_F(ComposeTest, TilesOfOtherSizesContributeOnlyTheirTopLeftSquare)
{
    world.tiles = {{0, 0, 0}, {0, 1, 0}, {0, 2, 0}};
    write_and_read();
    // The sample (first) tile sets the size; make the others larger and
    // smaller than it.
    SampleWorld big = world, small = world;
    big.tile_size = TILE * 2;
    small.tile_size = TILE / 2;
    BITMAP *b = make_tile_bitmap(big, {0, 1, 0});
    BITMAP *s = make_tile_bitmap(small, {0, 2, 0});
    ASSERT_EQ(save_bitmap(tile_file(world, {0, 1, 0}).c_str(), b, NULL), 0);
    ASSERT_EQ(save_bitmap(tile_file(world, {0, 2, 0}).c_str(), s, NULL), 0);
    compose();
    BITMAP *map = load_bitmap(map_name(0).c_str(), NULL);
    ASSERT_NE(map, nullptr);
    ASSERT_EQ(map->w, 3 * TILE);
    ASSERT_EQ(map->h, TILE);
    for (int y = 0; y < TILE; ++y)
        for (int x = 0; x < TILE; ++x) {
            ASSERT_EQ(rgb_at(map, TILE + x, y), rgb_at(b, x, y)) << x << "," << y;
            Rgb want = (x < TILE / 2 && y < TILE / 2) ? rgb_at(s, x, y) : BACKGROUND;
            ASSERT_EQ(rgb_at(map, 2 * TILE + x, y), want) << x << "," << y;
        }
    destroy_bitmap(map);
    destroy_bitmap(b);
    destroy_bitmap(s);
}

TEST_F(ComposeTest, GammaTaggedTilesKeepTheirStoredColours)
{
    world.tiles = {{0, 0, 0}, {0, 1, 0}};
    write_and_read();
    // A tile from another writer that records a gamma of 1.0: its stored
    // values are what the map must show, whatever the screen's gamma.
    std::string tile = tile_file(world, {0, 1, 0});
    run_command("convert -size 32x32 xc:'rgb(100,150,200)' -define "
                "png:include-chunk=gAMA -set gamma 1.0 'png24:" + tile + "'");
    ASSERT_NE(run_command("grep -c gAMA '" + tile + "'"), "0\n");
    setenv("SCREEN_GAMMA", "2.2", 1);
    compose();
    BITMAP *map = load_bitmap(map_name(0).c_str(), NULL);
    ASSERT_NE(map, nullptr);
    Rgb want = {100, 150, 200};
    EXPECT_EQ(rgb_at(map, TILE + 10, 10), want);
    destroy_bitmap(map);
}

TEST_F(ComposeTest, MissingTileStopsTheRunBeforeAnyMapIsWritten)
{
    write_and_read();
    std::string missing = tile_file(world, world.tiles[3]);
    std::remove(missing.c_str());
    EXPECT_EXIT(
        {
            messages_to_stderr();
            compose_maps(1);
        },
        ::testing::ExitedWithCode(1), "Error loading " + missing);
    for (int z = 0; z <= 2; ++z)
        EXPECT_FALSE(file_exists(map_name(z)));
}

TEST_F(ComposeTest, EmptyListOrUnreadableSampleIsFatal)
{
    EXPECT_EXIT(
        {
            messages_to_stderr();
            compose_maps(1);
        },
        ::testing::ExitedWithCode(1), "Error loading sample bitmap\\.");
    write_and_read();
    std::remove(tile_file(world, world.tiles[0]).c_str());
    EXPECT_EXIT(
        {
            messages_to_stderr();
            compose_maps(1);
        },
        ::testing::ExitedWithCode(1), "Error loading sample bitmap\\.");
}

TEST_F(ComposeTest, TilesDeclaringMoreThanTheLibraryCanHoldAreRefused)
{
    world.tiles = {{0, 0, 0}, {0, 1, 0}};
    write_and_read();
    // 40000 x 40000 at 3 bytes wraps round the library's int size to a
    // 505 MB bitmap, which the PNG codec's rows would overrun.
    const std::string tile = tile_file(world, {0, 1, 0});
    write_file(tile, png_declaring(40000, 40000, 4300));
    EXPECT_EXIT(
        {
            messages_to_stderr();
            compose_maps(1);
        },
        ::testing::ExitedWithCode(1), "Error loading " + tile);

    // The same for a JPEG whose frame header declares 60000 x 60000, and
    // for headers cut short.
    const std::string jpeg_header("\xFF\xD8\xFF\xE0\x00\x04\x00\x00"
                                  "\xFF\xC0\x00\x11\x08\xEA\x60\xEA\x60", 17);
    for (const std::string &bytes :
         {jpeg_header, std::string("\xFF\xD8\xFF\xE0\x00\x04", 6),
          png_declaring(2, 2, 2).substr(0, 20)}) {
        write_file(tile, bytes);
        EXPECT_EXIT(
            {
                messages_to_stderr();
                compose_maps(1);
            },
            ::testing::ExitedWithCode(1), "Error loading " + tile);
    }
}

TEST_F(ComposeTest, CanvasTooLargeForTheLibraryIsFatal)
{
    EXPECT_TRUE(bitmap_fits(23170, 23170, 4));
    EXPECT_FALSE(bitmap_fits(23171, 23171, 4));
    EXPECT_FALSE(bitmap_fits(46341, 46341, 1));
    EXPECT_FALSE(bitmap_fits(int64_t(INT_MAX) + 1, 1, 1));
    EXPECT_FALSE(bitmap_fits(0, 10, 4));
    // The largest 24-bit bitmap, whose pixels and spare byte take
    // INT_MAX bytes, and one pixel more.
    EXPECT_TRUE(bitmap_fits(INT_MAX / 3, 1, 3));
    EXPECT_FALSE(bitmap_fits(INT_MAX / 3 + 1, 1, 3));

    // Coordinates at both ends of the int range: the width overflows 32
    // bits, which must be caught before anything is allocated.
    world.tiles = {{0, 0, 0}};
    write_and_read();
    tile_list.push_back({0, INT_MAX, 0});
    tile_list.push_back({0, INT_MIN, 0});
    widen_bounds(tile_list[1]);
    widen_bounds(tile_list[2]);
    // The far tiles exist, so only the map's size is wrong.
    const std::string tile = read_file(tile_file(world, {0, 0, 0}));
    write_file(tile_file(world, {0, INT_MAX, 0}), tile);
    write_file(tile_file(world, {0, INT_MIN, 0}), tile);
    EXPECT_EXIT(
        {
            messages_to_stderr();
            compose_maps(1);
        },
        ::testing::ExitedWithCode(1), "Error creating map bitmap\\.");
}

TEST_F(ComposeTest, FailedSavesAreReportedAndKeepEarlierMaps)
{
    world.textured = true;
    write_and_read();
    write_file(map_name(0), "map from an earlier run");
    // A folder where map 1 should go: the finished file cannot replace it.
    ASSERT_EQ(mkdir(map_name(1).c_str(), 0755), 0);
    EXPECT_EXIT(
        {
            // Too little room for any map: the PNG saver fails on level 0.
            messages_to_stderr();
            limit_file_size(ROOM_FOR_LOG_ONLY);
            compose_maps(1);
            std::exit(0);
        },
        ::testing::ExitedWithCode(1),
        "Error saving map_zoom_0\\.png\n[^\n]*: File too large\n");
    EXPECT_EQ(read_file(map_name(0)), "map from an earlier run");
    EXPECT_EQ(run_command("ls '" + out + "' | grep -c part"), "0\n");

    // With room again, only the level blocked by the folder fails.
    EXPECT_EXIT(
        {
            messages_to_stderr();
            compose_maps(1);
            std::exit(0);
        },
        ::testing::ExitedWithCode(1),
        "Error saving map_zoom_1\\.png\n[^\n]*: Is a directory\n");
    EXPECT_NE(read_file(map_name(0)), "map from an earlier run");
    EXPECT_TRUE(file_exists(map_name(2)));
    EXPECT_EQ(run_command("ls '" + out + "' | grep -c part"), "0\n");
}

TEST_F(ComposeTest, TruncatedJpegIsReportedNotLoggedAsSaved)
{
    world.ext = "jpg";
    world.textured = true;
    write_and_read();
    write_file(map_name(0), "older jpeg");
    EXPECT_EXIT(
        {
            messages_to_stderr();
            limit_file_size(ROOM_FOR_LOG_ONLY);
            compose_maps(1);
            std::exit(0);
        },
        ::testing::ExitedWithCode(1),
        "Error saving map_zoom_0\\.jpg\n[^\n]*: File too large\n");
    EXPECT_EQ(read_file(map_name(0)), "older jpeg");
}

}  // namespace
