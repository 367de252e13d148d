// The image formats that tiles and maps may have, and the bytes that mark
// each: shared by the check of a tile's header and the check that a
// written map is whole.
#ifndef COMPOSE_IMAGE_FORMAT_H
#define COMPOSE_IMAGE_FORMAT_H

// Image formats that tiles and maps may have; the extension decides.
enum ImageFormat { FORMAT_PNG, FORMAT_JPEG, FORMAT_GIF, FORMAT_OTHER };

// The format of an extension, case aside: png, jpg or gif.
ImageFormat format_of_extension(const char *ext);

// A PNG file starts with these bytes.
const unsigned char PNG_SIGNATURE[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// JPEG markers: 0xFF, then a code; a file runs from start to end of image.
const int JPEG_MARKER = 0xFF;
const int JPEG_SOI = 0xD8;
const int JPEG_EOI = 0xD9;

// A GIF file starts with one of these; both begin with "GIF".
const char GIF87_SIGNATURE[] = "GIF87a";
const char GIF89_SIGNATURE[] = "GIF89a";
const int GIF_MAGIC_BYTES = 3;

#endif
