// The reader's fast decoding and drawing against the oracle's plain
// per-pixel forms: the decoder must give the same result, indices and
// stream position, and the loader and gif_draw_frame the same bitmaps,
// byte for byte, on good files and on broken ones.
#include <allegro.h>
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "gif_codec.h"
#include "gif_oracle.h"
#include "gif_reader_internal.h"
#include "gif_reader_support.h"
#include "test_support.h"

namespace {

const int DEPTHS[] = {8, 15, 16, 24, 32};
const int MAX_CODE = 4095;

class GifFastPathTest : public GifSuite {
protected:
    void TearDown() override { set_color_depth(32); }

    static std::string convert(const std::string &args, const std::string &name)
    {
        int status = 0;
        std::string path = dir + "/" + name;
        run_command("convert " + args + " " + path + " 2>&1", &status);
        EXPECT_EQ(status, 0) << args;
        return path;
    }
};

void append_int(std::string *s, int v)
{
    s->append(reinterpret_cast<const char *>(&v), sizeof v);
}

// Every pixel byte of the bitmap, row by row, after its size and depth.
void append_bitmap(std::string *s, BITMAP *bmp)
{
    if (!bmp) {
        s->append("no bitmap");
        return;
    }
    const int depth = bitmap_color_depth(bmp);
    append_int(s, depth);
    append_int(s, bmp->w);
    append_int(s, bmp->h);
    const int row_bytes = bmp->w * ((depth + 7) / 8);
    for (int y = 0; y < bmp->h; ++y)
        s->append(reinterpret_cast<const char *>(bmp->line[y]), row_bytes);
}

uint16_t word_at(const std::string &s, size_t i)
{
    return uint16_t(uint8_t(s[i]) | (uint8_t(s[i + 1]) << 8));
}

// Where each image's data start in a GIF file, and the image's size,
// walking the blocks as a reader does; stops at the trailer or where the
// bytes run out.
struct ImageAt {
    size_t data;
    int width, height;
};

std::vector<ImageAt> images_in(const std::string &bytes)
{
    const size_t screen_end = 13, descriptor_size = 9;
    std::vector<ImageAt> images;
    if (bytes.size() < screen_end)
        return images;
    auto table_size = [](uint8_t packed) {
        return packed & 0x80 ? size_t(3) * (2u << (packed & 7)) : 0;
    };
    auto past_sub_blocks = [&](size_t at) {
        while (at < bytes.size() && bytes[at] != 0)
            at += 1 + uint8_t(bytes[at]);
        return at + 1;
    };
    size_t at = screen_end + table_size(uint8_t(bytes[10]));
    while (at < bytes.size()) {
        const uint8_t introducer = uint8_t(bytes[at++]);
        if (introducer == 0x3B)
            break;
        if (introducer == 0x21) {
            at = past_sub_blocks(at + 1);
        } else if (introducer == 0x2C) {
            if (at + descriptor_size > bytes.size())
                break;
            const int w = word_at(bytes, at + 4), h = word_at(bytes, at + 6);
            at += descriptor_size + table_size(uint8_t(bytes[at + 8]));
            if (at >= bytes.size())
                break;
            images.push_back({at, w, h});
            at = past_sub_blocks(at + 1);
        }
    }
    return images;
}

using Decoder = int (*)(PACKFILE *, BITMAP *);

std::string decode_data(Decoder decode, const std::string &data, int w, int h);

// Every image's data in the file through the decoder (images of more than
// a few million pixels cut to their first rows, as pixels beyond an image
// are dropped alike).
std::string images_of(const std::string &path, Decoder decode)
{
    const int64_t most_pixels = 1 << 22;
    const std::string bytes = read_file(path);
    std::string s;
    for (const ImageAt &image : images_in(bytes)) {
        const int rows = int(std::min<int64_t>(
            image.height, most_pixels / std::max(image.width, 1)));
        s += decode_data(decode, bytes.substr(image.data), image.width, rows);
    }
    return s;
}

// The loader's bitmap and palette at the given depth, or the oracle's.
std::string loaded_at(const std::string &path, int depth, bool oracle)
{
    set_color_depth(depth);
    PALETTE pal;
    BITMAP *bmp = oracle ? oracle_load(path, pal)
                         : load_bitmap(path.c_str(), pal);
    std::string s;
    append_bitmap(&s, bmp);
    if (bmp) {
        for (const RGB &e : pal)
            s.append({char(e.r), char(e.g), char(e.b)});
        destroy_bitmap(bmp);
    }
    return s;
}

// The file's images decoded and the loader's bitmaps at every depth, or
// one depth, through the reader's fast paths or the oracle.
std::string everything_of(const std::string &path, bool oracle,
                          int only_depth = 0)
{
    std::string s =
        images_of(path, oracle ? oracle_unpack_frame : lzw_unpack_frame);
    for (int depth : DEPTHS) {
        if (only_depth == 0 || depth == only_depth)
            s += loaded_at(path, depth, oracle);
    }
    return s;
}

// make(true) through the oracle, make(false) through the reader.
::testing::AssertionResult same_both_ways(
    const std::function<std::string(bool)> &make, const std::string &what)
{
    const std::string plain = make(true);
    const std::string fast = make(false);
    if (plain == fast)
        return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < plain.size() && at < fast.size() && plain[at] == fast[at])
        ++at;
    return ::testing::AssertionFailure()
           << what << ": reader and oracle differ from byte " << at << " of "
           << plain.size() << " / " << fast.size();
}

