#include "tile_encode.h"

#include "pyramid_cut.h"

// jpeglib.h needs FILE and size_t declared first.
#include <stdio.h>

#include <jpeglib.h>
#include <png.h>

#include <csetjmp>

namespace {

const int CHANNELS = 3;
const int BIT_DEPTH = 8;
// libvips's resolution of an image made from memory, one pixel a
// millimetre, which its PNG saver writes as pHYs.
const png_uint_32 PIXELS_PER_METRE = 1000;
// libjpeg's booleans: the graphics library's TRUE is -1.
const boolean JPEG_YES = 1, JPEG_NO = 0;

// A library's error, kept for the caller once it has jumped back.
struct EncodeError {
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX > 200 ? JMSG_LENGTH_MAX : 200];
};

void png_failed(png_structp png, png_const_charp message)
{
    auto *e = static_cast<EncodeError *>(png_get_error_ptr(png));
    snprintf(e->message, sizeof e->message, "%s", message);
    std::longjmp(e->jump, 1);
}

void png_warned(png_structp, png_const_charp) {}

void png_append(png_structp png, png_bytep data, png_size_t length)
{
    static_cast<std::string *>(png_get_io_ptr(png))
        ->append(reinterpret_cast<const char *>(data), length);
}

void png_no_flush(png_structp) {}

// No object with a destructor lives in this frame: libpng leaves it by
// longjmp on an error.
bool write_png(const unsigned char *rgb, std::string *bytes, EncodeError *e)
{
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, e, png_failed, png_warned);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        snprintf(e->message, sizeof e->message, "libpng: out of memory");
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(e->jump)) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, bytes, png_append, png_no_flush);
    png_set_compression_level(png, PNG_TILE_COMPRESSION);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_IHDR(png, info, WEB_TILE_SIZE, WEB_TILE_SIZE, BIT_DEPTH, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_set_pHYs(png, info, PIXELS_PER_METRE, PIXELS_PER_METRE, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    for (int y = 0; y < WEB_TILE_SIZE; ++y)
        png_write_row(png, rgb + static_cast<size_t>(y) * WEB_TILE_SIZE * CHANNELS);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

void jpeg_failed(j_common_ptr cinfo)
{
    auto *e = static_cast<EncodeError *>(cinfo->client_data);
    (*cinfo->err->format_message)(cinfo, e->message);
    std::longjmp(e->jump, 1);
}

// As write_png: plain data only in this frame.
bool write_jpeg(const unsigned char *rgb, unsigned char **out, unsigned long *length,
                EncodeError *e)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    err.error_exit = jpeg_failed;
    cinfo.client_data = e;
    if (setjmp(e->jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, out, length);
    cinfo.image_width = WEB_TILE_SIZE;
    cinfo.image_height = WEB_TILE_SIZE;
    cinfo.input_components = CHANNELS;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, JPEG_TILE_QUALITY, JPEG_YES);
    // Without metadata, as the full cut strips it: no JFIF header.
    cinfo.write_JFIF_header = JPEG_NO;
    jpeg_start_compress(&cinfo, JPEG_YES);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(
            rgb + static_cast<size_t>(cinfo.next_scanline) * WEB_TILE_SIZE * CHANNELS);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

}  // namespace

bool encode_web_tile(const std::vector<unsigned char> &rgb, const std::string &tile_ext,
                     std::string *bytes, std::string *why)
{
    EncodeError e;
    e.message[0] = '\0';
    bytes->clear();
    bool ok = false;
    if (tile_ext == "jpg") {
        unsigned char *out = nullptr;
        unsigned long length = 0;
        ok = write_jpeg(rgb.data(), &out, &length, &e);
        if (ok)
            bytes->assign(reinterpret_cast<const char *>(out), length);
        free(out);
    } else {
        ok = write_png(rgb.data(), bytes, &e);
    }
    if (!ok)
        *why = std::string("encoding a web tile: ") + e.message;
    return ok;
}
