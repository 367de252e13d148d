// Internal to gif/ and its tests: the documents of frames that the reader
// fills and the writer writes, and the drawing of their frames. The
// program reaches the codec only through the registry (gif_codec.h).
#ifndef GIF_GIF_DOCUMENT_H
#define GIF_GIF_DOCUMENT_H

#include <allegro.h>

#include <cstdint>

#include "gif_codec.h"

// Number of entries in a colour table.
const int GIF_TABLE_SIZE = 256;

struct GifColorTable {
    int32_t count;                 // valid entries; 0 when absent
    RGB entries[GIF_TABLE_SIZE];   // full 8-bit components; filler unused
};

struct GifFrameRecord {
    // The image's 8-bit colour indices, owned, at the size its descriptor
    // gives; for a frame that would take its file past the reader's memory
    // bound (a few screens), only the part on the logical screen. Null for
    // an image of width or height 0, or with nothing on the screen then.
    BITMAP *image;
    GifColorTable local_table;
    int32_t left, top;
    int32_t delay;                 // hundredths of a second
    int32_t disposal;              // 0 to 7
    int32_t transparent_idx;       // -1 for none
};

struct GifDocument {
    int32_t screen_width, screen_height;
    int32_t frame_count;
    int32_t bg_idx;
    int32_t loop_count;            // -1: no looping block
    GifColorTable global_table;
    GifFrameRecord *frame_list;    // frame_count records, owned
    // Drawing state: the area under the last disposal-3 frame.
    BITMAP *saved_area;
};

// Reads a file with the departures that gif_codec.h lists.
GifDocument *gif_open_document(const char *filename);
// Parses the stream and closes it; size is ignored. What the frames of
// one file may hold is bounded by its logical screen (off-screen).
GifDocument *gif_parse_document(PACKFILE *stream, long size);
void gif_free_document(GifDocument *doc);
void gif_draw_frame(GifDocument *doc, BITMAP *dest, int index, int x, int y);

// A zero-filled document of frame_count zero-filled frames, to fill in and
// write.
GifDocument *gif_new_document(int frame_count);
// Every frame finished at the screen's size and the current depth, and
// their delays (delays may be null); returns the frame count, 0 when the
// file gives no frames. The caller frees the arrays with free() and
// destroys the bitmaps.
int gif_read_frames(const char *filename, BITMAP ***frames, int **delays);

// Writes the document as a GIF89a file; 0 or -1.
int gif_write_document(const char *filename, const GifDocument *doc);

#endif
