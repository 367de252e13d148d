#include <allegro.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "file_bound.h"
#include "gif_codec.h"
#include "gif_reader_internal.h"
#include "gif_reader_support.h"
#include "test_support.h"

namespace {

const int MASK = -1;

class GifReaderTest : public GifSuite {
protected:
    void SetUp() override { set_color_depth(32); }

    static std::string put(const std::string &name, const std::string &bytes)
    {
        write_file(dir + "/" + name, bytes);
        return dir + "/" + name;
    }

    // Makes dir/name with ImageMagick, in the coder format if one is given.
    static std::string convert(const std::string &args,
                               const std::string &name,
                               const std::string &format = "")
    {
        int status = 0;
        std::string path = dir + "/" + name;
        run_command("convert " + args + " " + format + path + " 2>&1",
                    &status);
        EXPECT_EQ(status, 0) << args;
        return path;
    }
};

GifDocument *parse_bytes(const std::string &bytes)
{
    return gif_parse_document(gif_open_memory(bytes.data(), bytes.size()), 0);
}

std::vector<uint8_t> indices_of(const GifFrameRecord &f)
{
    std::vector<uint8_t> v;
    for (int y = 0; f.image && y < f.image->h; ++y)
        for (int x = 0; x < f.image->w; ++x)
            v.push_back(f.image->line[y][x]);
    return v;
}

// The bitmap's pixels as 0xRRGGBB, or MASK where it holds the mask colour.
std::vector<int> colours_of(BITMAP *bmp)
{
    std::vector<int> v;
    int depth = bitmap_color_depth(bmp);
    for (int y = 0; y < bmp->h; ++y)
        for (int x = 0; x < bmp->w; ++x) {
            int c = getpixel(bmp, x, y);
            v.push_back(c == bitmap_mask_color(bmp)
                            ? MASK
                            : (getr_depth(depth, c) << 16) |
                                  (getg_depth(depth, c) << 8) |
                                  getb_depth(depth, c));
        }
    return v;
}

std::string table_mismatch(const GifColorTable &t,
                           const std::vector<PeerColour> &peer)
{
    if (t.count != int(peer.size()))
        return "table count " + std::to_string(t.count) + " vs " +
               std::to_string(peer.size());
    for (int i = 0; i < GIF_TABLE_SIZE; ++i) {
        PeerColour p = i < t.count ? peer[i] : PeerColour{0, 0, 0};
        if (t.entries[i].r != p.r || t.entries[i].g != p.g ||
            t.entries[i].b != p.b)
            return "table entry " + std::to_string(i);
    }
    return "";
}

// Everything that giflib reads from the file must come out of our reader
// too: the document frame by frame, and the loader's composed last frame
// and palette.
::testing::AssertionResult matches_giflib(const std::string &path)
{
    PeerGif peer;
    if (!giflib_decode(path, &peer))
        return ::testing::AssertionFailure() << "giflib rejects " << path;
    GifDocument *doc = gif_open_document(path.c_str());
    if (!doc)
        return ::testing::AssertionFailure() << "no document from " << path;
    std::ostringstream why;
    if (doc->screen_width != peer.width || doc->screen_height != peer.height ||
        doc->bg_idx != peer.bg || doc->frame_count != int(peer.frames.size()))
        why << "screen or frame count differ; ";
    why << table_mismatch(doc->global_table, peer.global);
    for (int i = 0; i < doc->frame_count && why.str().empty(); ++i) {
        const GifFrameRecord &f = doc->frame_list[i];
        const PeerFrame &p = peer.frames[i];
        if (f.left != p.left || f.top != p.top || f.image->w != p.width ||
            f.image->h != p.height || f.delay != p.delay ||
            f.disposal != p.disposal || f.transparent_idx != p.transparent)
            why << "frame " << i << " descriptor or control values; ";
        else if (indices_of(f) != p.indices)
            why << "frame " << i << " indices; ";
        why << table_mismatch(f.local_table, p.local);
    }
    gif_free_document(doc);
    if (!why.str().empty())
        return ::testing::AssertionFailure() << path << ": " << why.str();

    PALETTE pal;
    BITMAP *bmp = load_bitmap(path.c_str(), pal);
    if (!bmp)
        return ::testing::AssertionFailure() << "loader fails on " << path;
    bool same = bitmap_color_depth(bmp) == 32 &&
                colours_of(bmp) == compose_reference(peer);
    destroy_bitmap(bmp);
    const std::vector<PeerColour> &source =
        peer.global.empty() ? peer.frames[0].local : peer.global;
    for (int i = 0; i < PAL_SIZE; ++i) {
        PeerColour c = i < int(source.size()) ? source[i] : PeerColour{0, 0, 0};
        same = same && pal[i].r == c.r >> 2 && pal[i].g == c.g >> 2 &&
               pal[i].b == c.b >> 2;
    }
    if (!same)
        return ::testing::AssertionFailure()
               << path << ": composed frame or palette differ";
    return ::testing::AssertionSuccess();
}

TEST_F(GifReaderTest, ImageMagickFilesReadAsGiflibReadsThem)
{
    struct Case {
        std::string args, name;
        std::function<bool(const PeerGif &)> covers;
    };
    const std::string rose = "rose: -resize 37x23! ";
    auto global_of = [](size_t n) {
        return [n](const PeerGif &g) { return g.global.size() == n; };
    };
    const std::vector<Case> cases = {
        {rose + "-colors 2", "im1.gif", global_of(2)},
        {rose + "-colors 4", "im2.gif", global_of(4)},
        {rose + "-colors 16", "im4.gif", global_of(16)},
        {"-size 64x64 xc: +noise Random -colors 256", "im8.gif",
         global_of(256)},
        {rose + "-interlace GIF", "iml.gif",
         [](const PeerGif &g) { return g.frames[0].interlaced; }},
        {"-size 20x12 xc:red -fill blue -draw 'rectangle 3,3 9,8' "
         "-transparent blue",
         "imt.gif", [](const PeerGif &g) { return g.frames[0].transparent >= 0; }},
        {"-loop 0 -delay 5 -dispose None rose: -resize 24x16! "
         "-dispose Background -page +3+2 \\( -size 5x6 xc:none -size 5x6 "
         "xc:blue +append \\) -dispose Previous -page +8+5 -size 9x7 "
         "xc:yellow -dispose None -page +1+1 -size 6x6 xc:green",
         "ima.gif",
         [](const PeerGif &g) {
             return g.frames.size() == 4 && g.frames[1].disposal == 2 &&
                    g.frames[2].disposal == 3 && !g.frames[3].local.empty() &&
                    g.frames[1].transparent >= 0;
         }},
    };
    for (const Case &c : cases) {
        std::string path = convert(c.args, c.name);
        PeerGif peer;
        ASSERT_TRUE(giflib_decode(path, &peer)) << c.args;
        EXPECT_TRUE(c.covers(peer)) << "the file lacks its feature: " << c.args;
        EXPECT_TRUE(matches_giflib(path));
    }

    std::string old = convert(rose + "-colors 8", "im87.gif", "GIF87:");
    EXPECT_EQ(read_file(old).substr(0, 6), "GIF87a");
    EXPECT_TRUE(matches_giflib(old));
}

TEST_F(GifReaderTest, GiflibAnimationsReadAsGiflibReadsThem)
{
    std::string path = dir + "/giflib_anim.gif";
    giflib_write(path, peer_animation(), 3);

    EXPECT_TRUE(matches_giflib(path));
    GifDocument *doc = gif_open_document(path.c_str());
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->loop_count, 3);
    EXPECT_EQ(doc->saved_area, nullptr);
    gif_free_document(doc);
}

