// GIF writer: the registry saver and the document's layout in a GIF89a
// file; the image data come from the LZW encoder.

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "colour_depth.h"
#include "file_io.h"
#include "gif_document.h"
#include "gif_writer_internal.h"

namespace {

// Descriptors' packed bytes: the screen's says colour resolution 7 and not
// sorted; an image's says neither interlaced nor sorted.
const int SCREEN_NO_TABLE = GIF_COLOR_RESOLUTION_8_BITS;
const int SCREEN_TABLE_PRESENT = GIF_TABLE_FLAG | GIF_COLOR_RESOLUTION_8_BITS;
const int IMAGE_NO_TABLE = 0x00;
const int IMAGE_TABLE_PRESENT = GIF_TABLE_FLAG;

bool fits_field(int value, int low, int high)
{
    return value >= low && value <= high;
}

bool table_fits(const GifColorTable &table)
{
    return fits_field(table.count, 0, GIF_TABLE_SIZE);
}

// Every value the file stores must fit its field, and every image must be
// a non-empty 8-bit memory bitmap, or the file would say something else
// than the document.
bool frame_fits(const GifFrameRecord &frame)
{
    BITMAP *image = frame.image;
    if (!image || bitmap_color_depth(image) != GIF_INDEX_DEPTH ||
        !is_memory_bitmap(image))
        return false;
    return fits_field(image->w, 1, GIF_FIELD_MAX) &&
           fits_field(image->h, 1, GIF_FIELD_MAX) &&
           fits_field(frame.left, 0, GIF_FIELD_MAX) &&
           fits_field(frame.top, 0, GIF_FIELD_MAX) &&
           fits_field(frame.delay, 0, GIF_FIELD_MAX) &&
           fits_field(frame.disposal, 0, GIF_DISPOSAL_BITS) &&
           fits_field(frame.transparent_idx, GIF_NO_TRANSPARENCY,
                      GIF_MAX_COLOR_INDEX) &&
           table_fits(frame.local_table);
}

bool document_fits(const GifDocument *doc)
{
    if (!doc || !fits_field(doc->screen_width, 0, GIF_FIELD_MAX) ||
        !fits_field(doc->screen_height, 0, GIF_FIELD_MAX) ||
        !fits_field(doc->bg_idx, 0, GIF_MAX_COLOR_INDEX) ||
        !fits_field(doc->loop_count, GIF_NO_LOOPING, GIF_FIELD_MAX) ||
        !table_fits(doc->global_table) || doc->frame_count < 0 ||
        (doc->frame_count > 0 && !doc->frame_list))
        return false;
    for (int i = 0; i < doc->frame_count; ++i)
        if (!frame_fits(doc->frame_list[i]))
            return false;
    return true;
}

void write_screen(PACKFILE *f, const GifDocument *doc)
{
    pack_fwrite(GIF_SIGNATURE_89A, GIF_SIGNATURE_LENGTH, f);
    pack_iputw(doc->screen_width, f);
    pack_iputw(doc->screen_height, f);
    const int n = gif_table_bits(doc->global_table.count);
    pack_putc(n > 0 ? SCREEN_TABLE_PRESENT + n - 1 : SCREEN_NO_TABLE, f);
    pack_putc(doc->bg_idx, f);
    pack_putc(GIF_PIXEL_ASPECT_NONE, f);
    if (n > 0)
        gif_write_color_table(f, &doc->global_table, n);
}

void write_looping_block(PACKFILE *f, int loop_count)
{
    pack_putc(GIF_EXTENSION_INTRODUCER, f);
    pack_putc(GIF_LABEL_APPLICATION, f);
    pack_putc(GIF_APPLICATION_ID_SIZE, f);
    pack_fwrite(GIF_LOOPING_APPLICATION, GIF_APPLICATION_ID_SIZE, f);
    pack_putc(GIF_LOOPING_SUB_BLOCK_SIZE, f);
    pack_putc(GIF_LOOPING_SUB_BLOCK_ID, f);
    pack_iputw(loop_count, f);
    pack_putc(GIF_BLOCK_TERMINATOR, f);
}

void write_graphic_control(PACKFILE *f, const GifFrameRecord &frame)
{
    const bool transparent = frame.transparent_idx != GIF_NO_TRANSPARENCY;
    pack_putc(GIF_EXTENSION_INTRODUCER, f);
    pack_putc(GIF_LABEL_GRAPHIC_CONTROL, f);
    pack_putc(GIF_GRAPHIC_CONTROL_SIZE, f);
    pack_putc((frame.disposal << GIF_DISPOSAL_SHIFT) |
                  (transparent ? GIF_TRANSPARENT_FLAG : 0),
              f);
    pack_iputw(frame.delay, f);
    pack_putc(transparent ? frame.transparent_idx : 0, f);
    pack_putc(GIF_BLOCK_TERMINATOR, f);
}

int write_frame(PACKFILE *f, const GifFrameRecord &frame)
{
    write_graphic_control(f, frame);
    pack_putc(GIF_IMAGE_SEPARATOR, f);
    pack_iputw(frame.left, f);
    pack_iputw(frame.top, f);
    pack_iputw(frame.image->w, f);
    pack_iputw(frame.image->h, f);
    const int n = gif_table_bits(frame.local_table.count);
    pack_putc(n > 0 ? IMAGE_TABLE_PRESENT + n - 1 : IMAGE_NO_TABLE, f);
    if (n > 0)
        gif_write_color_table(f, &frame.local_table, n);
    if (lzw_pack_frame(f, frame.image) != 0)
        return -1;
    pack_putc(GIF_BLOCK_TERMINATOR, f);
    return 0;
}

int write_body(PACKFILE *f, const GifDocument *doc)
{
    write_screen(f, doc);
    if (doc->loop_count != GIF_NO_LOOPING)
        write_looping_block(f, doc->loop_count);
    for (int i = 0; i < doc->frame_count; ++i)
        if (write_frame(f, doc->frame_list[i]) != 0)
            return -1;
    pack_putc(GIF_FILE_TRAILER, f);
    return 0;
}

// A packfile over a stdio stream, for writing. The library's own file
// packfile does not report a failure of the flush it makes on close, so a
// full disk would pass as success; stdio reports every failed write
// through ferror and the last flush through fclose.
FILE *stdio_file(void *userdata) { return static_cast<FILE *>(userdata); }
int stdio_fclose(void *f) { return std::fclose(stdio_file(f)) == 0 ? 0 : -1; }
int stdio_getc(void *) { return EOF; }
int stdio_ungetc(int, void *) { return EOF; }
long stdio_fread(void *, long, void *) { return 0; }
int stdio_putc(int c, void *f) { return std::fputc(c, stdio_file(f)); }
long stdio_fwrite(const void *p, long n, void *f)
{
    return static_cast<long>(
        std::fwrite(p, 1, static_cast<size_t>(n), stdio_file(f)));
}
int stdio_fseek(void *, int) { return -1; }
int stdio_feof(void *f) { return std::feof(stdio_file(f)); }
int stdio_ferror(void *f) { return std::ferror(stdio_file(f)); }

const PACKFILE_VTABLE STDIO_WRITER = {
    stdio_fclose, stdio_getc,  stdio_ungetc, stdio_fread, stdio_putc,
    stdio_fwrite, stdio_fseek, stdio_feof,   stdio_ferror};

PACKFILE *open_for_writing(const char *name)
{
    FILE *file = create_named_file(name);
    if (!file)
        return nullptr;
    PACKFILE *f = pack_fopen_vtable(&STDIO_WRITER, file);
    if (!f)
        std::fclose(file);
    return f;
}

}  // namespace

