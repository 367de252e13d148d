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

// The code reader: variable-width codes packed least significant bit
// first into the image's data sub-blocks. A sub-block is read only when a
// code needs its bits, so the stream is left just after the sub-block that
// holds the last code read.
struct CodeReader {
    PACKFILE *stream;
    unsigned char *block;           // LZW_BUFFER_SIZE bytes
    int block_pos, block_end;       // unread bytes of the sub-block
    uint64_t bits;                  // unread bits, least significant first
    int bit_count;
};

// Tops the reader's bits up to at least width a byte at a time, reading
// sub-blocks as they run out; GIF_OK or read_sub_block's failure.
inline int refill_bytes(CodeReader *r, int width)
{
    while (r->bit_count < width) {
        if (r->block_pos == r->block_end) {
            const int length = read_sub_block(r->stream, r->block);
            if (length < 0)
                return length;
            r->block_pos = 0;
            r->block_end = length;
        }
        r->bits |= uint64_t(r->block[r->block_pos++]) << r->bit_count;
        r->bit_count += BITS_PER_BYTE;
    }
    return GIF_OK;
}

// The next code, width bits, in *code; a whole word at a time while the
// sub-block has one. GIF_OK, or GIF_FAILED / GIF_TRUNCATED when the data
// end first.
inline int read_code(CodeReader *r, int width, int *code)
{
    if (r->bit_count < width) {
        if (r->block_end - r->block_pos >= WORD_BYTES) {
            uint32_t word;
            std::memcpy(&word, r->block + r->block_pos, WORD_BYTES);
            r->bits |= uint64_t(word) << r->bit_count;
            r->bit_count += WORD_BYTES * BITS_PER_BYTE;
            r->block_pos += WORD_BYTES;
        } else {
            const int rc = refill_bytes(r, width);
            if (rc != GIF_OK)
                return rc;
        }
    }
    *code = int(r->bits & ((1u << width) - 1));
    r->bits >>= width;
    r->bit_count -= width;
    return GIF_OK;
}

// A string of the table by where it was written in full, and its length.
// Strings are written once and never overwritten, so each can be copied
// from its earlier place instead of walking its prefix chain.
struct StringEntry {
    uint32_t pos;
    uint16_t length;
};

// The string emitter: the code table and the output, total pixels in the
// file's order from out. Every pixel before p has been written; pixels at
// or beyond total are dropped.
struct StringEmitter {
    StringEntry *table;             // LZW_TABLE_SIZE entries
    unsigned char *out;
    int64_t total;
    int64_t p;
    int clear;
    int next;                       // the entry the next string adds
    int width;                      // of the next code
    int prev;                       // the previous code; clear if none
    int64_t prev_pos;               // where the previous string went
    int prev_length;
};

// The table as a clear code leaves it: roots, clear and end only.
inline void restart_table(StringEmitter *e, int root_width)
{
    e->next = e->clear + 2;
    e->width = root_width + 1;
    e->prev = e->clear;
}

// Writes the string of code (neither clear nor end) and adds the table's
// next entry; false when the code names no string yet. A root is its own
// pixel; an entry is copied from where it was written; the code about to
// be added is the previous string and its own first pixel, which a forward
// copy from the previous string's place produces.
inline bool emit_string(StringEmitter *e, int code)
{
    int64_t from;
    int length;
    if (code < e->clear) {
        from = -1;
        length = 1;
    } else if (code < e->next) {
        from = e->table[code].pos;
        length = e->table[code].length;
    } else if (code == e->next && e->prev != e->clear) {
        from = e->prev_pos;
        length = e->prev_length + 1;
    } else {
        return false;
    }

    const int64_t p = e->p;
    if (p < e->total) {
        unsigned char *dest = e->out + p;
        if (from < 0) {
            *dest = static_cast<unsigned char>(code);
        } else if (length <= e->total - p) {
            const bool is_next = code == e->next;
            copy_string(dest, e->out + from, is_next ? length - 1 : length);
            if (is_next)
                dest[length - 1] = dest[0];
        } else {
            const unsigned char *src = e->out + from;
            const int64_t n = e->total - p;
            for (int64_t k = 0; k < n; ++k)
                dest[k] = src[k];
        }
    }

    // Entry next is the previous string followed by this string's first
    // pixel, which stands right after the previous string.
    if (e->prev != e->clear && e->next < LZW_TABLE_SIZE) {
        e->table[e->next] = {uint32_t(e->prev_pos),
                             uint16_t(e->prev_length + 1)};
        ++e->next;
    }
    if (e->next >= (1 << e->width) && e->width < LZW_MAX_CODE_WIDTH)
        ++e->width;
    e->prev = code;
    e->prev_pos = p;
    e->prev_length = length;
    e->p = p + length;
    return true;
}

// Decodes one image's data into out, total pixels in the file's order:
// codes from the reader, strings from the emitter.
int unpack_into(PACKFILE *stream, unsigned char *out, int64_t total)
{
    const int root_width = pack_getc(stream);
    if (root_width == EOF)
        return GIF_TRUNCATED;
    if (root_width > LZW_MAX_ROOT_WIDTH)   // root-widths
        return gif_fail("LZW root width %d", root_width);

    unsigned char block[LZW_BUFFER_SIZE];
    CodeReader reader = {stream, block, 0, 0, 0, 0};
    StringEntry table[LZW_TABLE_SIZE];
    StringEmitter emitter = {table, out, total, 0, 1 << root_width, 0, 0, 0,
                             0, 0};
    restart_table(&emitter, root_width);
    const int end = emitter.clear + 1;
    for (;;) {
        int code;
        const int rc = read_code(&reader, emitter.width, &code);
        if (rc == GIF_FAILED)   // end-code-needed
            return gif_fail("image data end before the LZW end code");
        if (rc != GIF_OK)
            return rc;
        if (code == emitter.clear)
            restart_table(&emitter, root_width);
        else if (code == end)
            return GIF_OK;
        else if (!emit_string(&emitter, code))
            return gif_fail("LZW code %d names no string yet", code);
    }
}

}  // namespace

int lzw_unpack_frame(PACKFILE *stream, BITMAP *image)
{
    if (!image || image->w <= 0 || image->h <= 0)
        return unpack_into(stream, nullptr, 0);
    if (bitmap_color_depth(image) != GIF_INDEX_DEPTH ||
        !is_memory_bitmap(image))
        return gif_fail("LZW data decoded only into 8-bit memory bitmaps");
    if (unsigned char *out = contiguous_pixels(image))
        return unpack_into(stream, out, int64_t(image->w) * image->h);
    // Rows with gaps between them (a sub-bitmap): decode into a copy in one
    // piece and put it back, pixels the data never reach included.
    BITMAP *copy = create_bitmap_ex(GIF_INDEX_DEPTH, image->w, image->h);
    if (!copy)
        return gif_out_of_memory(image->w, image->h);
    blit(image, copy, 0, 0, 0, 0, image->w, image->h);
    const int rc =
        unpack_into(stream, copy->line[0], int64_t(copy->w) * copy->h);
    blit(copy, image, 0, 0, 0, 0, image->w, image->h);
    destroy_bitmap(copy);
    return rc;
}