TEST_F(GifReaderTest, HandMadeCodeStreamsDecodeAsGiflibDecodes)
{
    struct Case {
        const char *what;
        int root_width, width, height;
        std::vector<int> codes;
        std::vector<uint8_t> expected;
    };
    // Codes 6, 7, 8 each name the string about to be added.
    std::vector<uint8_t> ones(10, 1);
    // Root codes alone: 8-bit roots fill the table after 3839 codes; the
    // last entry, 4095, holds roots 3837 and 3838.
    std::vector<uint8_t> many = noise(6000, 256, 9);
    std::vector<int> deferred = root_codes(8, many);
    deferred.insert(deferred.end() - 1, 4095);
    many.insert(many.end(), {many[3837], many[3838]});
    // 4095 entries (next = 4095), then a clear and more roots.
    std::vector<uint8_t> upto(4095 - 258 + 1, 7);
    std::vector<int> full = root_codes(8, upto);
    full.insert(full.end() - 1, {256, 1, 2, 3});
    upto.insert(upto.end(), {1, 2, 3});
    const std::vector<Case> cases = {
        {"kwkwk", 2, 10, 1, {4, 1, 6, 7, 8, 5}, ones},
        {"no clear first", 2, 3, 1, {2, 3, 1, 5}, {2, 3, 1}},
        {"clear mid-way", 2, 4, 1, {4, 1, 2, 6, 4, 3, 5}, {1, 2, 1, 2, 3}},
        {"deferred clear", 8, 6002, 1, deferred, many},
        {"4095 entries", 8, int(upto.size()), 1, full, upto},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> expected = c.expected;
        expected.resize(size_t(c.width) * c.height);
        std::string bytes = gif_start("GIF89a", c.width, c.height,
                                      {0, 0xFFFFFF, 0xFF0000, 0x00FF00}) +
                            image_block(0, 0, c.width, c.height,
                                        lzw_data(c.root_width, c.codes)) +
                            GIF_TRAILER;
        PeerGif peer;
        ASSERT_TRUE(giflib_decode(put("codes.gif", bytes), &peer)) << c.what;
        EXPECT_EQ(peer.frames[0].indices, expected) << c.what;
        GifDocument *doc = parse_bytes(bytes);
        ASSERT_TRUE(doc) << c.what;
        EXPECT_EQ(indices_of(doc->frame_list[0]), expected) << c.what;
        gif_free_document(doc);
    }
}

