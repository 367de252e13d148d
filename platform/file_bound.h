// How many bytes an image file may take for the pixels it declares: what
// the entropy-coded or compressed data of its pixels can need at worst,
// plus room for metadata. A tile file larger than this is refused, so
// that the work on a tile is bounded by its image, not by its file.
#ifndef PLATFORM_FILE_BOUND_H
#define PLATFORM_FILE_BOUND_H

#include <cstdint>

// Metadata of any kind (profiles, thumbnails, comments) up to this.
const int64_t IMAGE_FILE_METADATA_BYTES = int64_t(16) << 20;
// Far above the worst that a codec's data takes a pixel: a JPEG's four
// components at full resolution, every coefficient coded, every byte
// stuffed, refined over several progressive scans; 12-bit LZW codes.
const int64_t IMAGE_FILE_BYTES_PER_PIXEL = 64;

// The bound for an image of width x height pixels. The product cannot
// overflow while width x height stays below 2^56: sides of 16 bits (a
// GIF's screen, a JPEG's frame) always do, and a size of wider fields
// (a PNG's) must pass bitmap_fits first, as the tile check does.
inline int64_t image_file_max_bytes(int64_t width, int64_t height)
{
    return IMAGE_FILE_METADATA_BYTES + width * height * IMAGE_FILE_BYTES_PER_PIXEL;
}

#endif
