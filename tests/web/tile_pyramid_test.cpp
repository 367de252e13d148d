// Single web tiles cut from a canvas against libvips's full cut of the
// same canvas: the same PNG and JPEG bytes at every pyramid level, the same tiles
// left out as background, before and after pixels change (so the kept
// upper levels follow the canvas), over a region of odd size.
#include <gtest/gtest.h>

#include <allegro.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "compose.h"
#include "test_support.h"
#include "tile_encode.h"
#include "tile_pyramid.h"
#include "web_levels.h"
#include "web_map.h"

namespace {

// Odd at full size and at every level above: 1537 x 1101 needs a pyramid
// of depth 3, with one kept level.
const int CANVAS_W = 1600, CANVAS_H = 1200;
const int REGION_X = 40, REGION_Y = 30, REGION_W = 1537, REGION_H = 1101;

std::string read_file(const std::string &path, bool *found)
{
    std::ifstream in(path, std::ios::binary);
    *found = static_cast<bool>(in);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void paint_noise(BITMAP *canvas, int x0, int y0, int w, int h, unsigned pattern)
{
    srand(pattern);
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x)
            putpixel(canvas, x, y, makecol24(rand() & 255, rand() & 255, rand() & 255));
}

class TilePyramidTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        install_allegro(SYSTEM_NONE, &errno, atexit);
        start_web_map(BACKGROUND_R, BACKGROUND_G, BACKGROUND_B);
        dir = make_temp_dir();
        canvas = create_bitmap_ex(24, CANVAS_W, CANVAS_H);
        clear_to_color(canvas, makecol24(BACKGROUND_R, BACKGROUND_G, BACKGROUND_B));
        // Noise over most of it; one corner stays background.
        paint_noise(canvas, 0, 0, CANVAS_W, 700, 1);
        paint_noise(canvas, 900, 700, CANVAS_W - 900, CANVAS_H - 700, 2);
        const uint8_t bg[3] = {BACKGROUND_R, BACKGROUND_G, BACKGROUND_B};
        ASSERT_TRUE(build_tile_pyramid(&pyramid, canvas, REGION_X, REGION_Y,
                                       REGION_W, REGION_H, bg));
    }
    void TearDown() override
    {
        destroy_bitmap(canvas);
        run_command("rm -rf '" + dir + "'");
    }

    // Every tile of every level against a full cut made now, in the
    // format of tile_ext.
    void expect_tiles_match_full_cut(const std::string &name,
                                     const std::string &tile_ext = "png")
    {
        std::string why;
        const std::string cut = dir + "/" + name;
        const CanvasRegion region = {canvas, REGION_X, REGION_Y, REGION_W, REGION_H};
        const int background[3] = {BACKGROUND_R, BACKGROUND_G, BACKGROUND_B};
        ASSERT_TRUE(cut_pyramid(region, AT_FDCWD, cut, cut, tile_ext, background, &why))
            << why;
        WebLevel level;
        level.width = REGION_W;
        level.height = REGION_H;
        size_pyramid(&level);
        ASSERT_EQ(level.depth, pyramid.depth);
        int compared = 0, left_out = 0;
        std::vector<uint8_t> rgb;
        for (int k = 0; k <= level.depth; ++k)
            for (int row = 0; row < level.rows[k]; ++row)
                for (int col = 0; col < level.columns[k]; ++col) {
                    bool found = false;
                    const std::string path = cut + "/" + std::to_string(k) + "/" +
                                             std::to_string(row) + "/" +
                                             std::to_string(col) + "." + tile_ext;
                    const std::string want = read_file(path, &found);
                    const bool blank = tile_pixels(pyramid, k, col, row, &rgb);
                    EXPECT_EQ(blank, !found) << path;
                    if (blank) {
                        ++left_out;
                        continue;
                    }
                    std::string bytes;
                    // The watch's log holds no library warning per tile.
                    ::testing::internal::CaptureStderr();
                    ASSERT_TRUE(encode_web_tile(rgb, tile_ext, &bytes, &why)) << why;
                    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << path;
                    EXPECT_TRUE(bytes == want) << path << " differs from the full cut";
                    ++compared;
                }
        EXPECT_GT(compared, 20);
        EXPECT_GT(left_out, 0);
    }

    std::string dir;
    BITMAP *canvas = nullptr;
    TilePyramid pyramid;
};

TEST_F(TilePyramidTest, SingleTilesEqualAFullCutBeforeAndAfterAChange)
{
    EXPECT_EQ(pyramid.depth, 3);
    expect_tiles_match_full_cut("before");
    expect_tiles_match_full_cut("jpeg", "jpg");
    // One change inside, one on the region's odd right and bottom edges.
    paint_noise(canvas, 300, 200, 64, 64, 3);
    paint_noise(canvas, REGION_X + REGION_W - 33, REGION_Y + REGION_H - 33, 64, 64, 4);
    update_tile_pyramid(&pyramid, {260, 170, 324, 234});
    update_tile_pyramid(&pyramid, {REGION_W - 33, REGION_H - 33, REGION_W, REGION_H});
    expect_tiles_match_full_cut("after");
}

}  // namespace