TEST_F(GifReaderTest, InterlacedImagesOfOneToNineRowsEndInDisplayOrder)
{
    for (int rows = 1; rows <= 9; ++rows) {
        std::vector<uint8_t> display(size_t(rows) * 3), sent;
        for (size_t i = 0; i < display.size(); ++i)
            display[i] = uint8_t(i / 3 * 10 + i % 3);
        const int start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
        for (int p = 0; p < 4; ++p)
            for (int r = start[p]; r < rows; r += step[p])
                sent.insert(sent.end(), display.begin() + r * 3,
                            display.begin() + r * 3 + 3);
        std::string bytes =
            gif_start("GIF89a", 3, rows, std::vector<int>(128, 0)) +
            image_block(0, 0, 3, rows, lzw_data(7, root_codes(7, sent)), {},
                        true) +
            GIF_TRAILER;
        PeerGif peer;
        ASSERT_TRUE(giflib_decode(put("lace.gif", bytes), &peer));
        EXPECT_EQ(peer.frames[0].indices, display) << rows;
        GifDocument *doc = parse_bytes(bytes);
        ASSERT_TRUE(doc);
        EXPECT_EQ(indices_of(doc->frame_list[0]), display) << rows << " rows";
        gif_free_document(doc);
    }
}

}  // namespace

