// A generated world in a scratch data folder and a scratch current folder
// for the maps, with the reader's globals cleared: what every compositor
// test starts from.
#ifndef COMPOSE_TESTS_COMPOSE_FIXTURE_H
#define COMPOSE_TESTS_COMPOSE_FIXTURE_H

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "change_list.h"
#include "compose.h"
#include "gif_codec.h"
#include "map_file.h"
#include "test_support.h"
#include "tile_types.h"
#include "world_gen.h"
#include "world_layout.h"

// Edge of the generated tiles.
const int TILE = 32;

class ComposeFixture : public ::testing::Test {
protected:
    std::string root, out, old_cwd;
    SampleWorld world;
    // Where root and out are made: $TMPDIR unless a suite says otherwise.
    const char *temp_base = nullptr;

    void SetUp() override
    {
        start_allegro_headless();
        configure_png_codec();
        gif_codec_init();
        root = make_temp_dir(temp_base);
        out = make_temp_dir(temp_base);
        char buf[PATH_MAX];
        old_cwd = getcwd(buf, sizeof buf) ? buf : "/";
        ASSERT_EQ(chdir(out.c_str()), 0);
        setenv("XDG_DATA_HOME", root.c_str(), 1);
        tile_list.clear();
        std::memset(&ZoomBounds, 0, sizeof ZoomBounds);
        std::memset(tile_ext, 0, sizeof tile_ext);
        world.root = root;
        world.tile_size = TILE;
        world.tiles = sample_layout();
    }

    // Writes the world and reads its list, which must raise no warning.
    void write_and_read()
    {
        ASSERT_TRUE(write_world(world));
        testing::internal::CaptureStderr();
        read_change_list(world.number);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }

    // Runs the compositor and returns its standard output.
    std::string compose()
    {
        testing::internal::CaptureStdout();
        compose_maps(world.number);
        return testing::internal::GetCapturedStdout();
    }

    void TearDown() override
    {
        if (chdir(old_cwd.c_str()) != 0)
            std::perror("chdir");
        remove_tree(root);
        remove_tree(out);
    }
};

#endif