int gif_table_bits(int count)
{
    int n = 0;
    while ((1 << n) < count)
        ++n;
    return n;
}

void gif_write_color_table(PACKFILE *stream, const GifColorTable *table,
                           int n)
{
    const int entries = std::min(1 << n, GIF_TABLE_SIZE);
    for (int i = 0; i < entries; ++i) {
        pack_putc(table->entries[i].r, stream);
        pack_putc(table->entries[i].g, stream);
        pack_putc(table->entries[i].b, stream);
    }
}

int gif_write_document(const char *filename, const GifDocument *doc)
{
    if (!filename || !document_fits(doc))
        return -1;
    PACKFILE *f = open_for_writing(filename);
    if (!f)
        return -1;
    bool ok = write_body(f, doc) == 0 && !pack_ferror(f);
    if (pack_fclose(f) != 0)
        ok = false;
    if (!ok) {
        // No truncated file that looks like a GIF is left; only a
        // regular file is removed, never a device that was written to.
        remove_named_regular_file(filename);
        return -1;
    }
    return 0;
}

int gif_bitmap_saver(const char *filename, BITMAP *bmp, const RGB *pal)
{
    if (!filename || !bmp || !fits_field(bmp->w, 1, GIF_FIELD_MAX) ||
        !fits_field(bmp->h, 1, GIF_FIELD_MAX))
        return -1;
    BITMAP *copy = create_bitmap_ex(GIF_INDEX_DEPTH, bmp->w, bmp->h);
    if (!copy)
        return -1;
    // Other depths are reduced through the current palette (and rgb_map).
    blit(bmp, copy, 0, 0, 0, 0, bmp->w, bmp->h);

    PALETTE current;
    if (!pal) {
        get_palette(current);
        pal = current;
    }

    GifDocument doc = {};
    GifFrameRecord frame = {};
    doc.screen_width = bmp->w;
    doc.screen_height = bmp->h;
    doc.frame_count = 1;
    doc.bg_idx = 0;
    doc.loop_count = GIF_NO_LOOPING;
    doc.global_table.count = 0;
    doc.frame_list = &frame;
    frame.image = copy;
    frame.local_table.count = GIF_TABLE_SIZE;
    // Only the low 6 bits: the scaling table has 64 entries.
    for (int i = 0; i < GIF_TABLE_SIZE; ++i) {
        RGB &e = frame.local_table.entries[i];
        e.r = static_cast<unsigned char>(
            _rgb_scale_6[pal[i].r & PALETTE_COMPONENT_MASK]);
        e.g = static_cast<unsigned char>(
            _rgb_scale_6[pal[i].g & PALETTE_COMPONENT_MASK]);
        e.b = static_cast<unsigned char>(
            _rgb_scale_6[pal[i].b & PALETTE_COMPONENT_MASK]);
    }
    frame.transparent_idx = GIF_NO_TRANSPARENCY;

    const int result = gif_write_document(filename, &doc);
    destroy_bitmap(copy);
    return result;
}