namespace {

const std::vector<int> FOUR = {0x000000, 0xFFFFFF, 0xFF0000, 0x0000FF};

// A 4 x 2 image of indices 0..3 twice, with root width 2.
std::string small_image(int left = 0, int top = 0,
                        const std::vector<int> &local = {})
{
    return image_block(left, top, 4, 2,
                       lzw_data(2, root_codes(2, {0, 1, 2, 3, 3, 2, 1, 0})),
                       local);
}

std::vector<int> loaded_colours(const std::string &path, RGB *pal = nullptr)
{
    BITMAP *bmp = load_bitmap(path.c_str(), pal);
    if (!bmp)
        return {};
    std::vector<int> v = colours_of(bmp);
    destroy_bitmap(bmp);
    return v;
}

TEST_F(GifReaderTest, PassesOverStrayBytesAndUnknownBlocks)
{
    std::string plain = gif_start("GIF89a", 4, 2, FOUR) + small_image();
    std::string comment = "\x21\xFE\x05hello\x03" "abc";
    comment += '\0';
    std::string text = "\x21\x01\x0C" + std::string(12, 'p') + "\x02hi";
    text += '\0';
    std::string app = "\x21\xFF\x0BXMP DataXMP\x04<x/>";
    app += '\0';
    std::string noisy = gif_start("GIF89a", 4, 2, FOUR) + std::string(3, '\0') +
                        comment + "\x7F\x01" + text + app +
                        std::string(1, '\0') + small_image() + std::string("\x55\x00", 2);
    std::vector<int> want =
        loaded_colours(put("plain.gif", plain + GIF_TRAILER));
    ASSERT_EQ(want.size(), 8u);
    EXPECT_EQ(want[1], 0xFFFFFF);
    EXPECT_EQ(loaded_colours(put("noisy.gif", noisy + GIF_TRAILER)), want);

    // Past what a file of its screen can hold, stray bytes end the image
    // (a sparse file of gigabytes was passed over byte by byte).
    const std::string strays(static_cast<size_t>(image_file_max_bytes(4, 2)), '\x55');
    for (size_t extra : {0, 1}) {
        GifDocument *doc = parse_bytes(plain + strays + std::string(extra, '\x55') +
                                       small_image() + GIF_TRAILER);
        ASSERT_TRUE(doc);
        EXPECT_EQ(doc->frame_count, extra ? 1 : 2);
        gif_free_document(doc);
    }
}

TEST_F(GifReaderTest, KeepsGraphicControlAndLoopValues)
{
    auto loop_of = [](const std::string &blocks) {
        GifDocument *doc = parse_bytes(gif_start("GIF89a", 4, 2, FOUR) +
                                       blocks + small_image() + GIF_TRAILER);
        int n = doc ? doc->loop_count : -99;
        gif_free_document(doc);
        return n;
    };
    EXPECT_EQ(loop_of(looping_block(1, 7)), 7);
    EXPECT_EQ(loop_of(looping_block(2, 7)), 0);
    EXPECT_EQ(loop_of(""), 0);

    // The last control block before an image wins; one after the last
    // image is dropped; an image without one gets none.
    GifDocument *doc = parse_bytes(
        gif_start("GIF89a", 4, 2, FOUR) + graphic_control(1, 5, 2) +
        graphic_control(3, 9, -1) + small_image() + small_image() +
        graphic_control(2, 4, 1) + GIF_TRAILER);
    ASSERT_TRUE(doc);
    ASSERT_EQ(doc->frame_count, 2);
    const GifFrameRecord &a = doc->frame_list[0], &b = doc->frame_list[1];
    EXPECT_EQ(a.disposal * 1000 + a.delay * 10, 3090);
    EXPECT_EQ(a.transparent_idx, -1);
    EXPECT_EQ(b.disposal + b.delay, 0);
    EXPECT_EQ(b.transparent_idx, -1);
    gif_free_document(doc);
}

// Each file that cannot be read is refused with its reason in the
// library's error text.
TEST_F(GifReaderTest, RejectsWhatCannotBeReadAndSaysWhy)
{
    const std::string start = gif_start("GIF89a", 4, 2, FOUR);
    const std::string image = small_image();
    auto with_codes = [&](int m, const std::vector<int> &codes) {
        return start + image_block(0, 0, 4, 2, lzw_data(m, codes)) +
               GIF_TRAILER;
    };
    const std::string not_gif = "not a GIF file (no GIF signature)";
    const std::string cut = "the file ends before its first image is whole";
    const std::string no_end = "image data end before the LZW end code";
    const struct {
        const char *what;
        std::string bytes, reason;
    } cases[] = {
        {"fifth byte", gif_start("GIF88a", 4, 2, FOUR) + image + GIF_TRAILER,
         not_gif},
        {"sixth byte", gif_start("GIF89b", 4, 2, FOUR) + image + GIF_TRAILER,
         not_gif},
        {"not a gif", "PNG and more", not_gif},
        {"control size 5",
         start + graphic_control(0, 0, -1, 5) + image + GIF_TRAILER,
         "a graphic control block of 5 bytes, not 4"},
        {"no end code", with_codes(2, {4, 0, 1, 2, 3, 3, 2, 1, 0}), no_end},
        {"code above next", with_codes(2, {4, 0, 7, 5}),
         "LZW code 7 names no string yet"},
        {"next after clear", with_codes(2, {4, 0, 4, 6, 5}),
         "LZW code 6 names no string yet"},
        {"root width 12",
         start + image_block(0, 0, 4, 2, "\x0C" + sub_blocks("\x00\x10")) +
             GIF_TRAILER,
         "LZW root width 12"},
        {"huge image",
         start + image_block(0, 0, 65535, 65535, lzw_data(2, {4, 5})) +
             GIF_TRAILER,
         "an image of 65535 x 65535 pixels is more than a bitmap can hold"},
        {"huge screen",
         gif_start("GIF89a", 65535, 65535, FOUR) + image + GIF_TRAILER,
         "its screen of 65535 x 65535 pixels is more than a bitmap can hold"},
        {"no image", start + GIF_TRAILER, "the file holds no image"},
        {"empty screen", gif_start("GIF89a", 0, 2, FOUR) + image + GIF_TRAILER,
         "its screen of 0 x 2 pixels is empty"},
        {"cut before any image", start + image.substr(0, image.size() - 3),
         cut},
        {"empty", "", not_gif},
    };
    for (const auto &c : cases) {
        allegro_error[0] = '\0';
        EXPECT_TRUE(loaded_colours(put("bad.gif", c.bytes)).empty())
            << c.what;
        EXPECT_EQ(allegro_error, c.reason) << c.what;
    }
    EXPECT_TRUE(loaded_colours(dir + "/missing.gif").empty());
    EXPECT_EQ(allegro_error, std::string("No such file or directory"));

    // Only the loader refuses a file without images.
    GifDocument *doc = parse_bytes(start + GIF_TRAILER);
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->frame_count, 0);
    gif_free_document(doc);
    EXPECT_EQ(gif_open_document((dir + "/missing.gif").c_str()), nullptr);
}

