// Every kind of file the writer makes, read back by giflib, by ImageMagick
// and by our own reader, which must all see the indices and colours that
// were written.
#include <gtest/gtest.h>

#include <allegro.h>

#include <string>
#include <vector>

#include "gif_document.h"
#include "map_palette.h"
#include "gif_reader_support.h"
#include "gif_writer_test_util.h"
#include "test_support.h"

namespace {

// Widest image that ImageMagick's resource policy lets it read.
const int IMAGEMAGICK_WIDTH_LIMIT = 16000;

// What a written file must decode to.
struct ExpectedFrame {
    std::vector<int> indices;
    std::vector<PeerColour> table;  // the local table as written
    int left = 0, top = 0, width = 0, height = 0;
    int disposal = 0, delay = 0, transparent = -1;
};

struct WrittenFile {
    std::string path;
    std::vector<ExpectedFrame> frames;
};

std::vector<PeerColour> table_colours(const GifColorTable &t)
{
    std::vector<PeerColour> v;
    int n = 1;
    while (n < t.count)
        n *= 2;
    for (int i = 0; i < (t.count > 1 ? n : 0); ++i)
        v.push_back({t.entries[i].r, t.entries[i].g, t.entries[i].b});
    return v;
}

class GifWriterPeerTest : public ::testing::Test {
protected:
    std::string dir;
    std::vector<WrittenFile> files;
    std::vector<BITMAP *> keep;

    void SetUp() override
    {
        start_allegro_headless();
        dir = make_temp_dir();
        write_corpus();
    }
    void TearDown() override
    {
        for (BITMAP *b : keep)
            destroy_bitmap(b);
        remove_tree(dir);
    }

    // Saves bmp through the saver with the current palette (and rgb_map)
    // and records the 8-bit copy that the saver's blit makes.
    void save(const std::string &name, BITMAP *bmp)
    {
        WrittenFile f;
        f.path = dir + "/" + name;
        ASSERT_EQ(gif_bitmap_saver(f.path.c_str(), bmp, nullptr), 0) << name;
        BITMAP *copy = create_bitmap_ex(8, bmp->w, bmp->h);
        blit(bmp, copy, 0, 0, 0, 0, bmp->w, bmp->h);
        PALETTE pal;
        get_palette(pal);
        ExpectedFrame e;
        e.indices = indices_of(copy);
        for (int i = 0; i < PAL_SIZE; ++i)
            e.table.push_back({_rgb_scale_6[pal[i].r], _rgb_scale_6[pal[i].g],
                               _rgb_scale_6[pal[i].b]});
        e.width = bmp->w;
        e.height = bmp->h;
        f.frames.push_back(e);
        files.push_back(f);
        destroy_bitmap(copy);
        destroy_bitmap(bmp);
    }

    void save_fitted(const std::string &name, BITMAP *bmp)
    {
        select_fitted_palette(bmp);
        save(name, bmp);
    }

    void write_document(const std::string &name, const GifDocument &doc)
    {
        WrittenFile f;
        f.path = dir + "/" + name;
        ASSERT_EQ(gif_write_document(f.path.c_str(), &doc), 0) << name;
        for (int i = 0; i < doc.frame_count; ++i) {
            const GifFrameRecord &r = doc.frame_list[i];
            ExpectedFrame e;
            e.indices = indices_of(r.image);
            e.table = table_colours(r.local_table);
            e.left = r.left;
            e.top = r.top;
            e.width = r.image->w;
            e.height = r.image->h;
            e.disposal = r.disposal;
            e.delay = r.delay;
            e.transparent = r.transparent_idx;
            f.frames.push_back(e);
        }
        files.push_back(f);
    }

