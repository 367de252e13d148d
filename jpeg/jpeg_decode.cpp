// Decoding with libjpeg. Its errors end in longjmp back to the session's
// one setjmp, never in exit; the functions between the two hold nothing
// that needs a destructor.
#include "jpeg_codec.h"

#include <allegro/internal/aintern.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

#include "bitmap_size.h"
#include "colour_depth.h"
#include "file_bound.h"

int64_t jpeg_max_pixels = INT64_MAX;

namespace {

const int DECODED_DEPTH = TRUECOLOR_24;
const int RGB_COMPONENTS = 3;
const int CMYK_COMPONENTS = 4;
// The registry may convert the result to 32 bits.
const int LARGEST_BYTES_PER_PIXEL = 4;
const size_t READ_CHUNK_BYTES = 64 * 1024;
const size_t READ_AFTER_SEEK_BYTES = 4096;
const int MAX_COMPONENT = 255;

struct ErrorTrap {
    jpeg_error_mgr pub;  // first, so that cinfo->err leads here
    jmp_buf jump;
    char reason[ALLEGRO_ERROR_SIZE];
};

[[noreturn]] void fail_with(j_common_ptr cinfo, const char *reason)
{
    ErrorTrap *trap = reinterpret_cast<ErrorTrap *>(cinfo->err);
    std::snprintf(trap->reason, sizeof trap->reason, "%s", reason);
    std::longjmp(trap->jump, 1);
}

[[noreturn]] void libjpeg_error(j_common_ptr cinfo)
{
    char text[JMSG_LENGTH_MAX];
    cinfo->err->format_message(cinfo, text);
    fail_with(cinfo, text);
}

// Warnings that leave the pixels as the file holds them: an unknown JFIF
// version or Adobe transform code, a broken colour profile, stray bytes
// between segments.
bool harmless_warning(int code)
{
    return code == JWRN_JFIF_MAJOR || code == JWRN_ADOBE_XFORM ||
           code == JWRN_BOGUS_ICC || code == JWRN_EXTRANEOUS_DATA;
}

// Level -1 is a warning; the others mean corrupt data that libjpeg would
// patch over (grey blocks, a fake end of file), refused, as a patched
// tile is a wrong map. Trace messages (levels 0 and up) are not wanted.
void libjpeg_message(j_common_ptr cinfo, int level)
{
    if (level < 0 && !harmless_warning(cinfo->err->msg_code))
        libjpeg_error(cinfo);
}

void count_scans(j_common_ptr cinfo)
{
    const j_decompress_ptr d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > JPEG_MAX_SCANS) {
        char text[ALLEGRO_ERROR_SIZE];
        // Worded as the reference decoder's own limit says it.
        std::snprintf(text, sizeof text,
                      "Scan number %d exceeds maximum scans (%d)",
                      d->input_scan_number, JPEG_MAX_SCANS);
        fail_with(cinfo, text);
    }
}

// A source that reads a stream in chunks, no further than limit bytes.
struct FileSource {
    jpeg_source_mgr pub;  // first, so that cinfo->src leads here
    FILE *file;
    int64_t taken, limit;
    size_t next_read;  // small after a seek: the next marker is near
    JOCTET chunk[READ_CHUNK_BYTES];
};

void init_source(j_decompress_ptr) {}
void term_source(j_decompress_ptr) {}

boolean fill_input_buffer(j_decompress_ptr cinfo)
{
    FileSource *src = reinterpret_cast<FileSource *>(cinfo->src);
    size_t n = std::fread(src->chunk, 1, src->next_read, src->file);
    src->next_read = sizeof src->chunk;
    if (n == 0) {
        if (std::ferror(src->file)) {
            char text[ALLEGRO_ERROR_SIZE];
            std::snprintf(text, sizeof text, "cannot read the file: %s",
                          std::strerror(errno));
            fail_with(reinterpret_cast<j_common_ptr>(cinfo), text);
        }
        if (src->taken == 0)
            ERREXIT(cinfo, JERR_INPUT_EMPTY);
        WARNMS(cinfo, JWRN_JPEG_EOF);
        // Not reached: the warning is an error here. As libjpeg's own
        // source does otherwise, end the data with an end of image.
        src->chunk[0] = 0xFF;
        src->chunk[1] = JPEG_EOI;
        n = 2;
    }
    src->taken += static_cast<int64_t>(n);
    if (src->taken > src->limit) {
        char text[ALLEGRO_ERROR_SIZE];
        std::snprintf(text, sizeof text,
                      "the JPEG data run past %lld bytes, more than its "
                      "image can need",
                      static_cast<long long>(src->limit));
        fail_with(reinterpret_cast<j_common_ptr>(cinfo), text);
    }
    src->pub.next_input_byte = src->chunk;
    src->pub.bytes_in_buffer = n;
    return TRUE;
}