// Codes of a plain LZW encoder of root width m: a clear first, then the
// longest string the table holds at each step, a clear whenever the table
// is full, the end code last.
std::vector<int> lzw_encode(int m, const std::vector<uint8_t> &pixels)
{
    const int clear = 1 << m;
    std::map<std::pair<int, int>, int> table;
    int next = clear + 2;
    std::vector<int> codes = {clear};
    int string = pixels[0];
    for (size_t i = 1; i < pixels.size(); ++i) {
        const auto found = table.find({string, pixels[i]});
        if (found != table.end()) {
            string = found->second;
            continue;
        }
        codes.push_back(string);
        if (next < LZW_TABLE_SIZE) {
            table[{string, pixels[i]}] = next++;
        } else {
            codes.push_back(clear);
            table.clear();
            next = clear + 2;
        }
        string = pixels[i];
    }
    codes.push_back(string);
    codes.push_back(clear + 1);
    return codes;
}

// Roots up to 11 bits wide, as in the public suite's "max-codes" image
// (100 x 100, 16 colours, root width 11, its table filled), are read
// as browsers and ImageMagick read them; a root beyond the colour table
// keeps its low 8 bits (root-widths).
TEST_F(GifReaderTest, RootsUpToElevenBitsWideAreRead)
{
    std::vector<int> colours;
    for (const PeerColour &c : random_colours(16, 5))
        colours.push_back(c.r << 16 | c.g << 8 | c.b);
    const std::vector<uint8_t> pixels = noise(100 * 100, 16, 11);
    const std::vector<int> codes = lzw_encode(11, pixels);
    ASSERT_GE(std::count(codes.begin(), codes.end(), 2048), 3);  // filled
    const std::string max_codes = put(
        "max-codes.gif", gif_start("GIF89a", 100, 100, colours) +
                             image_block(0, 0, 100, 100, lzw_data(11, codes)) +
                             GIF_TRAILER);
    std::vector<int> want;
    std::string rgb;
    for (uint8_t i : pixels) {
        want.push_back(colours[i]);
        rgb += {char(colours[i] >> 16), char(colours[i] >> 8), char(colours[i])};
    }
    EXPECT_EQ(loaded_colours(max_codes), want);
    EXPECT_EQ(run_command("convert '" + max_codes + "' -depth 8 rgb:-"), rgb);

    // Roots 257 and 300 of 9 bits: indices 1 and 44, which a table of 256
    // colours has and one of 4 has not (black).
    std::vector<int> many(256);
    for (int i = 0; i < 256; ++i)
        many[i] = i * 0x010101;
    const std::vector<int> wide = {512, 257, 300, 3, 2, 513};
    for (const std::vector<int> &table : {many, FOUR}) {
        const std::string path = put(
            "wide.gif", gif_start("GIF89a", 4, 1, table) +
                            image_block(0, 0, 4, 1, lzw_data(9, wide)) +
                            GIF_TRAILER);
        const int c44 = table.size() > 44 ? table[44] : 0;
        EXPECT_EQ(loaded_colours(path),
                  std::vector<int>({table[1], c44, table[3], table[2]}));
    }
}

