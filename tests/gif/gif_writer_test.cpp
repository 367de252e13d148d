// The GIF writer: file layout, codes, sub-blocks, the document cases, and
// failures, checked on the bytes of the files written.
#include <gtest/gtest.h>

#include <allegro.h>

#include <cstring>
#include <string>

#include "gif_document.h"
#include "gif_writer_internal.h"
#include "gif_writer_test_util.h"
#include "test_support.h"

namespace {

class GifWriterTest : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        start_allegro_headless();
        dir = make_temp_dir();
    }
    void TearDown() override { remove_tree(dir); }
    std::string path(const std::string &name) const
    {
        return dir + "/" + name;
    }
};

void fill_palette(PALETTE pal)
{
    for (int i = 0; i < PAL_SIZE; ++i) {
        pal[i].r = static_cast<unsigned char>(i % 64);
        pal[i].g = static_cast<unsigned char>((i * 7) % 64);
        pal[i].b = static_cast<unsigned char>(63 - i % 64);
    }
}

TEST_F(GifWriterTest, SavedFileHasTheFixedLayout)
{
    const int w = 301, h = 7;
    BITMAP *bmp = make_noise(w, h, 200, 1);
    PALETTE pal;
    fill_palette(pal);
    ASSERT_EQ(gif_bitmap_saver(path("a.gif").c_str(), bmp, pal), 0);
    const std::string f = read_file(path("a.gif"));

    EXPECT_EQ(f.substr(0, 6), "GIF89a");
    EXPECT_EQ(word_at(f, 6), w);
    EXPECT_EQ(word_at(f, 8), h);
    EXPECT_EQ(byte_at(f, 10), 0x70);
    EXPECT_EQ(byte_at(f, 11), 0x00);
    EXPECT_EQ(byte_at(f, 12), 0x00);
    const uint8_t control[] = {0x21, 0xF9, 0x04, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < sizeof control; ++i)
        EXPECT_EQ(byte_at(f, 13 + i), control[i]) << "control byte " << i;
    EXPECT_EQ(byte_at(f, 21), 0x2C);
    EXPECT_EQ(word_at(f, 22), 0);
    EXPECT_EQ(word_at(f, 24), 0);
    EXPECT_EQ(word_at(f, 26), w);
    EXPECT_EQ(word_at(f, 28), h);
    EXPECT_EQ(byte_at(f, 30), 0x87);
    for (int i = 0; i < PAL_SIZE; ++i) {
        EXPECT_EQ(byte_at(f, 31 + 3 * i), _rgb_scale_6[pal[i].r]);
        EXPECT_EQ(byte_at(f, 32 + 3 * i), _rgb_scale_6[pal[i].g]);
        EXPECT_EQ(byte_at(f, 33 + 3 * i), _rgb_scale_6[pal[i].b]);
    }
    const ImageData d = image_data_at(f, SAVED_ROOT_WIDTH_OFFSET);
    EXPECT_EQ(d.root_width, 8);
    ASSERT_TRUE(d.terminated);
    EXPECT_EQ(d.end, f.size() - 1);
    EXPECT_EQ(byte_at(f, f.size() - 1), 0x3B);

    const CodeTrace t = trace_codes(d.root_width, d.payload);
    EXPECT_TRUE(t.ended);
    EXPECT_EQ(t.pixels, indices_of(bmp));
    destroy_bitmap(bmp);
}

TEST_F(GifWriterTest, PaletteComesFromTheCurrentOneWhenNullAndUsesSixBits)
{
    BITMAP *bmp = make_noise(5, 5, 4, 2);
    PALETTE pal;
    fill_palette(pal);
    set_palette_range(pal, 0, PAL_SIZE - 1, FALSE);
    ASSERT_EQ(gif_bitmap_saver(path("a.gif").c_str(), bmp, nullptr), 0);
    const std::string current = read_file(path("a.gif")).substr(31, 768);

    // Components above 63 keep their low 6 bits, never reading past the
    // 64-entry scaling table.
    PALETTE wide;
    fill_palette(wide);
    for (int i = 0; i < PAL_SIZE; ++i)
        wide[i].r = static_cast<unsigned char>(wide[i].r + 64 * (i % 4));
    ASSERT_EQ(gif_bitmap_saver(path("b.gif").c_str(), bmp, wide), 0);
    EXPECT_EQ(read_file(path("b.gif")).substr(31, 768), current);
    for (int i = 0; i < PAL_SIZE; ++i)
        EXPECT_EQ(byte_at(current, 3 * i), _rgb_scale_6[pal[i].r]);
    destroy_bitmap(bmp);
}

