// Building blocks of the GIF writer, shared with its tests.
#ifndef GIF_GIF_WRITER_INTERNAL_H
#define GIF_GIF_WRITER_INTERNAL_H

#include <cstdint>

#include "gif_document.h"
#include "gif_format.h"

// Number of times 1 has to be doubled to reach count: 0 for 0 or 1 (no
// table written), 8 for 129 to 256.
int gif_table_bits(int count);

// Writes entries 0 to 2^n - 1 of table as red, green, blue bytes.
void gif_write_color_table(PACKFILE *stream, const GifColorTable *table,
                           int n);

// Writes the root width byte and the data sub-blocks of one 8-bit image,
// without the block terminator. Returns 0, or -1 when the stream failed
// (encoding stops at the first row after the failure).
int lzw_pack_frame(PACKFILE *stream, BITMAP *image);

// Appends the n low bits of value to the sub-block buffer at *bit_pos,
// least significant first; a full sub-block of 255 bytes goes out at once.
// The spare bits of a started byte are 0.
void lzw_put_bits(PACKFILE *stream, unsigned char *buffer, int *bit_pos,
                  int n, int value);

// Smallest width from 2 upwards whose 2^width exceeds every pixel value.
int lzw_root_width(BITMAP *image);

// Pixel i of an 8-bit memory bitmap in row-major order.
int pixel_at(BITMAP *bitmap, int64_t i);

#endif
