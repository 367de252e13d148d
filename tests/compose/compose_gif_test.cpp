// Worlds of GIF tiles: the change list reader and the compositor write
// map_zoom_N.gif files that show the tiles' colours, as another program
// (ImageMagick) reads them.
#include <gtest/gtest.h>

#include <allegro.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "change_list.h"
#include "compose.h"
#include "gif_codec.h"
#include "compose_fixture.h"

namespace {

const int BYTES_PER_RGB = 3;

class ComposeGifTest : public ComposeFixture {
protected:
    void SetUp() override
    {
        ComposeFixture::SetUp();
        world.ext = "gif";
    }

    // Writes the world; the generator saves every tile through a palette
    // of its own, as a game writes tiles in its own colours.
    void write_gif_world()
    {
        ASSERT_TRUE(write_world(world));
        // Leave the library's palette as the program finds it.
        set_palette_range(default_palette, 0, PAL_SIZE - 1, FALSE);
        rgb_map = nullptr;
    }

    void compose_world()
    {
        read_change_list(world.number);
        testing::internal::CaptureStdout();
        compose_maps(world.number);
        testing::internal::GetCapturedStdout();
    }

    // The map that compose should have made, from the tiles as our reader
    // loads them: every listed tile at its cell over the background.
    BITMAP *expected_map(int zoom)
    {
        const int x0 = ZoomBounds.zoom_min_x[zoom];
        const int y0 = ZoomBounds.zoom_min_y[zoom];
        BITMAP *map = create_bitmap_ex(
            32, (ZoomBounds.zoom_max_x[zoom] - x0 + 1) * TILE,
            (ZoomBounds.zoom_max_y[zoom] - y0 + 1) * TILE);
        clear_to_color(map, makecol32(BACKGROUND_R, BACKGROUND_G, BACKGROUND_B));
        for (const GenTile &t : world.tiles) {
            if (t.zoom != zoom)
                continue;
            BITMAP *tile = load_bitmap(tile_file(world, t).c_str(), NULL);
            EXPECT_NE(tile, nullptr);
            if (!tile)
                continue;
            blit(tile, map, 0, 0, (t.x - x0) * TILE, (t.y - y0) * TILE, TILE,
                 TILE);
            destroy_bitmap(tile);
        }
        return map;
    }

    // Largest component difference, in 8-bit units, between the written
    // map as ImageMagick decodes it and the expected map; -1 when the map
    // cannot be read or has another size. Background pixels are measured
    // apart, since the background is not a tile colour.
    void measure_map(int zoom, int *tile_error, int *background_error)
    {
        *tile_error = *background_error = -1;
        const std::string name = "map_zoom_" + std::to_string(zoom) + ".gif";
        BITMAP *want = expected_map(zoom);
        int status = -1;
        run_command("convert '" + out + "/" + name + "' -depth 8 'rgb:" + out +
                        "/map.rgb'",
                    &status);
        const std::string rgb = read_file(out + "/map.rgb");
        if (status != 0 || rgb.size() != static_cast<size_t>(want->w) *
                                             want->h * BYTES_PER_RGB) {
            destroy_bitmap(want);
            return;
        }
        const int background =
            makecol32(BACKGROUND_R, BACKGROUND_G, BACKGROUND_B);
        *tile_error = *background_error = 0;
        size_t i = 0;
        for (int y = 0; y < want->h; ++y)
            for (int x = 0; x < want->w; ++x, i += BYTES_PER_RGB) {
                const int c = getpixel(want, x, y);
                const int e = std::max(
                    {std::abs(static_cast<unsigned char>(rgb[i]) - getr32(c)),
                     std::abs(static_cast<unsigned char>(rgb[i + 1]) - getg32(c)),
                     std::abs(static_cast<unsigned char>(rgb[i + 2]) - getb32(c))});
                int &worst = (c == background) ? *background_error : *tile_error;
                worst = std::max(worst, e);
            }
        destroy_bitmap(want);
    }
};

TEST_F(ComposeGifTest, GifMapsShowTheTilesColours)
{
    write_gif_world();
    compose_world();
    for (int z = 0; z <= ZoomBounds.max_zoom; ++z) {
        int tile_error, background_error;
        measure_map(z, &tile_error, &background_error);
        std::cout << "map_zoom_" << z << ".gif: largest colour error "
                  << tile_error << " on tiles, " << background_error
                  << " on the background\n";
        // GIF tiles already hold colours of the palette's precision, so
        // they come through unchanged; the background loses its low bits.
        EXPECT_EQ(tile_error, 0) << "zoom " << z;
        EXPECT_GE(background_error, 0);
        EXPECT_LE(background_error, 3) << "zoom " << z;
    }
}

TEST_F(ComposeGifTest, GifTilesKeepTheirColoursOnLowDepthDesktops)
{
    write_gif_world();
    for (int depth : {16, 8}) {
        set_color_depth(depth);
        compose_world();
        set_color_depth(32);
        for (int z = 0; z <= ZoomBounds.max_zoom; ++z) {
            int tile_error, background_error;
            measure_map(z, &tile_error, &background_error);
            EXPECT_EQ(tile_error, 0) << "zoom " << z << ", " << depth;
            EXPECT_GE(background_error, 0);
            EXPECT_LE(background_error, 3) << "zoom " << z << ", " << depth;
        }
    }
}

TEST_F(ComposeGifTest, GifMapsOfManyColoursComeClose)
{
    // Textured tiles: far more than 256 colours on one map.
    world.textured = true;
    write_gif_world();
    compose_world();
    for (int z = 0; z <= ZoomBounds.max_zoom; ++z) {
        int tile_error, background_error;
        measure_map(z, &tile_error, &background_error);
        std::cout << "map_zoom_" << z << ".gif (textured): largest colour "
                  << "error " << tile_error << " on tiles, "
                  << background_error << " on the background\n";
        EXPECT_GE(tile_error, 0);
        EXPECT_LE(tile_error, 32) << "zoom " << z;
        EXPECT_LE(background_error, 16) << "zoom " << z;
    }
}

}  // namespace
