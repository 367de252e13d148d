// What one GIF file can make the reader hold is bounded by its screen:
// frames far larger than the screen keep only what can be seen, and a
// file whose frames would still take more than the bound fails.
#include <allegro.h>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "gif_document.h"
#include "gif_reader_internal.h"
#include "gif_reader_support.h"
#include "test_support.h"

namespace {

const int NOTHING = -1;  // compose_reference's uncovered pixel

class GifMemoryTest : public GifSuite {
protected:
    void SetUp() override
    {
        set_color_depth(32);
        default_allowance = gif_frame_allowance;
    }
    void TearDown() override { gif_frame_allowance = default_allowance; }

    int64_t default_allowance = 0;
};

// Bytes of address space the process has mapped now.
int64_t address_space_bytes()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    int64_t kilobytes = 0;
    while (status >> key) {
        if (key == "VmSize:" && status >> kilobytes)
            return kilobytes * 1024;
    }
    return 0;
}

// The bitmap's pixels as 0xRRGGBB, or NOTHING where it holds the mask colour.
std::vector<int> colours_of(BITMAP *bmp)
{
    std::vector<int> v;
    const int depth = bitmap_color_depth(bmp);
    for (int y = 0; y < bmp->h; ++y)
        for (int x = 0; x < bmp->w; ++x) {
            const int c = getpixel(bmp, x, y);
            v.push_back(c == bitmap_mask_color(bmp)
                            ? NOTHING
                            : (getr_depth(depth, c) << 16) |
                                  (getg_depth(depth, c) << 8) |
                                  getb_depth(depth, c));
        }
    return v;
}

std::vector<int> loaded_colours(const std::string &path)
{
    BITMAP *bmp = gif_bitmap_loader(path.c_str(), nullptr);
    if (!bmp)
        return {};
    std::vector<int> v = colours_of(bmp);
    destroy_bitmap(bmp);
    return v;
}

// The top-left w x h of a frame's indices.
std::vector<uint8_t> corner_of(const PeerFrame &f, int w, int h)
{
    std::vector<uint8_t> v;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            v.push_back(f.indices[size_t(y) * f.width + x]);
    return v;
}

std::vector<uint8_t> indices_of(BITMAP *image)
{
    std::vector<uint8_t> v;
    for (int y = 0; image && y < image->h; ++y)
        for (int x = 0; x < image->w; ++x)
            v.push_back(image->line[y][x]);
    return v;
}

PeerFrame noise_frame(int left, int top, int w, int h, unsigned salt)
{
    std::mt19937 rng(salt);
    PeerFrame f;
    f.left = left;
    f.top = top;
    f.width = w;
    f.height = h;
    f.indices.resize(size_t(w) * h);
    for (uint8_t &v : f.indices)
        v = uint8_t(rng() % 16);
    return f;
}

std::vector<PeerColour> sixteen_colours()
{
    std::vector<PeerColour> t;
    for (int i = 0; i < 16; ++i)
        t.push_back({i * 16, 255 - i * 16, (i * 77) % 256});
    return t;
}

// A 64 x 64 screen and three 46340 x 46340 frames without pixel data: the
// largest square frames that the library can hold, held whole 6 GB.
std::string huge_frames_file()
{
    const std::string empty_frame =
        image_block(0, 0, 46340, 46340, lzw_data(2, {4, 5}));
    return gif_start("GIF89a", 64, 64, {0x000000, 0xFFFFFF}) + empty_frame +
           empty_frame + empty_frame + GIF_TRAILER;
}

// Loads the file through the registry loader and the document in a child
// whose address space may grow by only limit_bytes; the child's exit
// status says what went wrong.
void load_within(const std::string &path, int64_t limit_bytes)
{
    const int64_t limit = address_space_bytes() + limit_bytes;
    const struct rlimit rl = {rlim_t(limit), rlim_t(limit)};
    if (setrlimit(RLIMIT_AS, &rl) != 0) {
        std::perror("setrlimit");
        std::_Exit(2);
    }
    BITMAP *bmp = gif_bitmap_loader(path.c_str(), nullptr);
    if (!bmp || bmp->w != 64 || bmp->h != 64) {
        std::fprintf(stderr, "the loader gave no 64 x 64 bitmap\n");
        std::_Exit(3);
    }
    for (int y = 0; y < bmp->h; ++y)
        for (int x = 0; x < bmp->w; ++x)
            // Drawn pixels carry an opaque alpha at 32 bits: compare the
            // colour alone.
            if (int c = getpixel(bmp, x, y); getr(c) || getg(c) || getb(c)) {
                std::fprintf(stderr, "pixel %d,%d is not black\n", x, y);
                std::_Exit(4);
            }
    destroy_bitmap(bmp);
    GifDocument *doc = gif_open_document(path.c_str());
    if (!doc || doc->frame_count != 3) {
        std::fprintf(stderr, "the document does not hold three frames\n");
        std::_Exit(5);
    }
    for (int i = 0; i < 3; ++i) {
        BITMAP *image = doc->frame_list[i].image;
        if (!image || image->w != 64 || image->h != 64 ||
            indices_of(image) != std::vector<uint8_t>(64 * 64, 0)) {
            std::fprintf(stderr, "frame %d does not hold the screen's part\n",
                         i);
            std::_Exit(6);
        }
    }
    gif_free_document(doc);
    std::_Exit(0);
}