// Segments that libjpeg does not keep (thumbnails, profiles) are passed
// over by a seek where the stream allows one, so that the check's walk
// stays the only read of them.
void skip_input_data(j_decompress_ptr cinfo, long count)
{
    FileSource *src = reinterpret_cast<FileSource *>(cinfo->src);
    if (count > static_cast<long>(src->pub.bytes_in_buffer)) {
        const long beyond = count - static_cast<long>(src->pub.bytes_in_buffer);
        if (src->taken + beyond <= src->limit &&
            std::fseek(src->file, beyond, SEEK_CUR) == 0) {
            src->taken += beyond;
            src->pub.bytes_in_buffer = 0;
            src->next_read = READ_AFTER_SEEK_BYTES;
            return;
        }
    }
    while (count > static_cast<long>(src->pub.bytes_in_buffer)) {
        count -= static_cast<long>(src->pub.bytes_in_buffer);
        fill_input_buffer(cinfo);
    }
    jpeg_source_mgr *const pub = &src->pub;
    if (count > 0) {
        pub->next_input_byte += count;
        pub->bytes_in_buffer -= static_cast<size_t>(count);
    }
}

void use_file_source(j_decompress_ptr cinfo, FileSource *src, FILE *file)
{
    std::memset(&src->pub, 0, sizeof src->pub);
    src->pub.init_source = init_source;
    src->pub.fill_input_buffer = fill_input_buffer;
    src->pub.skip_input_data = skip_input_data;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = term_source;
    src->file = file;
    src->taken = 0;
    src->next_read = sizeof src->chunk;
    // Until the frame header gives the size: metadata only.
    src->limit = image_file_max_bytes(0, 0);
    cinfo->src = &src->pub;
}

// libjpeg's extended colour spaces write straight into the bitmap's rows
// when the library's 24-bit layout is one of them.
J_COLOR_SPACE direct_space()
{
    if (_rgb_r_shift_24 == 16 && _rgb_g_shift_24 == 8 && _rgb_b_shift_24 == 0)
        return JCS_EXT_BGR;
    if (_rgb_r_shift_24 == 0 && _rgb_g_shift_24 == 8 && _rgb_b_shift_24 == 16)
        return JCS_EXT_RGB;
    return JCS_UNKNOWN;
}

// As the reference decoder writes CMYK as RGB: each of C, M and Y scaled
// by K (the stored, Adobe-inverted values).
int cmyk_component(int c, int k)
{
    return (c * k + MAX_COMPONENT / 2) / MAX_COMPONENT;
}

void put_row(BITMAP *bmp, int y, const JSAMPLE *row, bool cmyk)
{
    uintptr_t out = reinterpret_cast<uintptr_t>(bmp->line[y]);
    for (int x = 0; x < bmp->w; ++x, out += RGB_COMPONENTS) {
        int r = row[0], g = row[1], b = row[2];
        if (cmyk) {
            r = cmyk_component(row[0], row[3]);
            g = cmyk_component(row[1], row[3]);
            b = cmyk_component(row[2], row[3]);
            row += CMYK_COMPONENTS;
        } else {
            row += RGB_COMPONENTS;
        }
        bmp_write24(out, makecol24(r, g, b));
    }
}

void check_size(j_decompress_ptr cinfo)
{
    const int64_t w = cinfo->image_width, h = cinfo->image_height;
    if (bitmap_fits(w, h, LARGEST_BYTES_PER_PIXEL) && w * h <= jpeg_max_pixels)
        return;
    char text[ALLEGRO_ERROR_SIZE];
    std::snprintf(text, sizeof text,
                  "the JPEG file declares %lld x %lld pixels, more than a "
                  "bitmap can hold",
                  static_cast<long long>(w), static_cast<long long>(h));
    fail_with(reinterpret_cast<j_common_ptr>(cinfo), text);
}

// Reads the rows into bmp, straight or through a row of libjpeg's.
void read_rows(j_decompress_ptr cinfo, BITMAP *bmp, bool direct, bool cmyk)
{
    if (direct) {
        while (cinfo->output_scanline < cinfo->output_height)
            jpeg_read_scanlines(cinfo, bmp->line + cinfo->output_scanline,
                                cinfo->output_height - cinfo->output_scanline);
        return;
    }
    JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(
        reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
        cinfo->output_width * cinfo->output_components, 1);
    while (cinfo->output_scanline < cinfo->output_height) {
        const int y = static_cast<int>(cinfo->output_scanline);
        jpeg_read_scanlines(cinfo, row, 1);
        put_row(bmp, y, row[0], cmyk);
    }
}

