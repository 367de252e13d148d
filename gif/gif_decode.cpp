// Image data of a GIF: variable-width LZW codes packed into sub-blocks,
// decoded straight into an 8-bit bitmap of colour indices.
#include "gif_reader_internal.h"

#include <algorithm>
#include <cstring>

namespace {

const int WORD_BYTES = 4;

// Reads the next data sub-block into block. Returns its length, GIF_FAILED
// at the block terminator or GIF_TRUNCATED at the end of the input.
int read_sub_block(PACKFILE *stream, unsigned char *block)
{
    const int length = pack_getc(stream);
    if (length == EOF)
        return GIF_TRUNCATED;
    if (length == 0)
        return GIF_FAILED;
    if (pack_fread(block, length, stream) != length)
        return GIF_TRUNCATED;
    return length;
}

// A string of the table by where it was written in full, and its length.
// Strings are written once and never overwritten, so each can be copied
// from its earlier place instead of walking its prefix chain.
struct StringEntry {
    uint32_t pos;
    uint16_t length;
};

// The pixels of an 8-bit memory bitmap of at least one pixel as one run of
// w x h bytes, or null when its rows do not follow each other without gaps.
unsigned char *contiguous_pixels(BITMAP *bmp)
{
    const uintptr_t start = reinterpret_cast<uintptr_t>(bmp->line[0]);
    for (int y = 1; y < bmp->h; ++y) {
        if (reinterpret_cast<uintptr_t>(bmp->line[y]) !=
            start + uintptr_t(y) * uintptr_t(bmp->w))
            return nullptr;
    }
    return bmp->line[0];
}

// Copies n bytes from src to dest, which must not overlap; short strings
// as two word moves that may overlap each other, and nothing beyond n.
inline void copy_string(unsigned char *dest, const unsigned char *src, int n)
{
    if (n >= 4 && n <= 8) {
        uint32_t a, b;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + n - 4, 4);
        std::memcpy(dest, &a, 4);
        std::memcpy(dest + n - 4, &b, 4);
    } else if (n >= 2 && n < 4) {
        uint16_t a, b;
        std::memcpy(&a, src, 2);
        std::memcpy(&b, src + n - 2, 2);
        std::memcpy(dest, &a, 2);
        std::memcpy(dest + n - 2, &b, 2);
    } else if (n == 1) {
        *dest = *src;
    } else {
        std::memcpy(dest, src, n);
    }
}

// Decodes one image's data into out, total pixels in the file's order.
// Codes are read a byte at a time through a bit accumulator; a sub-block
// is read only when a code needs its bits, so the stream is left just
// after the sub-block that holds the end code. Every pixel before p has
// been written, and a string is copied forwards from an earlier place of
// the output; pixels at or beyond total are dropped.
int unpack_into(PACKFILE *stream, unsigned char *out, int64_t total)
{
    const int root_width = pack_getc(stream);
    if (root_width == EOF)
        return GIF_TRUNCATED;
    if (root_width > LZW_MAX_ROOT_WIDTH)
        return GIF_FAILED;

    StringEntry table[LZW_TABLE_SIZE];
    unsigned char block[LZW_BUFFER_SIZE];
    int block_pos = 0, block_end = 0;   // unread bytes of the sub-block
    uint64_t bits = 0;                  // unread bits, least significant first
    int bit_count = 0;

    const int clear = 1 << root_width;
    const int end = clear + 1;
    int next = clear + 2;
    int width = root_width + 1;
    int prev = clear;
    int64_t prev_pos = 0;               // where the previous string went
    int prev_length = 0;
    int64_t p = 0;

    for (;;) {
        if (bit_count < width) {
            if (block_end - block_pos >= WORD_BYTES) {
                uint32_t word;
                std::memcpy(&word, block + block_pos, WORD_BYTES);
                bits |= uint64_t(word) << bit_count;
                bit_count += WORD_BYTES * BITS_PER_BYTE;
                block_pos += WORD_BYTES;
            } else {
                while (bit_count < width) {
                    if (block_pos == block_end) {
                        const int length = read_sub_block(stream, block);
                        if (length < 0)
                            return length;
                        block_pos = 0;
                        block_end = length;
                    }
                    bits |= uint64_t(block[block_pos++]) << bit_count;
                    bit_count += BITS_PER_BYTE;
                }
            }
        }
        const int code = int(bits & ((1u << width) - 1));
        bits >>= width;
        bit_count -= width;

        if (code == clear) {
            width = root_width + 1;
            next = clear + 2;
            prev = clear;
            continue;
        }
        if (code == end)
            return GIF_OK;

        // The string to write: a root is its own pixel; an entry is copied
        // from where it was written; the code about to be added is the
        // previous string and its own first pixel, which a forward copy
        // from the previous string's place produces.
        int64_t from;
        int length;
        if (code < clear) {
            from = -1;
            length = 1;
        } else if (code < next) {
            from = table[code].pos;
            length = table[code].length;
        } else if (code == next && prev != clear) {
            from = prev_pos;
            length = prev_length + 1;
        } else {
            return GIF_FAILED;
        }

        if (p < total) {
            unsigned char *dest = out + p;
            if (from < 0) {
                *dest = static_cast<unsigned char>(code);
            } else if (length <= total - p) {
                copy_string(dest, out + from, code == next ? length - 1 : length);
                if (code == next)
                    dest[length - 1] = dest[0];
            } else {
                const unsigned char *src = out + from;
                const int64_t n = total - p;
                for (int64_t k = 0; k < n; ++k)
                    dest[k] = src[k];
            }
        }

        // Entry next is the previous string followed by this string's
        // first pixel, which stands right after the previous string.
        if (prev != clear && next < LZW_TABLE_SIZE) {
            table[next] = {uint32_t(prev_pos), uint16_t(prev_length + 1)};
            ++next;
        }
        if (next >= (1 << width) && width < LZW_MAX_CODE_WIDTH)
            ++width;
        prev = code;
        prev_pos = p;
        prev_length = length;
        p += length;
    }
}

}  // namespace

int lzw_unpack_frame(PACKFILE *stream, BITMAP *image)
{
    if (!image || image->w <= 0 || image->h <= 0)
        return unpack_into(stream, nullptr, 0);
    if (bitmap_color_depth(image) != GIF_INDEX_DEPTH ||
        !is_memory_bitmap(image))
        return GIF_FAILED;
    if (unsigned char *out = contiguous_pixels(image))
        return unpack_into(stream, out, int64_t(image->w) * image->h);
    // Rows with gaps between them (a sub-bitmap): decode into a copy in one
    // piece and put it back, pixels the data never reach included.
    BITMAP *copy = create_bitmap_ex(GIF_INDEX_DEPTH, image->w, image->h);
    if (!copy)
        return GIF_FAILED;
    blit(image, copy, 0, 0, 0, 0, image->w, image->h);
    const int rc =
        unpack_into(stream, copy->line[0], int64_t(copy->w) * copy->h);
    blit(copy, image, 0, 0, 0, 0, image->w, image->h);
    destroy_bitmap(copy);
    return rc;
}