TEST_F(GifMemoryTest, HugeFramesOnASmallScreenLoadInLittleMemory)
{
    const std::string path = dir + "/huge_frames.gif";
    write_file(path, huge_frames_file());
    ASSERT_EQ(read_file(path).size(), 62u);
    // The fuzz target replays the same file under its memory limit.
    EXPECT_EQ(read_file(path),
              read_file(std::string(FUZZ_CORPUS_DIR) + "/huge_frames.gif"));
    const int64_t limit_bytes = int64_t(100) << 20;
    EXPECT_EXIT(load_within(path, limit_bytes), ::testing::ExitedWithCode(0),
                "");
}

// A frame wider and taller than the screen, an interlaced one partly off
// it, one wholly off it and a last one on it: each keeps what can be seen
// when the bound is small, and all of itself within the default bound.
TEST_F(GifMemoryTest, FramesBeyondTheBoundKeepWhatCanBeSeen)
{
    PeerGif g;
    g.width = 40;
    g.height = 30;
    g.global = sixteen_colours();
    g.frames.push_back(noise_frame(0, 0, 40, 30, 1));
    g.frames.push_back(noise_frame(25, 10, 200, 150, 2));
    g.frames.back().disposal = 3;
    g.frames.back().transparent = 5;
    g.frames.push_back(noise_frame(5, 3, 120, 91, 3));
    g.frames.back().interlaced = true;
    g.frames.back().disposal = 2;
    g.frames.push_back(noise_frame(60, 0, 300, 200, 4));
    g.frames.push_back(noise_frame(30, 20, 6, 5, 5));
    const std::string path = dir + "/beyond.gif";
    giflib_write(path, g);
    PeerGif peer;
    ASSERT_TRUE(giflib_decode(path, &peer));
    const std::vector<int> seen = compose_reference(peer);

    // Whole frames within the default bound.
    GifDocument *doc = gif_open_document(path.c_str());
    ASSERT_TRUE(doc);
    ASSERT_EQ(doc->frame_count, 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(indices_of(doc->frame_list[i].image), peer.frames[i].indices)
            << "frame " << i;
    }
    gif_free_document(doc);
    EXPECT_EQ(loaded_colours(path), seen);

    // Only the parts on the screen within a small one.
    gif_frame_allowance = 16 << 10;
    const int visible[][2] = {{40, 30}, {15, 20}, {35, 27}, {0, 0}, {6, 5}};
    doc = gif_open_document(path.c_str());
    ASSERT_TRUE(doc);
    ASSERT_EQ(doc->frame_count, 5);
    for (int i = 0; i < 5; ++i) {
        const GifFrameRecord &f = doc->frame_list[i];
        const int w = visible[i][0], h = visible[i][1];
        EXPECT_EQ(f.left, peer.frames[i].left);
        EXPECT_EQ(f.top, peer.frames[i].top);
        EXPECT_EQ(f.disposal, peer.frames[i].disposal);
        if (w == 0) {
            EXPECT_EQ(f.image, nullptr) << "frame " << i;
            continue;
        }
        ASSERT_TRUE(f.image) << "frame " << i;
        EXPECT_EQ(f.image->w, w) << "frame " << i;
        EXPECT_EQ(f.image->h, h) << "frame " << i;
        EXPECT_EQ(indices_of(f.image), corner_of(peer.frames[i], w, h))
            << "frame " << i;
    }
    gif_free_document(doc);
    EXPECT_EQ(loaded_colours(path), seen);
}

TEST_F(GifMemoryTest, FilesWhoseFramesExceedTheBoundFail)
{
    gif_frame_allowance = 16 << 10;
    const std::vector<int> table = {0x000000, 0xFFFFFF, 0xFF0000, 0x0000FF};
    const std::string screen_frame =
        image_block(0, 0, 40, 30, lzw_data(2, {4, 1, 5}));
    auto file_of = [&](int frames, const std::string &frame) {
        std::string s = gif_start("GIF89a", 40, 30, table);
        for (int i = 0; i < frames; ++i)
            s += frame;
        return s + GIF_TRAILER;
    };
    auto frames_read = [](const std::string &bytes) {
        GifDocument *doc =
            gif_parse_document(gif_open_memory(bytes.data(), bytes.size()), 0);
        const int n = doc ? doc->frame_count : -1;
        gif_free_document(doc);
        return n;
    };
    // Frames on the screen count whole; so does the record of each frame,
    // even of one without pixels.
    EXPECT_EQ(frames_read(file_of(4, screen_frame)), 4);
    EXPECT_EQ(frames_read(file_of(30, screen_frame)), -1);
    const std::string no_pixels =
        image_block(0, 0, 0, 30, lzw_data(2, {4, 5}));
    EXPECT_EQ(frames_read(file_of(4, no_pixels)), 4);
    EXPECT_EQ(frames_read(file_of(40, no_pixels)), -1);
    // A frame whose visible part fits but whose rows up to it do not.
    const std::string wide =
        image_block(0, 0, 40000, 1, lzw_data(2, {4, 5}));
    EXPECT_EQ(frames_read(file_of(1, wide)), -1);
    const std::string path = dir + "/many.gif";
    write_file(path, file_of(30, screen_frame));
    EXPECT_TRUE(loaded_colours(path).empty());
}

}  // namespace