TEST_F(GifWriterTest, SmallImagesGiveTheTextbookCodes)
{
    BITMAP *one = make_indexed(1, 1, [](int, int) { return 7; });
    ASSERT_EQ(gif_bitmap_saver(path("one.gif").c_str(), one, nullptr), 0);
    ImageData d = image_data_at(read_file(path("one.gif")),
                                SAVED_ROOT_WIDTH_OFFSET);
    EXPECT_EQ(d.root_width, 3);
    CodeTrace t = trace_codes(3, d.payload);
    EXPECT_EQ(t.codes, (std::vector<int>{8, 7, 9}));

    BITMAP *row = make_indexed(4, 1, [](int, int) { return 0; });
    ASSERT_EQ(gif_bitmap_saver(path("row.gif").c_str(), row, nullptr), 0);
    d = image_data_at(read_file(path("row.gif")), SAVED_ROOT_WIDTH_OFFSET);
    EXPECT_EQ(d.root_width, 2);
    t = trace_codes(2, d.payload);
    EXPECT_EQ(t.codes, (std::vector<int>{4, 0, 6, 0, 5}));
    // Five codes of 3 bits and a spare 0 bit: the decoder, whose table
    // has reached 8 entries by then, reads that bit as the end code's top.
    EXPECT_EQ(d.payload, std::string("\x84\x51"));
    EXPECT_EQ(t.widths, (std::vector<int>{3, 3, 3, 3, 4}));
    destroy_bitmap(one);
    destroy_bitmap(row);
}

TEST_F(GifWriterTest, EndCodeIsThereForADecoderThatReadsUpToIt)
{
    // Rows of one index end with every table size, among them sizes of
    // 2^width whose end code, one bit wider for the decoder, would reach
    // into a byte of its own.
    for (int length = 1; length <= 1200; ++length) {
        BITMAP *row = make_indexed(length, 1, [](int, int) { return 1; });
        const std::string data = packed(row, dir);
        const ImageData d = image_data_at(data + '\0', 0);
        const CodeTrace t = trace_codes(d.root_width, d.payload);
        EXPECT_TRUE(t.ended) << "length " << length;
        EXPECT_EQ(t.pixels, indices_of(row)) << "length " << length;
        destroy_bitmap(row);
    }
}

TEST_F(GifWriterTest, RootWidthFollowsTheLargestIndexUsed)
{
    const struct {
        int largest, width;
    } cases[] = {{0, 2}, {3, 2}, {4, 3}, {7, 3}, {8, 4},
                 {127, 7}, {128, 8}, {255, 8}};
    for (const auto &c : cases) {
        // The largest index sits in the last pixel, the rest are 0.
        BITMAP *bmp = make_indexed(9, 3, [&](int x, int y) {
            return x == 8 && y == 2 ? c.largest : 0;
        });
        EXPECT_EQ(lzw_root_width(bmp), c.width) << "largest " << c.largest;
        destroy_bitmap(bmp);
    }
}

// Checks every clear code after the first: 12 bits wide, right after the
// code of the step that adds entry 4095, and m + 1 bits after it.
void expect_table_restarts(BITMAP *bmp, const std::string &dir, int m)
{
    const std::string data = packed(bmp, dir);
    const ImageData d = image_data_at(data + '\0', 0);
    ASSERT_EQ(d.root_width, m);
    const CodeTrace t = trace_codes(m, d.payload);
    ASSERT_TRUE(t.ended);
    EXPECT_EQ(t.pixels, indices_of(bmp));
    const int clear = 1 << m;
    // Between two clear codes the encoder adds entries 2^m + 2 to 4095,
    // one per code put.
    const size_t codes_per_table = LZW_TABLE_SIZE - (clear + 2);
    int restarts = 0;
    size_t last_clear = 0;
    for (size_t i = 1; i < t.codes.size(); ++i) {
        if (t.codes[i] != clear)
            continue;
        ++restarts;
        EXPECT_EQ(i - last_clear - 1, codes_per_table);
        EXPECT_EQ(t.widths[i], LZW_MAX_CODE_WIDTH);
        ASSERT_LT(i + 1, t.codes.size());
        EXPECT_EQ(t.widths[i + 1], m + 1);
        last_clear = i;
    }
    EXPECT_GE(restarts, 2);
}