TEST_F(GifReaderTest, InputEndingEarlyKeepsTheWholeImages)
{
    const std::string first = gif_start("GIF89a", 4, 2, FOUR) +
                              graphic_control(0, 0, -1) + small_image();
    const std::string second =
        image_block(1, 0, 2, 1, lzw_data(2, root_codes(2, {2, 2})));
    std::vector<int> want = loaded_colours(put("whole.gif", first + GIF_TRAILER));
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(loaded_colours(put("cut1.gif", first)), want);
    EXPECT_EQ(loaded_colours(put("cut2.gif", first + "\x21\xF9\x04")), want);
    for (size_t cut = 1; cut + 1 < second.size(); ++cut) {
        GifDocument *doc = parse_bytes(first + second.substr(0, cut));
        ASSERT_TRUE(doc) << cut;
        EXPECT_EQ(doc->frame_count, 1) << cut;
        gif_free_document(doc);
    }
    // The block terminator may be all that is missing.
    std::string no_terminator = first + second;
    no_terminator.pop_back();
    GifDocument *doc = parse_bytes(no_terminator);
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->frame_count, 2);
    gif_free_document(doc);
}

TEST_F(GifReaderTest, OddImagesDecodeSafely)
{
    // Sub-blocks after the end code hold bytes that look like blocks; an
    // image of width 0 is a frame without pixels; surplus pixels are
    // dropped and pixels the data never reach are index 0.
    std::string tail = sub_blocks("\x2C\x21\xF9\x04\x3B");
    std::string after_end = lzw_data(2, root_codes(2, {1, 1}));
    after_end.pop_back();  // reopen the data for the extra sub-block
    after_end += tail;
    std::string bytes =
        gif_start("GIF89a", 4, 2, FOUR) +
        image_block(0, 0, 2, 1, after_end) +
        image_block(0, 0, 0, 5, lzw_data(2, root_codes(2, {3, 3}))) +
        image_block(0, 0, 3, 1, lzw_data(2, root_codes(2, {2, 2, 2, 2, 2}))) +
        image_block(0, 1, 4, 1, lzw_data(2, root_codes(2, {3}))) + GIF_TRAILER;
    GifDocument *doc = parse_bytes(bytes);
    ASSERT_TRUE(doc);
    ASSERT_EQ(doc->frame_count, 4);
    EXPECT_EQ(indices_of(doc->frame_list[0]), std::vector<uint8_t>({1, 1}));
    EXPECT_EQ(doc->frame_list[1].image, nullptr);
    EXPECT_EQ(indices_of(doc->frame_list[2]), std::vector<uint8_t>(3, 2));
    EXPECT_EQ(indices_of(doc->frame_list[3]),
              std::vector<uint8_t>({3, 0, 0, 0}));
    gif_free_document(doc);
    EXPECT_EQ(loaded_colours(put("odd.gif", bytes)),
              std::vector<int>({0xFF0000, 0xFF0000, 0xFF0000, MASK, 0x0000FF,
                                0, 0, 0}));
}

