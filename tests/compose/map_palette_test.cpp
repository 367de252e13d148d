// The palette fit: truecolour bitmaps reduced to 8 bits by blit keep their
// colours when they have at most 256, and come close when they have more.
#include <gtest/gtest.h>

#include <allegro.h>

#include <cstdlib>
#include <random>
#include <set>
#include <vector>

#include "map_palette.h"
#include "test_support.h"

namespace {

struct Colour {
    int r, g, b;
};

class GifPaletteTest : public ::testing::Test {
protected:
    void SetUp() override { start_allegro_headless(); }
};

// A bitmap at depth whose pixels cycle through colours in blocks.
BITMAP *make_bitmap(int depth, int w, int h, const std::vector<Colour> &colours)
{
    BITMAP *bmp = create_bitmap_ex(depth, w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Colour &c = colours[(x / 3 + y * 7) % colours.size()];
            putpixel(bmp, x, y, makecol_depth(depth, c.r, c.g, c.b));
        }
    return bmp;
}

// Largest difference, in 6-bit steps, between a pixel's colour at the
// palette's precision and the palette entry blit gives it, after the
// fitted palette is selected.
int largest_error_after_fit(BITMAP *bmp)
{
    select_fitted_palette(bmp);
    BITMAP *copy = create_bitmap_ex(8, bmp->w, bmp->h);
    blit(bmp, copy, 0, 0, 0, 0, bmp->w, bmp->h);
    PALETTE pal;
    get_palette(pal);
    const int depth = bitmap_color_depth(bmp);
    int worst = 0;
    for (int y = 0; y < bmp->h; ++y)
        for (int x = 0; x < bmp->w; ++x) {
            const int c = getpixel(bmp, x, y);
            const RGB &e = pal[getpixel(copy, x, y)];
            worst = std::max({worst, std::abs((getr_depth(depth, c) >> 2) - e.r),
                              std::abs((getg_depth(depth, c) >> 2) - e.g),
                              std::abs((getb_depth(depth, c) >> 2) - e.b)});
        }
    destroy_bitmap(copy);
    return worst;
}

// n distinct colours at 6-bit precision, with (when spread) no two in one
// cell of 5 bits a component.
std::vector<Colour> distinct_colours(int n, bool spread, unsigned salt)
{
    std::mt19937 rng(salt);
    std::set<int> used;
    std::vector<Colour> v;
    while (static_cast<int>(v.size()) < n) {
        const int r = rng() % 64, g = rng() % 64, b = rng() % 64;
        const int key = spread ? ((r / 2) << 10 | (g / 2) << 5 | b / 2)
                               : (r << 12 | g << 6 | b);
        if (used.insert(key).second)
            v.push_back({r * 4 + 1, g * 4 + 2, b * 4 + 3});
    }
    return v;
}

TEST_F(GifPaletteTest, UpTo256ColoursComeThroughExactly)
{
    // Game colours that the library's default palette would coarsen.
    std::vector<Colour> game = {{200, 30, 30}, {30, 60, 200}, {227, 226, 221}};
    BITMAP *bmp = make_bitmap(32, 40, 30, game);
    EXPECT_EQ(largest_error_after_fit(bmp), 0);
    destroy_bitmap(bmp);

    for (int n : {1, 2, 100, 256}) {
        bmp = make_bitmap(32, 128, 64, distinct_colours(n, true, n));
        EXPECT_EQ(largest_error_after_fit(bmp), 0) << n << " colours";
        EXPECT_NE(rgb_map, nullptr) << "the fast map serves " << n;
        destroy_bitmap(bmp);
    }
}

TEST_F(GifPaletteTest, ColoursSharingAMapCellAreStillExact)
{
    // 6-bit reds 50 and 51 fall into one cell of the RGB map.
    std::vector<Colour> close = {{200, 30, 30}, {204, 30, 30}, {0, 0, 0}};
    BITMAP *bmp = make_bitmap(32, 30, 30, close);
    PALETTE pal;
    static RGB_MAP map;
    EXPECT_FALSE(fit_palette_to_bitmap(bmp, pal, &map));
    EXPECT_EQ(largest_error_after_fit(bmp), 0);
    EXPECT_EQ(rgb_map, nullptr);
    destroy_bitmap(bmp);

    bmp = make_bitmap(32, 200, 100, distinct_colours(255, false, 7));
    EXPECT_EQ(largest_error_after_fit(bmp), 0);
    destroy_bitmap(bmp);
    // A full 256 with shared cells: one 6-bit step at most.
    bmp = make_bitmap(32, 200, 100, distinct_colours(256, false, 8));
    EXPECT_LE(largest_error_after_fit(bmp), 1);
    destroy_bitmap(bmp);
}

TEST_F(GifPaletteTest, OtherDepthsComeThroughExactly)
{
    for (int depth : {15, 16, 24}) {
        BITMAP *bmp = make_bitmap(depth, 64, 64, distinct_colours(60, true, depth));
        EXPECT_EQ(largest_error_after_fit(bmp), 0) << depth << " bits";
        destroy_bitmap(bmp);
    }
}

TEST_F(GifPaletteTest, MoreThan256ColoursComeClose)
{
    // A smooth ramp over two components and noise over all three.
    BITMAP *ramp = create_bitmap_ex(32, 256, 256);
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x)
            putpixel(ramp, x, y, makecol32(x, y, 128));
    EXPECT_LE(largest_error_after_fit(ramp), 3);
    destroy_bitmap(ramp);

    // Few frequent colours among many rare ones keep entries of their own.
    std::vector<Colour> game = {{200, 30, 30}, {30, 60, 200}, {227, 226, 221}};
    BITMAP *mixed = make_bitmap(32, 300, 300, game);
    std::mt19937 rng(3);
    for (int i = 0; i < 3000; ++i)
        putpixel(mixed, rng() % 300, rng() % 300,
                 makecol32(rng() % 256, rng() % 256, rng() % 256));
    select_fitted_palette(mixed);
    PALETTE pal;
    get_palette(pal);
    for (const Colour &c : game) {
        bool found = false;
        for (int i = 0; i < PAL_SIZE; ++i)
            found = found || (pal[i].r == c.r >> 2 && pal[i].g == c.g >> 2 &&
                              pal[i].b == c.b >> 2);
        EXPECT_TRUE(found) << c.r << "," << c.g << "," << c.b;
    }
    destroy_bitmap(mixed);
}

TEST_F(GifPaletteTest, IndexedBitmapsLeaveThePaletteAlone)
{
    PALETTE before, after;
    for (int i = 0; i < PAL_SIZE; ++i)
        before[i] = {static_cast<unsigned char>(i % 64), 1, 2, 0};
    set_palette_range(before, 0, PAL_SIZE - 1, FALSE);
    BITMAP *bmp = create_bitmap_ex(8, 10, 10);
    clear_to_color(bmp, 3);
    select_fitted_palette(bmp);
    get_palette(after);
    for (int i = 0; i < PAL_SIZE; ++i)
        EXPECT_EQ(after[i].r, before[i].r);
    destroy_bitmap(bmp);
}

}  // namespace