TEST_F(GifWriterTest, FullTableIsFollowedByAClearCodeAtTwelveBits)
{
    BITMAP *wide = make_noise(200, 150, 256, 3);
    expect_table_restarts(wide, dir, 8);
    BITMAP *narrow = make_noise(300, 200, 4, 4);
    expect_table_restarts(narrow, dir, 2);
    destroy_bitmap(wide);
    destroy_bitmap(narrow);
}

TEST_F(GifWriterTest, SubBlocksHold255BytesExceptTheLast)
{
    BITMAP *bmp = make_noise(100, 100, 256, 5);
    const std::string data = packed(bmp, dir);
    const ImageData d = image_data_at(data + '\0', 0);
    ASSERT_GT(d.block_lengths.size(), 2u);
    for (size_t i = 0; i + 1 < d.block_lengths.size(); ++i)
        EXPECT_EQ(d.block_lengths[i], 255);
    EXPECT_GE(d.block_lengths.back(), 1);
    EXPECT_LE(d.block_lengths.back(), 255);
    EXPECT_EQ(d.end, data.size() + 1) << "nothing after the last sub-block";

    // The last byte holds no more than 7 spare bits, all 0.
    const CodeTrace t = trace_codes(8, d.payload);
    ASSERT_TRUE(t.ended);
    const size_t spare = d.payload.size() * 8 - t.bits_used;
    EXPECT_LT(spare, 8u);
    EXPECT_EQ(byte_at(d.payload, d.payload.size() - 1) >> (8 - spare), 0);
    destroy_bitmap(bmp);
}

TEST_F(GifWriterTest, EncoderMatchesALinearScanByteForByte)
{
    std::vector<BITMAP *> images = {
        make_indexed(1, 1, [](int, int) { return 0; }),
        make_indexed(4, 1, [](int, int) { return 0; }),
        make_indexed(1000, 700, [](int, int) { return 3; }),   // long strings
        make_noise(3, 7, 6, 6),
        make_noise(257, 131, 256, 7),
        make_noise(640, 100, 2, 8),
        make_noise(123, 456, 17, 9),
        make_indexed(509, 301, [](int x, int y) { return (x / 3 + y / 5) % 64; }),
        make_indexed(255, 255, [](int x, int y) { return (x * y) & 255; }),
        make_indexed(800, 200, [](int x, int y) {
            return ((x / 40 + y / 40) % 2) ? 200 : (x ^ y) % 9;
        }),
    };
    for (BITMAP *bmp : images) {
        EXPECT_EQ(packed(bmp, dir), reference_pack(bmp))
            << bmp->w << " x " << bmp->h;
        destroy_bitmap(bmp);
    }
}

