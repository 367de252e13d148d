// A GIF file's structure: the signature, the logical screen, then blocks
// up to the trailer.
#include <cstring>

#include "image_reader.h"
// The GIF format's bytes, named once beside the codec: only the constants.
#include "../gif/gif_format.h"

namespace image_structure {

namespace {

// The screen and image descriptors after the signature and separator,
// and where in each its packed byte is.
const int GIF_SCREEN_BYTES = 7, GIF_IMAGE_BYTES = 9;
const int GIF_SCREEN_FLAGS = 4, GIF_IMAGE_FLAGS = 8;
const int GIF_SIDE_BYTES = 2;
// A written map is taken for a GIF by "GIF" alone, whatever its version.
const int GIF_MAGIC_BYTES = 3;

bool gif_skip_table(Reader &in, int flags)
{
    if (!(flags & GIF_TABLE_FLAG))
        return true;
    return in.skip(int64_t(RGB_BYTES) << ((flags & GIF_TABLE_SIZE_BITS) + 1));
}

bool gif_skip_sub_blocks(Reader &in)
{
    int length;
    do {
        length = in.byte();
        if (length < 0 || !in.skip(length))
            return false;
    } while (length != GIF_BLOCK_TERMINATOR);
    return true;
}

}  // namespace

// The logical screen that follows the signature: every frame is drawn
// onto a bitmap of its size.
bool gif_size(Reader &in, int64_t *w, int64_t *h, const char **why)
{
    char sig[GIF_SIGNATURE_LENGTH];
    for (char &c : sig)
        c = static_cast<char>(in.byte());
    const int version = GIF_SIGNATURE_PREFIX_LENGTH;
    if (std::memcmp(sig, GIF_SIGNATURE_PREFIX, GIF_SIGNATURE_PREFIX_LENGTH) != 0 ||
        (sig[version] != GIF_VERSION_87 && sig[version] != GIF_VERSION_89) ||
        sig[version + 1] != GIF_SIGNATURE_END) {
        *why = "not a GIF file (no GIF signature)";
        return false;
    }
    *w = in.little_endian(GIF_SIDE_BYTES);
    *h = in.little_endian(GIF_SIDE_BYTES);
    return size_ok(*w, *h, "GIF header cut short", why);
}

// Block by block up to the trailer: a data byte of the value of the
// trailer is common, so only the walk tells a whole file from a cut one.
bool gif_whole(Reader &in)
{
    unsigned char head[GIF_SIGNATURE_LENGTH + GIF_SCREEN_BYTES];
    if (!read_bytes(in, head, sizeof head) ||
        std::memcmp(head, GIF_SIGNATURE_89A, GIF_MAGIC_BYTES) != 0 ||
        !gif_skip_table(in, head[GIF_SIGNATURE_LENGTH + GIF_SCREEN_FLAGS]))
        return false;
    for (;;) {
        unsigned char image[GIF_IMAGE_BYTES];
        const int block = in.byte();
        if (block == GIF_FILE_TRAILER)
            return true;
        if (block == GIF_EXTENSION_INTRODUCER) {
            if (!in.skip(1) || !gif_skip_sub_blocks(in))  // label, data
                return false;
        } else if (block == GIF_IMAGE_SEPARATOR) {
            if (!read_bytes(in, image, sizeof image) ||
                !gif_skip_table(in, image[GIF_IMAGE_FLAGS]) ||
                !in.skip(1) || !gif_skip_sub_blocks(in))  // code size, data
                return false;
        } else {
            return false;  // the end of the file, or no block
        }
    }
}

}  // namespace image_structure
