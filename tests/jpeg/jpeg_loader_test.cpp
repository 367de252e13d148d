// The JPEG loader's sessions: each frees all it took, whatever allocation
// fails, and loaders on two threads do not share a source.
#include <allegro.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <thread>

#include <jpeglib.h>

#include "jpeg_codec.h"
#include "test_support.h"

// libjpeg's memory manager takes its blocks from these four functions of
// its system layer, which the library leaves to be replaced (libjpeg's
// jmemsys.h); here they count the blocks held and can refuse every block
// from one on.
namespace {

long blocks_held = 0;
long allocations = 0;
long fail_at = -1;   // the first allocation refused, counted from 0

void *take(size_t size)
{
    if (fail_at >= 0 && allocations++ >= fail_at)
        return nullptr;
    void *block = std::malloc(size);
    if (block)
        ++blocks_held;
    return block;
}

void give_back(void *block)
{
    if (block)
        --blocks_held;
    std::free(block);
}

}  // namespace

extern "C" {
void *jpeg_get_small(j_common_ptr, size_t size) { return take(size); }
void jpeg_free_small(j_common_ptr, void *block, size_t) { give_back(block); }
void *jpeg_get_large(j_common_ptr, size_t size) { return take(size); }
void jpeg_free_large(j_common_ptr, void *block, size_t) { give_back(block); }
}

namespace {

class JpegLoaderTest : public ::testing::Test {
protected:
    static std::string dir;

    static void SetUpTestSuite()
    {
        start_allegro_headless();
        dir = make_temp_dir();
    }
    static void TearDownTestSuite() { remove_tree(dir); }

    // A JPEG of hash noise in each channel, made by ImageMagick and larger
    // than the loader's chunk; each pattern number gives other pixels.
    static std::string noise_jpeg(const std::string &name, int pattern)
    {
        const std::string path = dir + "/" + name;
        std::string command = "convert -size 300x300 xc:black";
        const char *channels[] = {"R", "G", "B"};
        for (int c = 0; c < 3; ++c) {
            const std::string wave = "sin(i*12.9898+j*78.233+" +
                                     std::to_string(pattern * 3 + c) + ")*43758.5453";
            command += std::string(" -channel ") + channels[c] + " -fx '" + wave +
                       "-floor(" + wave + ")'";
        }
        int status = -1;
        run_command(command + " +channel -quality 95 '" + path + "'", &status);
        EXPECT_EQ(status, 0);
        return path;
    }
};

std::string JpegLoaderTest::dir;

// The bitmap's rows as bytes, or "" for none.
std::string pixels_of(BITMAP *bmp)
{
    std::string s;
    for (int y = 0; bmp && y < bmp->h; ++y)
        s.append(reinterpret_cast<const char *>(bmp->line[y]),
                 size_t(bmp->w) * 3);
    if (bmp)
        destroy_bitmap(bmp);
    return s;
}

// Memory that runs out at any of libjpeg's allocations, from the first one
// in jpeg_create_decompress to the last one of the decode, fails the load
// with libjpeg's reason and leaves no block held, from a file and from
// memory.
TEST_F(JpegLoaderTest, MemoryRunningOutAnywhereLeavesNothingHeld)
{
    const std::string path = noise_jpeg("noise.jpg", 1);
    const std::string bytes = read_file(path);
    set_color_depth(24);
    for (const bool from_file : {true, false}) {
        auto load = [&] {
            return from_file
                       ? jpeg_bitmap_loader(path.c_str(), nullptr)
                       : jpeg_decode_memory(
                             reinterpret_cast<const unsigned char *>(
                                 bytes.data()),
                             bytes.size());
        };
        allocations = 0;
        fail_at = LONG_MAX;
        const std::string whole = pixels_of(load());
        ASSERT_FALSE(whole.empty());
        const long needed = allocations;
        ASSERT_GT(needed, 2);
        for (fail_at = 0; fail_at < needed; ++fail_at) {
            allocations = 0;
            allegro_error[0] = '\0';
            EXPECT_TRUE(pixels_of(load()).empty()) << fail_at;
            EXPECT_EQ(std::string(allegro_error).substr(0, 19),
                      "Insufficient memory")
                << fail_at << ": " << allegro_error;
            EXPECT_EQ(blocks_held, 0)
                << "allocation " << fail_at << " of " << needed
                << (from_file ? " from a file" : " from memory");
        }
        fail_at = -1;
    }
}

// Two loaders at once on two threads each get their own file's pixels.
TEST_F(JpegLoaderTest, LoadersOnTwoThreadsKeepTheirOwnSources)
{
    set_color_depth(24);
    const std::string paths[] = {noise_jpeg("a.jpg", 2), noise_jpeg("b.jpg", 3)};
    std::string want[2];
    for (int i = 0; i < 2; ++i)
        want[i] = pixels_of(jpeg_bitmap_loader(paths[i].c_str(), nullptr));
    ASSERT_NE(want[0], want[1]);
    int wrong[2] = {0, 0};
    auto load_again = [&](int i) {
        for (int round = 0; round < 20; ++round)
            if (pixels_of(jpeg_bitmap_loader(paths[i].c_str(), nullptr)) !=
                want[i])
                ++wrong[i];
    };
    std::thread other(load_again, 1);
    load_again(0);
    other.join();
    EXPECT_EQ(wrong[0] + wrong[1], 0);
}

}  // namespace