TEST_F(GifWriterTest, DocumentWriterHonoursTablesLoopingAndControl)
{
    BITMAP *image = make_noise(6, 4, 3, 10);
    OneFrameDocument one(image);
    one.doc.screen_width = 20;
    one.doc.screen_height = 10;
    one.doc.bg_idx = 2;
    one.doc.global_table.count = 1;  // one entry: no table at all
    one.doc.loop_count = 0;
    one.frame.left = 3;
    one.frame.top = 5;
    one.frame.delay = 0x1234;
    one.frame.disposal = 2;
    one.frame.transparent_idx = 5;
    one.frame.local_table.count = 3;  // three entries: four written
    for (int i = 0; i < 4; ++i)
        one.frame.local_table.entries[i] = {static_cast<unsigned char>(10 * i),
                                            static_cast<unsigned char>(200 + i),
                                            static_cast<unsigned char>(i), 0};
    ASSERT_EQ(gif_write_document(path("doc.gif").c_str(), &one.doc), 0);
    const std::string f = read_file(path("doc.gif"));

    EXPECT_EQ(word_at(f, 6), 20);
    EXPECT_EQ(word_at(f, 8), 10);
    EXPECT_EQ(byte_at(f, 10), 0x70);
    EXPECT_EQ(byte_at(f, 11), 2);
    const std::string looping = std::string("\x21\xFF\x0B", 3) +
                                "NETSCAPE2.0" + std::string("\x03\x01\x00\x00\x00", 5);
    EXPECT_EQ(f.substr(13, looping.size()), looping);
    size_t i = 13 + looping.size();
    EXPECT_EQ(f.substr(i, 8), std::string("\x21\xF9\x04\x09\x34\x12\x05\x00", 8));
    i += 8;
    EXPECT_EQ(byte_at(f, i), 0x2C);
    EXPECT_EQ(word_at(f, i + 1), 3);
    EXPECT_EQ(word_at(f, i + 3), 5);
    EXPECT_EQ(word_at(f, i + 5), 6);
    EXPECT_EQ(word_at(f, i + 7), 4);
    EXPECT_EQ(byte_at(f, i + 9), 0x81);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(byte_at(f, i + 10 + 3 * k), 10 * k);
        EXPECT_EQ(byte_at(f, i + 11 + 3 * k), 200 + k);
        EXPECT_EQ(byte_at(f, i + 12 + 3 * k), k);
    }
    const ImageData d = image_data_at(f, i + 22);
    EXPECT_EQ(d.root_width, 2);
    EXPECT_EQ(trace_codes(2, d.payload).pixels, indices_of(image));
    EXPECT_EQ(d.end, f.size() - 1);
    EXPECT_EQ(byte_at(f, d.end), 0x3B);
    destroy_bitmap(image);
}

TEST_F(GifWriterTest, GlobalTableAndFramesAreWrittenInOrder)
{
    BITMAP *a = make_noise(3, 2, 2, 11), *b = make_noise(2, 3, 130, 12);
    GifFrameRecord frames[2] = {};
    frames[0].image = a;
    frames[0].transparent_idx = -1;
    frames[1].image = b;
    frames[1].transparent_idx = -1;
    frames[1].disposal = 3;
    GifDocument doc = {};
    doc.screen_width = 3;
    doc.screen_height = 3;
    doc.frame_count = 2;
    doc.loop_count = -1;
    doc.global_table.count = 256;
    doc.global_table.entries[255] = {1, 2, 3, 0};
    doc.frame_list = frames;
    ASSERT_EQ(gif_write_document(path("two.gif").c_str(), &doc), 0);
    const std::string f = read_file(path("two.gif"));
    EXPECT_EQ(byte_at(f, 10), 0xF7);
    EXPECT_EQ(f.substr(13 + 765, 3), "\x01\x02\x03");
    size_t i = 13 + 768;
    for (BITMAP *image : {a, b}) {
        EXPECT_EQ(byte_at(f, i), 0x21);
        EXPECT_EQ(byte_at(f, i + 3), image == b ? 12 : 0);
        i += 8;
        EXPECT_EQ(byte_at(f, i), 0x2C);
        EXPECT_EQ(byte_at(f, i + 9), 0x00);
        const ImageData d = image_data_at(f, i + 10);
        EXPECT_EQ(trace_codes(d.root_width, d.payload).pixels,
                  indices_of(image));
        i = d.end;
    }
    EXPECT_EQ(i, f.size() - 1);
    destroy_bitmap(a);
    destroy_bitmap(b);
}

