// Reading GIF87a and GIF89a files into documents of frames, and the
// codec's registration with the graphics library.
#include "gif_reader_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bitmap_size.h"
#include "file_bound.h"

int64_t gif_max_screen_pixels = INT64_MAX;
// Room for long animations of small screens, and well below what a
// hostile file could otherwise make the reader take.
int64_t gif_frame_allowance = int64_t(64) << 20;

namespace {

const int GIF_DATAFILE_TYPE = DAT_ID('G', 'I', 'F', ' ');

// A logical screen must fit the loader's result at the largest depth.
const int LARGEST_BYTES_PER_PIXEL = 4;
const int BYTES_PER_INDEX = 1;

// The state of one parse: the frame being gathered and what the frames
// read so far hold, against the bound of the file's screen.
struct ParseState {
    GifFrameRecord pending;
    int64_t held;    // bytes of frame records and pixels
    int64_t bound;
};

void reset_pending(GifFrameRecord *pending)
{
    std::memset(pending, 0, sizeof *pending);
    pending->transparent_idx = GIF_NO_TRANSPARENCY;
}

bool read_signature(PACKFILE *f)
{
    for (int i = 0; i < GIF_SIGNATURE_PREFIX_LENGTH; ++i) {
        if (pack_getc(f) != GIF_SIGNATURE_PREFIX[i])
            return false;
    }
    int version = pack_getc(f);
    if (version != GIF_VERSION_87 && version != GIF_VERSION_89)
        return false;
    return pack_getc(f) == GIF_SIGNATURE_END;
}

// Reads the table announced by a packed descriptor byte, if any.
int read_table_if_present(PACKFILE *f, int packed, GifColorTable *table)
{
    if (!(packed & GIF_TABLE_FLAG))
        return GIF_OK;
    table->count = 2 << (packed & GIF_TABLE_SIZE_BITS);
    return gif_read_color_table(f, table);
}

int read_screen_descriptor(PACKFILE *f, GifDocument *doc)
{
    int width = pack_igetw(f);
    int height = pack_igetw(f);
    int packed = pack_getc(f);
    int bg = pack_getc(f);
    int aspect = pack_getc(f);
    if (width == EOF || height == EOF || packed == EOF || bg == EOF ||
        aspect == EOF)
        return GIF_TRUNCATED;
    if (int64_t(width) * height > gif_max_screen_pixels ||
        !gif_bitmap_fits(width, height, LARGEST_BYTES_PER_PIXEL))
        return gif_fail("its screen of %d x %d pixels is more than a bitmap "
                        "can hold", width, height);
    doc->screen_width = width;
    doc->screen_height = height;
    doc->bg_idx = bg;
    return read_table_if_present(f, packed, &doc->global_table);
}

// Skips data sub-blocks, the first of length size, through the block
// terminator.
int skip_sub_blocks(PACKFILE *f, int size)
{
    unsigned char scratch[LZW_BUFFER_SIZE];
    while (size != 0) {
        if (size == EOF || pack_fread(scratch, size, f) != size)
            return GIF_TRUNCATED;
        size = pack_getc(f);
    }
    return GIF_OK;
}

int append_frame(GifDocument *doc, const GifFrameRecord *frame)
{
    if (doc->frame_count == INT32_MAX)
        return gif_fail("more than %d images", INT32_MAX - 1);
    size_t bytes = (static_cast<size_t>(doc->frame_count) + 1) *
                   sizeof(GifFrameRecord);
    void *grown = std::realloc(doc->frame_list, bytes);
    if (!grown)
        return gif_fail("out of memory for %d image records",
                        doc->frame_count + 1);
    doc->frame_list = static_cast<GifFrameRecord *>(grown);
    doc->frame_list[doc->frame_count] = *frame;
    ++doc->frame_count;
    return GIF_OK;
}

// What a frame holds beyond its pixels.
const int64_t FRAME_RECORD_BYTES = sizeof(GifFrameRecord);

// An image after its separator. The graphic control values gathered in
// state->pending go with it; they are reset once the frame is appended.
int read_image(PACKFILE *f, GifDocument *doc, ParseState *state)
{
    GifFrameRecord *pending = &state->pending;
    int left = pack_igetw(f);
    int top = pack_igetw(f);
    int width = pack_igetw(f);
    int height = pack_igetw(f);
    int packed = pack_getc(f);
    if (left == EOF || top == EOF || width == EOF || height == EOF ||
        packed == EOF)
        return GIF_TRUNCATED;
    if (!gif_bitmap_fits(width, height, BYTES_PER_INDEX))
        return gif_fail("an image of %d x %d pixels is more than a bitmap "
                        "can hold", width, height);
    if (state->held + FRAME_RECORD_BYTES > state->bound)
        return gif_over_bound(doc);
    pending->left = left;
    pending->top = top;
    int rc = read_table_if_present(f, packed, &pending->local_table);
    if (rc != GIF_OK)
        return rc;

    // An image of width or height 0 has no bitmap; its data are still read.
    BITMAP *image = nullptr;
    int64_t held_pixels = 0;
    if (width > 0 && height > 0)
        rc = gif_read_frame_pixels(
            f, doc, left, top, width, height,
            (packed & GIF_INTERLACE_FLAG) != 0,
            state->bound - state->held - FRAME_RECORD_BYTES, &image,
            &held_pixels);
    else
        rc = lzw_unpack_frame(f, nullptr);
    if (rc == GIF_OK) {
        pending->image = image;
        rc = append_frame(doc, pending);
    }
    if (rc != GIF_OK) {
        if (image)
            destroy_bitmap(image);
        pending->image = nullptr;
        return rc;
    }
    state->held += FRAME_RECORD_BYTES + held_pixels;
    reset_pending(pending);

    // Whatever follows the end code up to the block terminator is part of
    // the image data and must not be taken for blocks (pixel-count). The
    // end of the input here leaves the image whole; the block loop sees
    // the end next.
    skip_sub_blocks(f, pack_getc(f));
    return GIF_OK;
}

int read_graphic_control(PACKFILE *f, GifFrameRecord *pending)
{
    int packed = pack_getc(f);
    int delay = pack_igetw(f);
    int transparent = pack_getc(f);
    if (packed == EOF || delay == EOF || transparent == EOF)
        return GIF_TRUNCATED;
    pending->disposal = (packed >> GIF_DISPOSAL_SHIFT) & GIF_DISPOSAL_BITS;
    pending->delay = delay;
    pending->transparent_idx =
        (packed & GIF_TRANSPARENT_FLAG) ? transparent : GIF_NO_TRANSPARENCY;
    return GIF_OK;
}

// The application block's identifier has been read and *size holds the
// next sub-block's length; reads the looping sub-block if it is one
// (loop-count).
int read_looping_block(PACKFILE *f, GifDocument *doc, int *size)
{
    int id = pack_getc(f);
    int count = pack_igetw(f);
    if (id == EOF || count == EOF)
        return GIF_TRUNCATED;
    doc->loop_count = id == GIF_LOOPING_SUB_BLOCK_ID ? count : 0;
    *size = pack_getc(f);
    return GIF_OK;
}

// An extension after its introducer. Sub-blocks that are not understood
// are skipped whole.
int read_extension(PACKFILE *f, GifDocument *doc, GifFrameRecord *pending)
{
    int label = pack_getc(f);
    int size = pack_getc(f);
    if (label == EOF || size == EOF)
        return GIF_TRUNCATED;
    if (label == GIF_LABEL_GRAPHIC_CONTROL) {
        if (size != GIF_GRAPHIC_CONTROL_SIZE)   // control-size
            return gif_fail("a graphic control block of %d bytes, not %d",
                            size, GIF_GRAPHIC_CONTROL_SIZE);
        int rc = read_graphic_control(f, pending);
        if (rc != GIF_OK)
            return rc;
        size = pack_getc(f);
    } else if (label == GIF_LABEL_APPLICATION &&
               size == GIF_APPLICATION_ID_SIZE) {
        char id[GIF_APPLICATION_ID_SIZE];
        if (pack_fread(id, GIF_APPLICATION_ID_SIZE, f) !=
            GIF_APPLICATION_ID_SIZE)
            return GIF_TRUNCATED;
        size = pack_getc(f);
        if (size == GIF_LOOPING_SUB_BLOCK_SIZE &&
            std::memcmp(id, GIF_LOOPING_APPLICATION,
                        GIF_APPLICATION_ID_SIZE) == 0) {
            int rc = read_looping_block(f, doc, &size);
            if (rc != GIF_OK)
                return rc;
        }
    }
    return skip_sub_blocks(f, size);
}

// Blocks up to the trailer, stray bytes passed over (stray-bytes): a
// sparse file of gigabytes would otherwise be read through.
int read_blocks(PACKFILE *f, GifDocument *doc)
{
    int64_t stray_left = image_file_max_bytes(doc->screen_width,
                                              doc->screen_height);
    ParseState state;
    reset_pending(&state.pending);
    state.held = 0;
    state.bound = gif_frame_bound(doc);
    for (;;) {
        int rc = GIF_OK;
        switch (pack_getc(f)) {
        case EOF:
            return GIF_TRUNCATED;
        case GIF_FILE_TRAILER:
            return GIF_OK;
        case GIF_IMAGE_SEPARATOR:
            rc = read_image(f, doc, &state);
            break;
        case GIF_EXTENSION_INTRODUCER:
            rc = read_extension(f, doc, &state.pending);
            break;
        default:
            if (--stray_left < 0)
                return GIF_TRUNCATED;
            break;
        }
        if (rc != GIF_OK)
            return rc;
    }
}

void *load_datafile_object(PACKFILE *f, long size)
{
    (void)size;
    return gif_parse_stream(f);
}

void destroy_datafile_object(void *data)
{
    gif_free_document(static_cast<GifDocument *>(data));
}

}  // namespace

