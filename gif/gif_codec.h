// GIF codec for the graphics library's bitmap file-type registry: reads
// GIF87a and GIF89a files into documents of frames, draws frames onto
// bitmaps, and writes documents as GIF89a files.
#ifndef GIF_GIF_CODEC_H
#define GIF_GIF_CODEC_H

#include <allegro.h>

#include <cstdint>

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
    BITMAP *saved_area;            // area under the last disposal-3 frame
};

// Registers "gif" with the bitmap file-type registry and the document as
// a datafile object type (kept as library API: the program loads no
// datafiles).
void gif_codec_init();

// Registry loader: the last frame composed over the earlier ones, at the
// current colour depth; pal (may be null) receives the 6-bit palette.
// Null when the file cannot be read, with the reason in allegro_error (as
// gif_open_document and gif_read_frames leave it too).
BITMAP *gif_bitmap_loader(const char *filename, RGB *pal);

// Registry saver: one frame with a 256-entry local table; 0 or -1.
int gif_bitmap_saver(const char *filename, BITMAP *bmp, const RGB *pal);

// Where the reader departs from GIF89a, each named once here; the code and
// the tests refer to these names.
// - early-end: input that ends before the trailer keeps the frames read
//   whole before it; a frame cut short is dropped; none read: the file fails.
// - stray-bytes: bytes between blocks that start none are passed over, up
//   to what a file of the screen's size can hold (then as early-end).
// - root-widths: LZW root widths 0 to 11 are read, as browsers read them
//   (the standard has 2 to 8); 12 and above fail the file. A root code
//   stands for the index of its low 8 bits, so a code beyond the colour
//   table draws black up to 255 (missing-colours) and from 256 on draws
//   the table's colour of the code modulo 256 where there is one.
// - no-leading-clear: image data need not start with a clear code.
// - deferred-clear: a full code table stays as it is until a clear code.
// - end-code-needed: image data that stop (block terminator) before the
//   end code fail the file.
// - pixel-count: pixels beyond the image are dropped; those the data never
//   reach stay at index 0. Sub-blocks after the end code are skipped.
// - control-size: a graphic control block not of 4 bytes fails the file;
//   of several before an image the last counts; plain text extensions are
//   skipped, not drawn, and leave their control to the next image.
// - loop-count: no looping block, or one whose sub-block is not numbered
//   1, reads as loop count 0 (the writer's -1 for none is never read).
// - background: the background index is kept but not drawn: the screen
//   starts as, and disposal 2 restores to, the mask colour.
// - unknown-disposal: disposals 4 to 7 leave the frame in place.
// - missing-colours: indices beyond the frame's colour table, or with no
//   table at all, draw black.
// - off-screen: frames are clipped to the logical screen, and one that
//   would take its file past the memory bound keeps only its visible part
//   (a file still past it fails);
//   images of width or height 0 are read and have no bitmap; the loader
//   fails on a screen of width or height 0.
// Aspect ratio, colour resolution and sort flags are ignored.
GifDocument *gif_open_document(const char *filename);
// Parses the stream and closes it; size is ignored. What the frames of
// one file may hold is bounded by its logical screen (off-screen).
GifDocument *gif_parse_document(PACKFILE *stream, long size);
void gif_free_document(GifDocument *doc);
void gif_draw_frame(GifDocument *doc, BITMAP *dest, int index, int x, int y);

// Library API that nothing in the program calls: the program reaches the
// codec only through the registry's loader and saver.
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