TEST_F(GifWriterTest, TruecolourBitmapIsReducedThroughTheCurrentPalette)
{
    PALETTE pal;
    fill_palette(pal);
    pal[40] = {63, 0, 63, 0};
    set_palette_range(pal, 0, PAL_SIZE - 1, FALSE);
    rgb_map = nullptr;
    BITMAP *bmp = create_bitmap_ex(32, 16, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x) {
            const RGB &e = pal[1 + (x + 16 * y) % 60];
            putpixel(bmp, x, y, makecol32(e.r * 4, e.g * 4, e.b * 4));
        }
    putpixel(bmp, 0, 0, bitmap_mask_color(bmp));  // an ordinary colour here
    ASSERT_EQ(gif_bitmap_saver(path("t.gif").c_str(), bmp, nullptr), 0);
    const std::string f = read_file(path("t.gif"));
    const ImageData d = image_data_at(f, SAVED_ROOT_WIDTH_OFFSET);
    const std::vector<int> px = trace_codes(d.root_width, d.payload).pixels;
    ASSERT_EQ(px.size(), 16u * 8u);
    EXPECT_EQ(px[0], 40);
    for (size_t i = 1; i < px.size(); ++i)
        EXPECT_EQ(px[i], 1 + static_cast<int>(i) % 60) << "pixel " << i;
    EXPECT_EQ(byte_at(f, 13 + 3), 0) << "no transparency";
    destroy_bitmap(bmp);
}

TEST_F(GifWriterTest, SizesOutsideTheFieldsAreRefusedWithoutAFile)
{
    const struct {
        int w, h;
    } cases[] = {{0, 4}, {4, 0}, {65536, 1}, {1, 65536}};
    for (const auto &c : cases) {
        BITMAP *bmp = create_bitmap_ex(8, c.w, c.h);
        ASSERT_NE(bmp, nullptr);
        clear_to_color(bmp, 1);
        EXPECT_EQ(gif_bitmap_saver(path("big.gif").c_str(), bmp, nullptr), -1)
            << c.w << " x " << c.h;
        EXPECT_FALSE(file_exists(path("big.gif")));
        destroy_bitmap(bmp);
    }
    BITMAP *edge = create_bitmap_ex(8, 65535, 1);
    clear_to_color(edge, 1);
    EXPECT_EQ(gif_bitmap_saver(path("edge.gif").c_str(), edge, nullptr), 0);
    EXPECT_EQ(word_at(read_file(path("edge.gif")), 6), 65535);
    destroy_bitmap(edge);
}

TEST_F(GifWriterTest, DocumentsWithValuesTheFileCannotHoldAreRefused)
{
    BITMAP *image = make_noise(4, 4, 4, 13);
    BITMAP *truecolour = create_bitmap_ex(32, 4, 4);
    const std::function<void(OneFrameDocument &)> faults[] = {
        [](OneFrameDocument &d) { d.frame.disposal = 8; },
        [](OneFrameDocument &d) { d.frame.transparent_idx = 256; },
        [](OneFrameDocument &d) { d.frame.delay = 65536; },
        [](OneFrameDocument &d) { d.frame.left = -1; },
        [](OneFrameDocument &d) { d.frame.local_table.count = 257; },
        [](OneFrameDocument &d) { d.frame.image = nullptr; },
        [&](OneFrameDocument &d) { d.frame.image = truecolour; },
        [](OneFrameDocument &d) { d.doc.global_table.count = -1; },
        [](OneFrameDocument &d) { d.doc.loop_count = -2; },
        [](OneFrameDocument &d) { d.doc.bg_idx = 300; },
        [](OneFrameDocument &d) { d.doc.screen_width = 70000; },
        [](OneFrameDocument &d) { d.doc.frame_list = nullptr; },
    };
    int n = 0;
    for (const auto &fault : faults) {
        OneFrameDocument d(image);
        fault(d);
        EXPECT_EQ(gif_write_document(path("bad.gif").c_str(), &d.doc), -1)
            << "fault " << n++;
        EXPECT_FALSE(file_exists(path("bad.gif")));
    }
    EXPECT_EQ(gif_write_document(path("bad.gif").c_str(), nullptr), -1);
    destroy_bitmap(image);
    destroy_bitmap(truecolour);
}

TEST_F(GifWriterTest, FileThatCannotBeCreatedGivesMinusOne)
{
    BITMAP *bmp = make_noise(4, 4, 4, 14);
    EXPECT_EQ(gif_bitmap_saver(path("no/such/folder.gif").c_str(), bmp,
                               nullptr),
              -1);
    EXPECT_EQ(gif_bitmap_saver(dir.c_str(), bmp, nullptr), -1);
    destroy_bitmap(bmp);
}

}  // namespace