    void write_corpus()
    {
        PALETTE pal;
        for (int i = 0; i < PAL_SIZE; ++i)
            pal[i] = {static_cast<unsigned char>(i / 4),
                      static_cast<unsigned char>(63 - i / 4),
                      static_cast<unsigned char>((i * 5) % 64), 0};
        set_palette_range(pal, 0, PAL_SIZE - 1, FALSE);
        rgb_map = nullptr;
        save("noise.gif", make_noise(300, 200, 256, 21));
        save("pixel.gif", make_indexed(1, 1, [](int, int) { return 200; }));
        save("row.gif", make_indexed(4, 1, [](int, int) { return 0; }));
        save("four.gif", make_noise(600, 400, 4, 22));
        save("long.gif", make_indexed(65535, 1, [](int x, int) {
                 return (x / 700) % 3;
             }));
        save("tall.gif", make_indexed(3, 5000, [](int x, int y) {
                 return (x + y / 13) % 37;
             }));

        // Truecolour bitmaps through a fitted palette.
        BITMAP *few = create_bitmap_ex(32, 257, 129);
        for (int y = 0; y < few->h; ++y)
            for (int x = 0; x < few->w; ++x)
                putpixel(few, x, y,
                         makecol32((x / 16) * 13, (y / 16) * 29, 200));
        save_fitted("few.gif", few);
        BITMAP *many = create_bitmap_ex(32, 256, 256);
        for (int y = 0; y < many->h; ++y)
            for (int x = 0; x < many->w; ++x)
                putpixel(many, x, y, makecol32(x, y, (x * y) & 255));
        save_fitted("many.gif", many);
        BITMAP *hi = create_bitmap_ex(16, 100, 60);
        for (int y = 0; y < hi->h; ++y)
            for (int x = 0; x < hi->w; ++x)
                putpixel(hi, x, y, makecol16(x * 2, y * 4, 90));
        save_fitted("hicolour.gif", hi);

        // An animation through the document writer.
        BITMAP *a = make_noise(10, 8, 7, 23), *b = make_noise(4, 3, 40, 24);
        keep = {a, b};
        GifFrameRecord frames[2] = {};
        frames[0].image = a;
        frames[0].delay = 7;
        frames[0].disposal = 2;
        frames[0].transparent_idx = 5;
        frames[0].local_table.count = 8;
        for (int i = 0; i < 8; ++i)
            frames[0].local_table.entries[i] = {
                static_cast<unsigned char>(30 * i), 0,
                static_cast<unsigned char>(255 - i), 0};
        frames[1].image = b;
        frames[1].left = 6;
        frames[1].top = 5;
        frames[1].delay = 300;
        frames[1].disposal = 1;
        frames[1].transparent_idx = -1;
        GifDocument doc = {};
        doc.screen_width = 10;
        doc.screen_height = 8;
        doc.frame_count = 2;
        doc.loop_count = 0;
        doc.global_table.count = 64;
        for (int i = 0; i < 64; ++i)
            doc.global_table.entries[i] = {static_cast<unsigned char>(i * 4),
                                           static_cast<unsigned char>(i),
                                           7, 0};
        doc.frame_list = frames;
        write_document("anim.gif", doc);
    }
};

TEST_F(GifWriterPeerTest, GiflibReadsTheIndicesAndTablesWritten)
{
    for (const WrittenFile &f : files) {
        PeerGif g;
        ASSERT_TRUE(giflib_decode(f.path, &g)) << f.path;
        ASSERT_EQ(g.frames.size(), f.frames.size()) << f.path;
        for (size_t i = 0; i < f.frames.size(); ++i) {
            const ExpectedFrame &e = f.frames[i];
            const PeerFrame &p = g.frames[i];
            EXPECT_EQ(p.left, e.left) << f.path;
            EXPECT_EQ(p.top, e.top) << f.path;
            EXPECT_EQ(p.width, e.width) << f.path;
            EXPECT_EQ(p.height, e.height) << f.path;
            EXPECT_FALSE(p.interlaced);
            EXPECT_EQ(p.disposal, e.disposal) << f.path;
            EXPECT_EQ(p.delay, e.delay) << f.path;
            EXPECT_EQ(p.transparent, e.transparent) << f.path;
            EXPECT_TRUE(std::vector<int>(p.indices.begin(), p.indices.end()) ==
                        e.indices)
                << f.path << " frame " << i;
            ASSERT_EQ(p.local.size(), e.table.size()) << f.path;
            for (size_t k = 0; k < e.table.size(); ++k)
                EXPECT_TRUE(p.local[k].r == e.table[k].r &&
                            p.local[k].g == e.table[k].g &&
                            p.local[k].b == e.table[k].b)
                    << f.path << " entry " << k;
        }
    }
}

TEST_F(GifWriterPeerTest, ImageMagickSeesTheColoursOfTheIndicesWritten)
{
    for (const WrittenFile &f : files) {
        if (f.frames.size() != 1)
            continue;
        const ExpectedFrame &e = f.frames[0];
        // Debian's ImageMagick policy refuses images this wide.
        if (e.width > IMAGEMAGICK_WIDTH_LIMIT)
            continue;
        const std::string out = f.path + ".rgb";
        int status = -1;
        run_command("convert '" + f.path + "' -depth 8 'rgb:" + out + "'",
                    &status);
        ASSERT_EQ(status, 0) << f.path;
        const std::string rgb = read_file(out);
        ASSERT_EQ(rgb.size(), e.indices.size() * 3) << f.path;
        size_t wrong = 0;
        for (size_t i = 0; i < e.indices.size(); ++i) {
            const PeerColour &c = e.table[static_cast<size_t>(e.indices[i])];
            if (byte_at(rgb, 3 * i) != c.r || byte_at(rgb, 3 * i + 1) != c.g ||
                byte_at(rgb, 3 * i + 2) != c.b)
                ++wrong;
        }
        EXPECT_EQ(wrong, 0u) << f.path;
    }
}

TEST_F(GifWriterPeerTest, OurReaderReadsBackWhatWasWritten)
{
    for (const WrittenFile &f : files) {
        GifDocument *doc = gif_open_document(f.path.c_str());
        ASSERT_NE(doc, nullptr) << f.path;
        ASSERT_EQ(doc->frame_count, static_cast<int>(f.frames.size()));
        for (size_t i = 0; i < f.frames.size(); ++i) {
            const ExpectedFrame &e = f.frames[i];
            const GifFrameRecord &r = doc->frame_list[i];
            ASSERT_NE(r.image, nullptr);
            EXPECT_TRUE(indices_of(r.image) == e.indices)
                << f.path << " frame " << i;
            EXPECT_EQ(r.left, e.left);
            EXPECT_EQ(r.top, e.top);
            EXPECT_EQ(r.delay, e.delay);
            EXPECT_EQ(r.disposal, e.disposal);
            EXPECT_EQ(r.transparent_idx, e.transparent);
            ASSERT_EQ(r.local_table.count, static_cast<int>(e.table.size()));
            for (size_t k = 0; k < e.table.size(); ++k)
                EXPECT_TRUE(r.local_table.entries[k].r == e.table[k].r &&
                            r.local_table.entries[k].g == e.table[k].g &&
                            r.local_table.entries[k].b == e.table[k].b)
                    << f.path << " entry " << k;
        }
        gif_free_document(doc);
    }
}

}  // namespace