TEST_F(GifReaderTest, PaletteAndColoursComeFromTheRightTable)
{
    RGB pal[PAL_SIZE];
    // No global table: the first image's local table gives the palette.
    std::string local_only = gif_start("GIF89a", 4, 2, {}) +
                             small_image(0, 0, {0x102030, 0xFCFDFE});
    std::vector<int> got = loaded_colours(put("l.gif", local_only + GIF_TRAILER), pal);
    // Indices 2 and 3 lie beyond the two-entry table and draw black.
    EXPECT_EQ(got, std::vector<int>({0x102030, 0xFCFDFE, 0, 0, 0, 0,
                                     0xFCFDFE, 0x102030}));
    EXPECT_EQ(pal[0].r * 10000 + pal[0].g * 100 + pal[0].b, 40812);
    EXPECT_EQ(pal[1].r + pal[1].g + pal[1].b, 63 * 3);
    EXPECT_EQ(pal[2].r + pal[2].g + pal[2].b, 0);

    // Neither table: black palette and black pixels.
    std::string none = gif_start("GIF89a", 4, 2, {}) + small_image();
    got = loaded_colours(put("n.gif", none + GIF_TRAILER), pal);
    EXPECT_EQ(got, std::vector<int>(8, 0));
    for (int i = 0; i < PAL_SIZE; ++i)
        ASSERT_EQ(pal[i].r + pal[i].g + pal[i].b, 0);
}

// An animation with every disposal, transparency and a frame partly off
// the screen, written by giflib.
std::string sample_animation(PeerGif *g)
{
    g->width = 12;
    g->height = 9;
    g->global = random_colours(16, 11);
    g->frames = {noise_frame(0, 0, 12, 9, 16, 12),
                 noise_frame(2, 1, 5, 4, 16, 13),
                 noise_frame(6, 3, 4, 4, 16, 14),
                 noise_frame(9, 6, 6, 5, 16, 15)};
    g->frames[1].disposal = 3;
    g->frames[1].transparent = 4;
    g->frames[1].delay = 7;
    g->frames[2].disposal = 2;
    g->frames[2].delay = 9;
    g->frames[3].transparent = 2;
    std::string path = GifReaderTest::dir + "/sample.gif";
    giflib_write(path, *g);
    return path;
}

// A drawn colour at depth: at 32 bits marked opaque in the alpha byte,
// which tells it from the mask colour (alpha 0).
int drawn(int depth, int c)
{
    const int r = c >> 16, g = (c >> 8) & 0xFF, b = c & 0xFF;
    return depth == 32 ? makeacol32(r, g, b, 255)
                       : makecol_depth(depth, r, g, b);
}

// Pixels of bmp that differ from the reference composition placed at
// (x0, y0), in the colours of bmp's depth; outside it bmp must hold other.
int wrong_pixels(BITMAP *bmp, const PeerGif &g, int x0, int y0, int other)
{
    std::vector<int> want = compose_reference(g);
    int depth = bitmap_color_depth(bmp), wrong = 0;
    for (int y = 0; y < bmp->h; ++y)
        for (int x = 0; x < bmp->w; ++x) {
            bool on = x >= x0 && x < x0 + g.width && y >= y0 &&
                      y < y0 + g.height;
            int c = on ? want[(y - y0) * g.width + x - x0] : 0;
            int expected = !on ? other
                           : c == MASK ? bitmap_mask_color(bmp)
                                       : drawn(depth, c);
            wrong += getpixel(bmp, x, y) != expected;
        }
    return wrong;
}

TEST_F(GifReaderTest, ComposesAtEveryDepthAndOffset)
{
    PeerGif g;
    std::string path = sample_animation(&g);
    for (int depth : {8, 15, 16, 24, 32}) {
        set_color_depth(depth);
        PALETTE pal;
        BITMAP *bmp = load_bitmap(path.c_str(), pal);
        ASSERT_TRUE(bmp) << depth;
        EXPECT_EQ(bitmap_color_depth(bmp), depth);
        select_palette(pal);  // what 8-bit colours are matched against
        EXPECT_EQ(wrong_pixels(bmp, g, 0, 0, 0), 0) << depth << "-bit";
        unselect_palette();
        destroy_bitmap(bmp);
    }
    // At an offset onto a larger bitmap of another depth than the current
    // one: nothing lands outside the logical screen.
    set_color_depth(32);
    GifDocument *doc = gif_open_document(path.c_str());
    ASSERT_TRUE(doc);
    BITMAP *big = create_bitmap_ex(16, 30, 20);
    const int bg = makecol_depth(16, 8, 16, 24);
    clear_to_color(big, bg);
    for (int i = 0; i < doc->frame_count; ++i)
        gif_draw_frame(doc, big, i, 5, 3);
    EXPECT_EQ(wrong_pixels(big, g, 5, 3, bg), 0);
    destroy_bitmap(big);
    gif_free_document(doc);
}

