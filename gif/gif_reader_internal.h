// Internal routines of the GIF reader, shared by its source files, its
// tests and its fuzz target.
#ifndef GIF_GIF_READER_INTERNAL_H
#define GIF_GIF_READER_INTERNAL_H

#include "gif_codec.h"
#include "gif_format.h"

#include <cstdint>

// Results of the reading routines. A stream that ends early is told apart
// from corrupt data so that the parser can keep the frames it has read.
const int GIF_OK = 0;
const int GIF_FAILED = -1;
const int GIF_TRUNCATED = -2;

// Says why the file cannot be read: the reason, formatted as printf
// does, goes to allegro_error for the registry's caller. Returns
// GIF_FAILED.
int gif_fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
// gif_fail for a bitmap of width x height indices that cannot be had.
int gif_out_of_memory(int64_t width, int64_t height);

// Largest logical screen accepted, in pixels, on top of what the graphics
// library can allocate. Without a limit by default; the fuzz target lowers
// it to keep its runs small.
extern int64_t gif_max_screen_pixels;

// What one file may make the reader hold for its frames (records and
// pixels, scratch included) is bounded by what can be seen:
// GIF_SCREENS_OF_FRAMES bytes a screen pixel plus gif_frame_allowance
// bytes. Within the bound every frame keeps all its pixels; a frame that
// would exceed it keeps only the part on the screen, and a file whose
// visible parts still exceed it fails. The fuzz target lowers the
// allowance so that its small inputs reach the visible-part path.
const int GIF_SCREENS_OF_FRAMES = 4;
extern int64_t gif_frame_allowance;
// The bound for a file of doc's screen, and gif_fail saying it is passed.
int64_t gif_frame_bound(const GifDocument *doc);
int gif_over_bound(const GifDocument *doc);

// True when the library can allocate a bitmap of width x height at
// bytes_per_pixel (bitmap_fits), or when either side is 0: such an image
// has no bitmap.
bool gif_bitmap_fits(int64_t width, int64_t height, int bytes_per_pixel);

// Parses a GIF from the stream like gif_parse_document, but leaves the
// stream open (the datafile reader closes its own streams).
GifDocument *gif_parse_stream(PACKFILE *stream);

// Reads table->count entries of three bytes (red, green, blue); GIF_OK or
// GIF_TRUNCATED.
int gif_read_color_table(PACKFILE *stream, GifColorTable *table);

// Decodes one image's data, from the root width through the end code, into
// image, an 8-bit memory bitmap (null for an image without pixels: the
// data are read and dropped), in the order of the file: pixel p at column
// p mod width, row p div width. GIF_OK, GIF_FAILED or GIF_TRUNCATED.
// Pixels beyond the image are dropped; those the data never reach keep
// their values. The stream is left just after the sub-block that holds
// the end code.
int lzw_unpack_frame(PACKFILE *stream, BITMAP *image);

// Decodes the data of an image of width x height (both above 0) at (left,
// top) into a new bitmap stored in *image: all of it when that and its
// scratch take at most room bytes, else only the part on the screen (null
// when none of it shows). *held receives the bytes kept. GIF_FAILED when
// even the visible part and its scratch would take more than room.
int gif_read_frame_pixels(PACKFILE *stream, const GifDocument *doc, int left,
                          int top, int width, int height, bool interlaced,
                          int64_t room, BITMAP **image, int64_t *held);

// Decodes one image's data of width x height like lzw_unpack_frame, but
// keeps only its top-left visible_width x visible_height pixels, in
// display order (rows reordered when interlaced), in a new bitmap stored
// in *kept (null when nothing is kept). Only the rows up to the last one
// kept are held while decoding; the rest are decoded and dropped.
int lzw_unpack_visible(PACKFILE *stream, int width, int height,
                       bool interlaced, int visible_width,
                       int visible_height, BITMAP **kept);

// Rows of an image's data that lzw_unpack_visible holds to keep its first
// visible_height display rows: visible_height, or more when interlaced.
int gif_rows_to_decode(int height, bool interlaced, int visible_height);

// Moves rows from transmission order (passes of every 8th row from 0, every
// 8th from 4, every 4th from 2, every 2nd from 1) into display order.
// GIF_OK, or GIF_FAILED when no scratch bitmap can be made.
int gif_reorder_interlaced(BITMAP *image);

// A read-only packfile over size bytes at data, which must outlive it.
PACKFILE *gif_open_memory(const void *data, long size);

#endif