// The fuzz target's starting corpus: hand-made corrupt files and peer-made
// ones, in the source tree.
std::vector<std::string> corpus_files()
{
    std::string corpus = FUZZ_CORPUS_DIR;
    std::vector<std::string> files;
    if (DIR *d = opendir(corpus.c_str())) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.')
                files.push_back(corpus + "/" + e->d_name);
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string giflib_animation(const std::string &path)
{
    giflib_write(path, peer_animation(), 0);
    return path;
}

TEST_F(GifFastPathTest, PeerFilesGiveTheSameImagesAndBitmaps)
{
    const std::string rose = "rose: -resize 137x83! ";
    std::vector<std::string> files = {
        convert(rose + "-colors 2", "im1.gif"),
        convert(rose + "-colors 16", "im4.gif"),
        convert(rose + "-colors 256", "im8.gif"),
        convert("-size 301x157 xc: +noise Random -colors 256", "noise.gif"),
        convert(rose + "-colors 64 -interlace GIF", "interlaced.gif"),
        convert("-size 40x30 xc:red -fill blue -draw 'rectangle 3,3 29,18' "
                "-transparent blue",
                "transparent.gif"),
        convert("-loop 0 -delay 5 -dispose None rose: -resize 64x48! "
                "-dispose Background -page +3+2 \\( -size "
                "15x16 xc:none -size 15x16 xc:blue +append \\) -dispose "
                "Previous -page +28+15 -size 29x17 xc:yellow -dispose None "
                "-page +51+41 -size 26x16 xc:green",
                "animation.gif"),
        convert(rose + "-colors 8", "gif87.gif"),
        giflib_animation(dir + "/giflib.gif"),
    };
    const std::vector<std::string> corpus = corpus_files();
    files.insert(files.end(), corpus.begin(), corpus.end());
    for (const std::string &path : files)
        EXPECT_TRUE(same_both_ways(
            [&](bool oracle) { return everything_of(path, oracle); }, path));
}

// Flipped, inserted and cut bytes: broken files fail, or decode to the
// same things, through either form.
TEST_F(GifFastPathTest, DamagedFilesGiveTheSameResults)
{
    const std::vector<std::string> sources = {
        read_file(giflib_animation(dir + "/source1.gif")),
        read_file(convert("rose: -resize 47x33! -colors 32 "
                          "-interlace GIF",
                          "source2.gif")),
        read_file(convert("-size 90x20 xc: +noise Random -colors 7",
                          "source3.gif")),
    };
    std::mt19937 rng(11);
    const std::string path = dir + "/damaged.gif";
    for (int round = 0; round < 240; ++round) {
        std::string bytes = sources[round % sources.size()];
        const int edits = 1 + int(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            size_t at = rng() % bytes.size();
            switch (rng() % 4) {
            case 0:
            case 1:
                bytes[at] = char(bytes[at] ^ (1 << (rng() % 8)));
                break;
            case 2:
                bytes.insert(at, 1, char(rng()));
                break;
            default:
                bytes.resize(std::max<size_t>(at, bytes.size() / 2));
                break;
            }
        }
        write_file(path, bytes);
        const int depth = DEPTHS[round % 5];
        EXPECT_TRUE(same_both_ways(
            [&](bool oracle) { return everything_of(path, oracle, depth); },
            "round " + std::to_string(round)));
    }
}

// Image data as sub-blocks of the given lengths, taken in turn; the block
// terminator only if terminate.
std::string split_data(const std::string &lzw, const std::vector<int> &lengths,
                       bool terminate)
{
    // Take the bytes back out of lzw_data's 255-byte sub-blocks.
    std::string payload;
    for (size_t at = 1; at < lzw.size() && lzw[at] != 0;
         at += 1 + uint8_t(lzw[at]))
        payload += lzw.substr(at + 1, uint8_t(lzw[at]));
    std::string s(1, lzw[0]);
    for (size_t at = 0, k = 0; at < payload.size(); ++k) {
        const size_t n = std::min<size_t>(lengths[k % lengths.size()],
                                          payload.size() - at);
        s += char(n);
        s += payload.substr(at, n);
        at += n;
    }
    return terminate ? s + '\0' : s;
}

// The result of decoding data into a w x h image that holds a pattern
// beforehand (so that pixels the data never reach show too; no image if w
// or h is 0), the image and how many bytes of the input are left.
std::string decode_data(Decoder decode, const std::string &data, int w, int h)
{
    PACKFILE *f = gif_open_memory(data.data(), long(data.size()));
    BITMAP *image = w > 0 && h > 0 ? create_bitmap_ex(8, w, h) : nullptr;
    for (int y = 0; image && y < h; ++y)
        for (int x = 0; x < w; ++x)
            image->line[y][x] = uint8_t(x * 7 + y * 13 + 5);
    std::string s;
    append_int(&s, decode(f, image));
    int left = 0;
    while (pack_getc(f) != EOF)
        ++left;
    append_int(&s, left);
    append_bitmap(&s, image);
    if (image)
        destroy_bitmap(image);
    pack_fclose(f);
    return s;
}

// Codes at random that a decoder of root width m takes in turn: mostly
// strings of the table, often the string about to be added; in some
// streams clear codes, so that the table refills, or a code that names
// nothing yet; then mostly the end code.
std::vector<int> random_codes(std::mt19937 &rng, int m, int count)
{
    const int clear = 1 << m;
    const int clears_per_mille = rng() % 2 ? 3 : 0;
    const int bad_per_mille = rng() % 4 ? 0 : 1;
    int next = clear + 2, width = m + 1;
    bool after_clear = true;
    std::vector<int> codes;
    if (rng() % 4)
        codes.push_back(clear);
    for (int i = 0; i < count; ++i) {
        const int r = int(rng() % 1000);
        int code;
        if (r < clears_per_mille) {
            code = clear;
        } else if (r < clears_per_mille + bad_per_mille &&
                   next + 1 < (1 << width)) {
            code = after_clear ? next : next + 1;
        } else if (r < 200 && !after_clear && next <= MAX_CODE) {
            code = next;
        } else {
            code = int(rng() % next);
            if (code == clear || code == clear + 1)
                code = int(rng() % clear);
        }
        codes.push_back(code);
        if (code == clear) {
            next = clear + 2;
            width = m + 1;
            after_clear = true;
            continue;
        }
        if (!after_clear && next <= MAX_CODE)
            ++next;
        after_clear = false;
        if (next >= (1 << width) && width < 12)
            ++width;
    }
    if (rng() % 8)
        codes.push_back(clear + 1);
    return codes;
}

TEST_F(GifFastPathTest, CodeStreamsDecodeAsTheOracleDecodes)
{
    struct Case {
        const char *what;
        std::string data;
        int w, h;
        bool more_input = true;  // bytes after the data
    };
    // A run of one value: each code names the string about to be added,
    // so strings grow a pixel at a time, past every copy size.
    std::vector<int> run = {4, 1};
    for (int code = 6; code < 6 + 150; ++code)
        run.push_back(code);
    run.push_back(5);
    // Strings that reach beyond the image, and codes after it is full.
    std::vector<int> over = run;
    over.insert(over.end() - 1, {4, 2, 3, 6, 6});
    // 8-bit roots until the table is full, then entries without a clear.
    std::vector<int> full = root_codes(8, noise(5000, 256, 3));
    full.insert(full.end() - 1, {4095, 3000, 258, 1000});
    // 11-bit roots, which keep their low 8 bits as indices.
    std::vector<int> wide = {2048, 300, 1000, 2050, 2051, 2052, 511, 2049};
    const std::vector<Case> cases = {
        {"run", lzw_data(2, run), 200, 60},
        {"run, image ends mid-string", lzw_data(2, run), 37, 41},
        {"run, image too large", lzw_data(2, run), 301, 70},
        {"past the image", lzw_data(2, over), 33, 5},
        {"full table", lzw_data(8, full), 100, 60},
        {"wide roots", lzw_data(11, wide), 5, 2},
        {"no image", lzw_data(2, over), 0, 0},
        {"one-byte sub-blocks", split_data(lzw_data(2, run), {1}, true), 90, 130},
        {"odd sub-blocks", split_data(lzw_data(8, full), {3, 1, 2, 5, 254}, true),
         700, 8},
        {"terminator before the end code",
         split_data(lzw_data(2, run), {7}, true).substr(0, 41) + '\0', 40, 40},
        {"input ends mid-block",
         split_data(lzw_data(2, run), {7}, true).substr(0, 45), 40, 40, false},
        {"input ends between blocks",
         split_data(lzw_data(2, run), {7}, true).substr(0, 41), 40, 40, false},
        {"root width 12", lzw_data(11, wide).replace(0, 1, "\x0C"), 5, 2},
        {"empty", "", 4, 4},
    };
    for (const Case &c : cases)
        EXPECT_TRUE(same_both_ways(
            [&](bool oracle) {
                return decode_data(
                    oracle ? oracle_unpack_frame : lzw_unpack_frame,
                    c.data + (c.more_input ? "after" : ""), c.w, c.h);
            },
            c.what));

    std::mt19937 rng(7);
    for (int round = 0; round < 1500; ++round) {
        const int m = round % 10 == 0 ? int(rng() % 12) : 1 + int(rng() % 8);
        const std::vector<int> codes =
            random_codes(rng, m, 1 + int(rng() % 5000));
        std::vector<int> lengths;
        for (int k = 0; k < 4; ++k)
            lengths.push_back(1 + int(rng() % 255));
        std::string data =
            split_data(lzw_data(m, codes), lengths, rng() % 10 != 0);
        if (rng() % 10 == 0)
            data.resize(rng() % data.size());
        const int w = int(rng() % 120), h = int(rng() % 60);
        EXPECT_TRUE(same_both_ways(
            [&](bool oracle) {
                return decode_data(
                    oracle ? oracle_unpack_frame : lzw_unpack_frame, data, w,
                    h);
            },
            "round " + std::to_string(round)));
    }
}

// Images whose rows are not one run of memory (a sub-bitmap) decode in
// place, leaving the parent's other pixels alone.
TEST_F(GifFastPathTest, ImagesWithRowGapsDecodeInPlace)
{
    const std::string data = lzw_data(4, root_codes(4, noise(300, 16, 5)));
    auto decode_into_part = [&](bool oracle) {
        BITMAP *parent = create_bitmap_ex(8, 30, 20);
        clear_to_color(parent, 99);
        BITMAP *part = create_sub_bitmap(parent, 4, 3, 17, 12);
        PACKFILE *f = gif_open_memory(data.data(), long(data.size()));
        std::string s;
        append_int(&s, oracle ? oracle_unpack_frame(f, part)
                              : lzw_unpack_frame(f, part));
        pack_fclose(f);
        destroy_bitmap(part);
        append_bitmap(&s, parent);
        destroy_bitmap(parent);
        return s;
    };
    EXPECT_TRUE(same_both_ways(decode_into_part, "sub-bitmap"));
}

// gif_draw_frame at offsets that clip, inside a clipping rectangle, onto a
// sub-bitmap and in a drawing mode other than solid, at every depth.
TEST_F(GifFastPathTest, FramesDrawTheSameOntoAnyDestination)
{
    const std::string path = giflib_animation(dir + "/draw.gif");
    struct Place {
        const char *what;
        int x, y;
        bool clip, sub, xor_mode;
    };
    const Place places[] = {
        {"at the corner", 0, 0, false, false, false},
        {"at an offset", 17, 9, false, false, false},
        {"partly off", -31, -12, false, false, false},
        {"in a clipping rectangle", 5, 4, true, false, false},
        {"on a sub-bitmap", -3, 6, false, true, false},
        {"in xor mode", 2, 3, false, false, true},
    };
    PALETTE pal;
    for (int i = 0; i < PAL_SIZE; ++i)
        pal[i] = {uint8_t(i >> 2), uint8_t((i * 5) & 63), uint8_t((i * 11) & 63), 0};
    for (int depth : DEPTHS) {
        for (const Place &p : places) {
            auto draw = [&](bool oracle) {
                GifDocument *doc = gif_open_document(path.c_str());
                BITMAP *canvas = create_bitmap_ex(depth, 150, 110);
                clear_to_color(canvas, makecol_depth(depth, 40, 80, 120));
                BITMAP *dest = p.sub ? create_sub_bitmap(canvas, 11, 7, 100, 70)
                                     : canvas;
                if (p.clip)
                    set_clip_rect(dest, 20, 15, 93, 61);
                if (p.xor_mode)
                    drawing_mode(DRAW_MODE_XOR, nullptr, 0, 0);
                select_palette(pal);
                for (int i = 0; doc && i < doc->frame_count; ++i) {
                    if (oracle)
                        oracle_draw_frame(doc, dest, i, p.x, p.y);
                    else
                        gif_draw_frame(doc, dest, i, p.x, p.y);
                }
                unselect_palette();
                solid_mode();
                std::string s;
                append_bitmap(&s, canvas);
                if (dest != canvas)
                    destroy_bitmap(dest);
                destroy_bitmap(canvas);
                gif_free_document(doc);
                return s;
            };
            EXPECT_TRUE(same_both_ways(
                draw, std::to_string(depth) + "-bit, " + p.what));
        }
    }
}

}  // namespace
