// Image data of a GIF: variable-width LZW codes packed into sub-blocks,
// decoded straight into an 8-bit bitmap of colour indices.
#include "gif_reader_internal.h"

namespace {

const int BITS_PER_BYTE = 8;

// One string of the decoder's table: the code of the string without its
// last pixel, that last pixel, and the string's length minus one.
struct LzwEntry {
    int prefix;
    int last;
    int depth;
};

// Writes the string of code w at pixels p .. p + depth(w), from its end
// back to its first pixel, and returns that first pixel's value.
int write_string(BITMAP *image, const LzwEntry *table, int w, int64_t p)
{
    int c = w;
    for (int k = table[w].depth; k > 0; --k) {
        set_pixel_at(image, p + k, table[c].last);
        c = table[c].prefix;
    }
    set_pixel_at(image, p, table[c].last);
    return table[c].last;
}

}  // namespace

void set_pixel_at(BITMAP *bitmap, int64_t i, int value)
{
    if (!bitmap || i < 0)
        return;
    const int64_t width = bitmap->w;
    if (width <= 0 || i >= width * bitmap->h)
        return;
    const int64_t row = i / width;
    bitmap->line[row][i - row * width] = static_cast<unsigned char>(value);
}

int lzw_get_bits(PACKFILE *stream, unsigned char *buffer, int *bit_pos, int n)
{
    int code = 0;
    for (int k = 0; k < n; ++k) {
        int b = (*bit_pos / BITS_PER_BYTE) % LZW_BUFFER_SIZE;
        if (b == 0) {
            // The sub-block is used up: load the next one into the end of
            // the buffer, so that its last byte sits at the buffer's end.
            int length = pack_getc(stream);
            if (length == EOF)
                return GIF_TRUNCATED;
            if (length == 0)
                return GIF_FAILED;
            b = LZW_BUFFER_SIZE - length;
            if (pack_fread(buffer + b, length, stream) != length)
                return GIF_TRUNCATED;
            *bit_pos = b * BITS_PER_BYTE;
        }
        int bit = (buffer[b] >> (*bit_pos % BITS_PER_BYTE)) & 1;
        code |= bit << k;
        ++*bit_pos;
    }
    return code;
}

int lzw_unpack_frame(PACKFILE *stream, BITMAP *image)
{
    const int root_width = pack_getc(stream);
    if (root_width == EOF)
        return GIF_TRUNCATED;
    if (root_width > LZW_MAX_ROOT_WIDTH)
        return GIF_FAILED;

    LzwEntry table[LZW_TABLE_SIZE];
    unsigned char buffer[LZW_BUFFER_SIZE];
    int bit_pos = 0;

    const int clear = 1 << root_width;
    const int end = clear + 1;
    for (int i = 0; i <= end; ++i)
        table[i] = {0, i, 0};
    int next = clear + 2;
    int width = root_width + 1;
    // Treating the start like a clear code lets a stream that begins with
    // a pixel code decode that code as an ordinary one.
    int prev = clear;
    int64_t p = 0;

    for (;;) {
        const int code = lzw_get_bits(stream, buffer, &bit_pos, width);
        if (code < 0)
            return code;
        if (code == clear) {
            width = root_width + 1;
            next = clear + 2;
            prev = clear;
            continue;
        }
        if (code == end)
            return GIF_OK;

        // A code may name a string already in the table, or the one about
        // to be added (the previous string and its own first pixel).
        int w;
        if (code < next)
            w = code;
        else if (code == next && prev != clear)
            w = prev;
        else
            return GIF_FAILED;

        const int first = write_string(image, table, w, p);
        p += table[w].depth + 1;
        if (code != w) {
            set_pixel_at(image, p, first);
            ++p;
        }

        // A full table stays as it is until the next clear code.
        if (prev != clear && next < LZW_TABLE_SIZE) {
            table[next] = {prev, first, table[prev].depth + 1};
            ++next;
        }
        if (next >= (1 << width) && width < LZW_MAX_CODE_WIDTH)
            ++width;
        prev = code;
    }
}

int gif_reorder_interlaced(BITMAP *image)
{
    static const int pass_start[] = {0, 4, 2, 1};
    static const int pass_step[] = {8, 8, 4, 2};
    const int passes = 4;

    if (!image)
        return GIF_OK;
    BITMAP *ordered =
        create_bitmap_ex(bitmap_color_depth(image), image->w, image->h);
    if (!ordered)
        return GIF_FAILED;
    int source_row = 0;
    for (int pass = 0; pass < passes; ++pass) {
        for (int row = pass_start[pass]; row < image->h;
             row += pass_step[pass]) {
            blit(image, ordered, 0, source_row, 0, row, image->w, 1);
            ++source_row;
        }
    }
    blit(ordered, image, 0, 0, 0, 0, image->w, image->h);
    destroy_bitmap(ordered);
    return GIF_OK;
}