TEST_F(GifReaderTest, At32BitsAlphaTellsDrawnMagentaFromTheMaskColour)
{
    // A 5 x 2 screen, an image over its first four columns whose index 1
    // is transparent, and magenta (the 32-bit mask colour's RGB) at 0.
    const std::string gif = gif_start("GIF89a", 5, 2,
                                      {0xFF00FF, 0x00FF00, 0xFF0000, 0x0000FF}) +
                            graphic_control(0, 0, 1) + small_image() +
                            GIF_TRAILER;
    set_color_depth(32);
    BITMAP *bmp = load_bitmap(put("magenta.gif", gif).c_str(), nullptr);
    ASSERT_TRUE(bmp);
    const int opaque_magenta = makeacol32(255, 0, 255, 255);
    const int mask = bitmap_mask_color(bmp);
    EXPECT_EQ(getpixel(bmp, 0, 0), opaque_magenta);   // index 0
    EXPECT_EQ(getpixel(bmp, 3, 1), opaque_magenta);
    EXPECT_EQ(getpixel(bmp, 1, 0), mask);             // transparent index
    EXPECT_EQ(getpixel(bmp, 4, 0), mask);             // not covered
    EXPECT_EQ(getpixel(bmp, 2, 0), makeacol32(255, 0, 0, 255));
    EXPECT_EQ(geta32(mask), 0);
    destroy_bitmap(bmp);
}

TEST_F(GifReaderTest, ReadFramesGivesEveryFinishedFrame)
{
    PeerGif g;
    std::string path = sample_animation(&g);
    BITMAP **frames = nullptr;
    int *delays = nullptr;
    ASSERT_EQ(gif_read_frames(path.c_str(), &frames, &delays), 4);
    for (int i = 0; i < 4; ++i) {
        PeerGif upto = g;
        upto.frames.resize(i + 1);
        EXPECT_EQ(wrong_pixels(frames[i], upto, 0, 0, 0), 0) << i;
        EXPECT_EQ(delays[i], g.frames[i].delay);
        destroy_bitmap(frames[i]);
    }
    free(frames);
    free(delays);
    EXPECT_EQ(gif_read_frames((dir + "/none.gif").c_str(), &frames, nullptr),
              0);
    EXPECT_EQ(frames, nullptr);
}

// A datafile (uncompressed) with one GIF object between two plain ones.
std::string datafile_with(const std::string &gif)
{
    auto be32 = [](uint32_t v) {
        return std::string{char(v >> 24), char(v >> 16), char(v >> 8),
                           char(v)};
    };
    auto object = [&](uint32_t type, const std::string &data) {
        return be32(type) + be32(data.size()) + be32(data.size()) + data;
    };
    return "slh.ALL." + be32(3) + object(DAT_ID('D', 'A', 'T', 'A'), "ab") +
           object(DAT_ID('G', 'I', 'F', ' '), gif) +
           object(DAT_ID('D', 'A', 'T', 'A'), "cd");
}

TEST_F(GifReaderTest, LoadsAsADatafileObject)
{
    std::string gif = gif_start("GIF89a", 4, 2, FOUR) + small_image() +
                      GIF_TRAILER;
    DATAFILE *dat = load_datafile(put("objects.dat", datafile_with(gif)).c_str());
    ASSERT_TRUE(dat);
    EXPECT_EQ(dat[1].type, DAT_ID('G', 'I', 'F', ' '));
    GifDocument *doc = static_cast<GifDocument *>(dat[1].dat);
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->frame_count, 1);
    EXPECT_EQ(indices_of(doc->frame_list[0]),
              std::vector<uint8_t>({0, 1, 2, 3, 3, 2, 1, 0}));
    // The reader stayed within its object and left the stream open.
    ASSERT_EQ(dat[2].size, 2);
    EXPECT_EQ(std::string(static_cast<char *>(dat[2].dat), 2), "cd");
    unload_datafile(dat);
}

}  // namespace
