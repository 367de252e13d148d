// JPEG tile decoder for the graphics library's bitmap file-type registry,
// by libjpeg: it decodes what the reference decoder decodes, to the same
// pixels, and refuses the rest with libjpeg's own reason. Maps are
// written by another codec, which the start-up pairs with this loader.
#ifndef JPEG_JPEG_CODEC_H
#define JPEG_JPEG_CODEC_H

#include <allegro.h>

#include <cstddef>
#include <cstdint>

// Signature of a registry saver.
typedef int (*JpegSaver)(const char *filename, BITMAP *bmp, const RGB *pal);

// Registers "jpg" with the registry: files load through jpeg_bitmap_loader
// and save through saver. The registry answers an extension with its
// first registration, so this must come before any other codec's "jpg".
void jpeg_codec_init(JpegSaver saver);

// Registry loader: a 24-bit bitmap of the decoded pixels (greyscale as
// equal components, CMYK converted to RGB), or another depth as the
// library's colour conversion asks; pal (may be null) receives a palette
// for 8-bit results. Null with the reason in allegro_error when the file
// cannot be opened, is corrupt (libjpeg's warnings of corrupt or missing
// data included, as a tile patched with grey is a wrong map) or declares
// more than jpeg_max_pixels. Reads no further than the last scan, and at
// most image_file_max_bytes of the declared size.
BITMAP *jpeg_bitmap_loader(const char *filename, RGB *pal);

// The same from memory, at 24 bits whatever the colour conversion.
BITMAP *jpeg_decode_memory(const unsigned char *data, size_t size);

// Most pixels a file may declare: the library's limit unless lowered
// (the fuzz target does, to keep its inputs cheap).
extern int64_t jpeg_max_pixels;

// Most scans a file may have. Each scan passes over the whole image, so a
// file of many empty scans could take minutes; progressive files from
// real encoders have about ten.
const int JPEG_MAX_SCANS = 500;

#endif