bool gif_bitmap_fits(int64_t width, int64_t height, int bytes_per_pixel)
{
    // An image without pixels gets no bitmap: nothing to allocate.
    if (width == 0 || height == 0)
        return width >= 0 && height >= 0 && bytes_per_pixel > 0;
    return bitmap_fits(width, height, bytes_per_pixel);
}

void gif_codec_init()
{
    register_bitmap_file_type("gif", gif_bitmap_loader, gif_bitmap_saver);
    register_datafile_object(GIF_DATAFILE_TYPE, load_datafile_object,
                             destroy_datafile_object);
}

int gif_read_color_table(PACKFILE *stream, GifColorTable *table)
{
    const int entry_bytes = 3;
    unsigned char raw[GIF_TABLE_SIZE * entry_bytes];
    int count = table->count;
    if (count < 0 || count > GIF_TABLE_SIZE)
        return GIF_FAILED;
    if (pack_fread(raw, count * entry_bytes, stream) != count * entry_bytes)
        return GIF_TRUNCATED;
    for (int i = 0; i < count; ++i) {
        table->entries[i].r = raw[i * entry_bytes];
        table->entries[i].g = raw[i * entry_bytes + 1];
        table->entries[i].b = raw[i * entry_bytes + 2];
    }
    return GIF_OK;
}

