// Internal routines of the GIF reader, shared by its source files, its
// tests and its fuzz target.
#ifndef GIF_GIF_READER_INTERNAL_H
#define GIF_GIF_READER_INTERNAL_H

#include "gif_codec.h"

#include <cstdint>

// Results of the reading routines. A stream that ends early is told apart
// from corrupt data so that the parser can keep the frames it has read.
const int GIF_OK = 0;
const int GIF_FAILED = -1;
const int GIF_TRUNCATED = -2;

// Working storage of the LZW decoder.
const int LZW_BUFFER_SIZE = 256;      // one data sub-block at most
const int LZW_TABLE_SIZE = 4096;      // codes of up to 12 bits
const int LZW_MAX_CODE_WIDTH = 12;
const int LZW_MAX_ROOT_WIDTH = 11;    // roots, clear and end must fit the table

// Largest pixel count accepted for one image or logical screen, on top of
// what the graphics library can allocate. Without a limit by default; the
// fuzz target lowers it to keep its runs small.
extern int64_t gif_max_pixels;

// True when the library can allocate a bitmap of width x height at
// bytes_per_pixel (it sizes pixel memory in int) within gif_max_pixels.
bool gif_bitmap_fits(int64_t width, int64_t height, int bytes_per_pixel);

// Parses a GIF from the stream like gif_parse_document, but leaves the
// stream open (the datafile reader closes its own streams).
GifDocument *gif_parse_stream(PACKFILE *stream);

// Reads table->count entries of three bytes (red, green, blue); GIF_OK or
// GIF_TRUNCATED.
int gif_read_color_table(PACKFILE *stream, GifColorTable *table);

// The reader's hot paths (decoding, drawing frames) each have a plain
// per-pixel form that the fast form must match byte for byte. True selects
// the plain forms everywhere; the tests compare the two.
extern bool gif_use_reference_paths;

// Decodes one image's data, from the root width through the end code, into
// image (null for an image without pixels: the data are read and dropped).
// GIF_OK, GIF_FAILED or GIF_TRUNCATED. Pixels beyond the image are dropped.
int lzw_unpack_frame(PACKFILE *stream, BITMAP *image);

// The plain form of lzw_unpack_frame: codes read a bit at a time with
// lzw_get_bits, pixels placed one by one with set_pixel_at. Also taken for
// an image whose rows are not one run of memory.
int lzw_unpack_frame_reference(PACKFILE *stream, BITMAP *image);

// Reads an n-bit code, least significant bit first, from the image data's
// sub-blocks through buffer (LZW_BUFFER_SIZE bytes) and *bit_pos (0 before
// the first code). Returns the code, GIF_FAILED at a block terminator or
// GIF_TRUNCATED at the end of the input.
int lzw_get_bits(PACKFILE *stream, unsigned char *buffer, int *bit_pos, int n);

// Puts value at column i mod width, row i div width of an 8-bit bitmap;
// indices outside the bitmap are dropped.
void set_pixel_at(BITMAP *bitmap, int64_t i, int value);

// Moves rows from transmission order (passes of every 8th row from 0, every
// 8th from 4, every 4th from 2, every 2nd from 1) into display order.
// GIF_OK, or GIF_FAILED when no scratch bitmap can be made.
int gif_reorder_interlaced(BITMAP *image);

// A read-only packfile over size bytes at data, which must outlive it.
PACKFILE *gif_open_memory(const void *data, long size);

#endif