// One decompress session: libjpeg's state, its error trap and the bitmap
// being filled. It lives in the caller's frame, so that nothing the
// setjmp's function changes is lost to the longjmp.
struct Session {
    jpeg_decompress_struct cinfo;
    ErrorTrap trap;
    BITMAP *bmp;
};

// The file source, in libjpeg's permanent pool: it goes with the session.
FileSource *new_file_source(j_decompress_ptr cinfo, FILE *file)
{
    void *room = (*cinfo->mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT,
        sizeof(FileSource));
    FileSource *src = static_cast<FileSource *>(room);
    use_file_source(cinfo, src, file);
    return src;
}

// Decodes from file, or else from data, into s->bmp.
void decode(Session *s, FILE *file, const unsigned char *data, size_t size)
{
    j_decompress_ptr cinfo = &s->cinfo;
    FileSource *const file_src = file ? new_file_source(cinfo, file) : nullptr;
    if (!file_src)
        jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(cinfo, TRUE);
    check_size(cinfo);
    if (file_src)
        file_src->limit = image_file_max_bytes(cinfo->image_width,
                                               cinfo->image_height);
    const bool cmyk = cinfo->jpeg_color_space == JCS_CMYK ||
                      cinfo->jpeg_color_space == JCS_YCCK;
    const J_COLOR_SPACE direct = direct_space();
    cinfo->out_color_space = cmyk ? JCS_CMYK
                             : direct != JCS_UNKNOWN ? direct
                                                     : JCS_RGB;
    jpeg_start_decompress(cinfo);
    s->bmp = create_bitmap_ex(DECODED_DEPTH,
                              static_cast<int>(cinfo->output_width),
                              static_cast<int>(cinfo->output_height));
    if (!s->bmp)
        fail_with(reinterpret_cast<j_common_ptr>(cinfo),
                  "out of memory for the decoded tile");
    read_rows(cinfo, s->bmp, !cmyk && direct != JCS_UNKNOWN, cmyk);
}

// Sets up libjpeg, decodes and tears down, under one setjmp: every
// failure, from jpeg_create_decompress on, frees the session's pools and
// bitmap and leaves libjpeg's reason in allegro_error. Whatever follows
// the last scan is not read.
BITMAP *run_session(Session *s, FILE *file, const unsigned char *data,
                    size_t size)
{
    // Zeroed first: a create that fails early leaves nothing to destroy.
    std::memset(&s->cinfo, 0, sizeof s->cinfo);
    s->bmp = nullptr;
    s->cinfo.err = jpeg_std_error(&s->trap.pub);
    s->trap.pub.error_exit = libjpeg_error;
    s->trap.pub.emit_message = libjpeg_message;
    s->trap.reason[0] = '\0';
    jpeg_progress_mgr progress = {count_scans, 0, 0, 0, 0};
    if (setjmp(s->trap.jump)) {
        if (s->bmp)
            destroy_bitmap(s->bmp);
        jpeg_destroy_decompress(&s->cinfo);
        ustrzcpy(allegro_error, ALLEGRO_ERROR_SIZE, s->trap.reason);
        return nullptr;
    }
    jpeg_create_decompress(&s->cinfo);
    s->cinfo.progress = &progress;
    decode(s, file, data, size);
    jpeg_destroy_decompress(&s->cinfo);
    return s->bmp;
}

// What the library's colour conversion asks for instead of 24 bits.
BITMAP *to_load_depth(BITMAP *bmp, RGB *pal)
{
    PALETTE own;
    RGB *p = pal ? pal : own;
    generate_332_palette(p);
    const int depth = _color_load_depth(DECODED_DEPTH, FALSE);
    if (depth == DECODED_DEPTH)
        return bmp;
    return _fixup_loaded_bitmap(bmp, p, depth);
}

}  // namespace

void jpeg_codec_init(JpegSaver saver)
{
    register_bitmap_file_type("jpg", jpeg_bitmap_loader, saver);
}

BITMAP *jpeg_bitmap_loader(const char *filename, RGB *pal)
{
    FILE *file = std::fopen(filename, "rb");
    if (!file) {
        ustrzcpy(allegro_error, ALLEGRO_ERROR_SIZE, std::strerror(errno));
        return nullptr;
    }
    Session session;
    BITMAP *bmp = run_session(&session, file, nullptr, 0);
    std::fclose(file);
    return bmp ? to_load_depth(bmp, pal) : nullptr;
}

BITMAP *jpeg_decode_memory(const unsigned char *data, size_t size)
{
    Session session;
    return run_session(&session, nullptr, data, size);
}