GifDocument *gif_parse_stream(PACKFILE *stream)
{
    if (!stream)
        return nullptr;
    GifDocument *doc =
        static_cast<GifDocument *>(std::calloc(1, sizeof(GifDocument)));
    if (!doc) {
        gif_fail("out of memory for a document");
        return nullptr;
    }
    int rc = read_signature(stream)
                 ? read_screen_descriptor(stream, doc)
                 : gif_fail("not a GIF file (no GIF signature)");
    if (rc == GIF_OK)
        rc = read_blocks(stream, doc);
    // Input that ends before the trailer keeps the whole images read so far
    // (early-end).
    if (rc == GIF_OK || (rc == GIF_TRUNCATED && doc->frame_count > 0))
        return doc;
    if (rc == GIF_TRUNCATED)
        gif_fail("the file ends before its first image is whole");
    gif_free_document(doc);
    return nullptr;
}

GifDocument *gif_parse_document(PACKFILE *stream, long size)
{
    (void)size;
    if (!stream)
        return nullptr;
    GifDocument *doc = gif_parse_stream(stream);
    pack_fclose(stream);
    return doc;
}

GifDocument *gif_open_document(const char *filename)
{
    if (!filename)
        return nullptr;
    PACKFILE *f = pack_fopen(filename, F_READ);
    if (!f) {
        gif_fail("%s", std::strerror(errno));
        return nullptr;
    }
    return gif_parse_document(f, 0);
}

GifDocument *gif_new_document(int frame_count)
{
    if (frame_count < 0)
        return nullptr;
    GifDocument *doc =
        static_cast<GifDocument *>(std::calloc(1, sizeof(GifDocument)));
    if (!doc)
        return nullptr;
    if (frame_count > 0) {
        doc->frame_list = static_cast<GifFrameRecord *>(
            std::calloc(frame_count, sizeof(GifFrameRecord)));
        if (!doc->frame_list) {
            std::free(doc);
            return nullptr;
        }
    }
    doc->frame_count = frame_count;
    return doc;
}

void gif_free_document(GifDocument *doc)
{
    if (!doc)
        return;
    for (int i = 0; doc->frame_list && i < doc->frame_count; ++i) {
        if (doc->frame_list[i].image)
            destroy_bitmap(doc->frame_list[i].image);
    }
    if (doc->saved_area)
        destroy_bitmap(doc->saved_area);
    std::free(doc->frame_list);
    std::free(doc);
}
