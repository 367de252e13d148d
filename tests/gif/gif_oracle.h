// The oracle that the GIF codec's fast paths are checked against: LZW
// decoding with the plain string table of prefix codes, codes read a bit
// at a time, pixels placed one by one, and frames drawn a pixel at a time
// through the library. The writer's tests trace its codes with the same
// table.
#ifndef GIF_TESTS_GIF_ORACLE_H
#define GIF_TESTS_GIF_ORACLE_H

#include <allegro.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gif_document.h"
#include "gif_reader_internal.h"
#include "gif_writer_internal.h"

// A decoder's string table, kept the plain way: for every string the code
// of its prefix, its last pixel and its depth (length minus one).
class LzwStrings {
public:
    enum Step { STRING, CLEAR, END, NO_STRING };

    // Root width 0 to LZW_MAX_ROOT_WIDTH.
    explicit LzwStrings(int root_width);
    // Width of the next code.
    int width() const { return width_; }
    // Takes the next code. STRING puts the string that the code names into
    // *pixels, first pixel first, and adds the table's next entry; the code
    // may name the entry about to be added. NO_STRING: the code names
    // nothing yet.
    Step take(int code, std::vector<int> *pixels);

private:
    int root_width_, clear_, end_;
    int next_, width_, prev_;
    std::vector<int> prefix_, last_, depth_;
};

// The codes of a data payload (the sub-blocks' bytes joined) as a decoder
// reads them, with the width of each and the pixels they spell; the trace
// ends at the end code, at a code that names nothing, or where the bits
// run out.
struct CodeTrace {
    std::vector<int> codes, widths;
    std::vector<int> pixels;
    bool ended = false;  // the end code was read
    size_t bits_used = 0;
};
CodeTrace trace_codes(int root_width, const std::string &payload);

// Reads an n-bit code, least significant bit first, from the image data's
// sub-blocks through buffer (LZW_BUFFER_SIZE bytes) and *bit_pos (0 before
// the first code). Returns the code, GIF_FAILED at a block terminator or
// GIF_TRUNCATED at the end of the input.
int lzw_get_bits(PACKFILE *stream, unsigned char *buffer, int *bit_pos, int n);

// Puts value at column i mod width, row i div width of an 8-bit bitmap;
// indices outside the bitmap are dropped.
void set_pixel_at(BITMAP *bitmap, int64_t i, int value);

// What lzw_unpack_frame must do: decodes one image's data into image (or
// drops the pixels when it is null), codes read with lzw_get_bits and
// pixels placed with set_pixel_at. GIF_OK, GIF_FAILED or GIF_TRUNCATED.
int oracle_unpack_frame(PACKFILE *stream, BITMAP *image);

// What gif_draw_frame must do: the disposal of the frame before, the area
// under the frame kept for its own disposal 3, then every pixel that is
// not transparent through putpixel, all clipped to the logical screen at
// (x, y).
void oracle_draw_frame(GifDocument *doc, BITMAP *dest, int index, int x,
                       int y);

// What gif_bitmap_loader must make of the document that the reader gives
// for path: its frames drawn with oracle_draw_frame onto a bitmap of the
// screen's size at the current depth; pal (not null) receives the 6-bit
// palette. Null where the loader gives none.
BITMAP *oracle_load(const std::string &path, RGB *pal);

#endif
