// Helpers for the GIF writer's tests: images of indices, the pieces of a
// written file and a plain encoder to compare with; the codes are traced
// with the oracle's trace_codes.
#ifndef GIF_TESTS_GIF_WRITER_TEST_UTIL_H
#define GIF_TESTS_GIF_WRITER_TEST_UTIL_H

#include <allegro.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "gif_document.h"
#include "gif_oracle.h"
#include "gif_writer_internal.h"
#include "test_support.h"

// Offset of the root width byte in a file written by the saver.
const size_t SAVED_ROOT_WIDTH_OFFSET = 799;

inline BITMAP *make_indexed(int w, int h, const std::function<int(int, int)> &f)
{
    BITMAP *bmp = create_bitmap_ex(8, w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            bmp->line[y][x] = static_cast<unsigned char>(f(x, y));
    return bmp;
}

// Indices 0 to colors - 1 drawn at random.
inline BITMAP *make_noise(int w, int h, int colors, unsigned salt)
{
    std::mt19937 rng(salt);
    return make_indexed(w, h, [&](int, int) {
        return static_cast<int>(rng() % static_cast<unsigned>(colors));
    });
}

inline uint8_t byte_at(const std::string &s, size_t i)
{
    return static_cast<uint8_t>(s.at(i));
}

inline int word_at(const std::string &s, size_t i)
{
    return byte_at(s, i) | (byte_at(s, i + 1) << 8);
}

// The image data at offset (root width byte, sub-blocks, terminator).
struct ImageData {
    int root_width = 0;
    std::string payload;              // the sub-blocks' bytes joined
    std::vector<int> block_lengths;   // without the terminator
    size_t end = 0;                   // offset just past the terminator
    bool terminated = false;
};

inline ImageData image_data_at(const std::string &file, size_t offset)
{
    ImageData d;
    d.root_width = byte_at(file, offset);
    size_t i = offset + 1;
    while (i < file.size()) {
        const int n = byte_at(file, i++);
        if (n == 0) {
            d.terminated = true;
            break;
        }
        d.block_lengths.push_back(n);
        d.payload.append(file, i, static_cast<size_t>(n));
        i += static_cast<size_t>(n);
    }
    d.end = i;
    return d;
}

inline std::vector<int> indices_of(BITMAP *bmp)
{
    std::vector<int> v;
    for (int y = 0; y < bmp->h; ++y)
        for (int x = 0; x < bmp->w; ++x)
            v.push_back(bmp->line[y][x]);
    return v;
}

// The encoder written the plain way: a linear scan of the entries added
// since the last clear code, bits stored one at a time.
inline std::string reference_pack(BITMAP *image)
{
    struct Entry {
        int prefix, pixel, depth;
    };
    std::vector<Entry> table(LZW_TABLE_SIZE);
    const int64_t count = static_cast<int64_t>(image->w) * image->h;
    int largest = 0;
    for (int64_t i = 0; i < count; ++i)
        largest = std::max(largest, pixel_at(image, i));
    int m = LZW_MIN_ROOT_WIDTH;
    while ((1 << m) <= largest)
        ++m;
    const int clear = 1 << m, end = clear + 1;
    for (int i = 0; i <= end; ++i)
        table[i] = {-1, i, 0};

    std::string out(1, static_cast<char>(m));
    unsigned char buffer[LZW_BUFFER_SIZE] = {};
    int bit_pos = 0;
    auto put = [&](int n, int value) {
        for (int k = 0; k < n; ++k) {
            unsigned char &b = buffer[bit_pos / 8];
            const unsigned char bit = static_cast<unsigned char>(1 << (bit_pos % 8));
            if (value & (1 << k))
                b |= bit;
            else
                b &= static_cast<unsigned char>(~bit);
            if (++bit_pos == LZW_SUB_BLOCK_BYTES * 8) {
                out += static_cast<char>(LZW_SUB_BLOCK_BYTES);
                out.append(reinterpret_cast<char *>(buffer), LZW_SUB_BLOCK_BYTES);
                std::fill(buffer, buffer + LZW_BUFFER_SIZE, 0);
                bit_pos = 0;
            }
        }
    };
    int width = m + 1, next = end + 1;
    put(width, clear);
    int current = pixel_at(image, 0);
    for (int64_t l = 1; l < count; ++l) {
        int px = pixel_at(image, l);
        int found = -1;
        for (int c = end + 1; c < next; ++c)
            if (table[c].prefix == current && table[c].pixel == px) {
                found = c;
                break;
            }
        if (found >= 0) {
            px = found;
        } else {
            table[next] = {current, px, table[current].depth + 1};
            ++next;
            put(width, current);
        }
        if (next == (1 << width) + 1 && width <= LZW_MAX_CODE_WIDTH - 1)
            ++width;
        if (next == LZW_TABLE_SIZE) {
            put(width, clear);
            width = m + 1;
            next = end + 1;
        }
        current = px;
    }
    put(width, current);
    if (next == (1 << width) && width < LZW_MAX_CODE_WIDTH)
        ++width;  // the width at which a decoder reads the end code
    put(width, end);
    if (bit_pos != 0) {
        const int n = (bit_pos + 7) / 8;
        out += static_cast<char>(n);
        out.append(reinterpret_cast<char *>(buffer), static_cast<size_t>(n));
    }
    return out;
}

// What lzw_pack_frame writes for image, read back from a scratch file.
inline std::string packed(BITMAP *image, const std::string &dir)
{
    const std::string path = dir + "/packed.bin";
    PACKFILE *f = pack_fopen(path.c_str(), F_WRITE);
    if (!f)
        return "";
    const int rc = lzw_pack_frame(f, image);
    pack_fclose(f);
    return rc == 0 ? read_file(path) : "";
}

// A document of one frame over image, with everything else unset.
struct OneFrameDocument {
    GifDocument doc = {};
    GifFrameRecord frame = {};
    explicit OneFrameDocument(BITMAP *image)
    {
        doc.screen_width = image->w;
        doc.screen_height = image->h;
        doc.frame_count = 1;
        doc.loop_count = -1;
        doc.frame_list = &frame;
        frame.image = image;
        frame.transparent_idx = -1;
    }
};

#endif
