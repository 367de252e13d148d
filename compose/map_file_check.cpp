// Whether a map file that a saver wrote is whole, walked by its format.
#include "map_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "image_format.h"

namespace {

// Reads a file from its descriptor through a buffer, so that a walk over
// many small blocks costs few system calls.
struct FileWalk {
    static const size_t BUFFER_BYTES = 1 << 16;
    int fd;
    off_t size;
    off_t pos = 0;
    std::vector<unsigned char> buf;
    off_t buf_start = 0;
    size_t buf_len = 0;

    FileWalk(int file, off_t bytes) : fd(file), size(bytes), buf(BUFFER_BYTES) {}

    bool skip(uint64_t n)
    {
        if (n > static_cast<uint64_t>(size - pos))
            return false;
        pos += static_cast<off_t>(n);
        return true;
    }

    bool read(unsigned char *out, size_t n)
    {
        for (; n > 0; --n, ++out) {
            if (pos < buf_start || pos >= buf_start + static_cast<off_t>(buf_len)) {
                ssize_t got = pread(fd, buf.data(), buf.size(), pos);
                if (got <= 0)
                    return false;
                buf_start = pos;
                buf_len = static_cast<size_t>(got);
            }
            *out = buf[static_cast<size_t>(pos - buf_start)];
            ++pos;
        }
        return true;
    }

    bool byte(unsigned char *b) { return read(b, 1); }
};

const int PNG_LENGTH_BYTES = 4, PNG_TYPE_BYTES = 4, PNG_CRC_BYTES = 4;
const uint32_t PNG_MAX_CHUNK_LENGTH = 0x7FFFFFFF;

// Chunk by chunk, each a length, a type, that many bytes and a CRC, up to
// the empty IEND chunk.
bool png_whole(FileWalk &w)
{
    unsigned char sig[sizeof PNG_SIGNATURE];
    if (!w.read(sig, sizeof sig) || std::memcmp(sig, PNG_SIGNATURE, sizeof sig) != 0)
        return false;
    for (;;) {
        unsigned char head[PNG_LENGTH_BYTES + PNG_TYPE_BYTES];
        if (!w.read(head, sizeof head))
            return false;
        uint32_t length = static_cast<uint32_t>(head[0]) << 24 | head[1] << 16 |
                          head[2] << 8 | head[3];
        if (length > PNG_MAX_CHUNK_LENGTH ||
            !w.skip(static_cast<uint64_t>(length) + PNG_CRC_BYTES))
            return false;
        if (std::memcmp(head + PNG_LENGTH_BYTES, "IEND", PNG_TYPE_BYTES) == 0)
            return length == 0;
    }
}

// The entropy-coded data between a JPEG's markers cannot hold the end
// marker, so a file that starts with the start marker and ends with the
// end marker has been written to its end.
bool jpeg_whole(FileWalk &w)
{
    unsigned char head[2], tail[2];
    if (w.size < 4 || !w.read(head, 2) || !w.skip(static_cast<uint64_t>(w.size - 4)) ||
        !w.read(tail, 2))
        return false;
    return head[0] == JPEG_MARKER && head[1] == JPEG_SOI &&
           tail[0] == JPEG_MARKER && tail[1] == JPEG_EOI;
}

const int GIF_HEADER_BYTES = 6, GIF_SCREEN_BYTES = 7, GIF_IMAGE_BYTES = 9;
const int GIF_SCREEN_FLAGS = 4, GIF_IMAGE_FLAGS = 8;
const unsigned char GIF_TABLE_FLAG = 0x80, GIF_TABLE_SIZE_BITS = 0x07;
const unsigned char GIF_EXTENSION = 0x21, GIF_IMAGE = 0x2C, GIF_TRAILER = 0x3B;

bool gif_skip_table(FileWalk &w, unsigned char flags)
{
    if (!(flags & GIF_TABLE_FLAG))
        return true;
    return w.skip(3u << ((flags & GIF_TABLE_SIZE_BITS) + 1));
}

bool gif_skip_sub_blocks(FileWalk &w)
{
    unsigned char length;
    do {
        if (!w.byte(&length) || !w.skip(length))
            return false;
    } while (length != 0);
    return true;
}

// Block by block up to the trailer: a data byte of the value of the
// trailer is common, so only the walk tells a whole file from a cut one.
bool gif_whole(FileWalk &w)
{
    unsigned char head[GIF_HEADER_BYTES + GIF_SCREEN_BYTES];
    if (!w.read(head, sizeof head) || std::memcmp(head, GIF89_SIGNATURE, GIF_MAGIC_BYTES) != 0 ||
        !gif_skip_table(w, head[GIF_HEADER_BYTES + GIF_SCREEN_FLAGS]))
        return false;
    for (;;) {
        unsigned char block, image[GIF_IMAGE_BYTES];
        if (!w.byte(&block))
            return false;
        if (block == GIF_TRAILER)
            return true;
        if (block == GIF_EXTENSION) {
            if (!w.skip(1) || !gif_skip_sub_blocks(w))  // label, data
                return false;
        } else if (block == GIF_IMAGE) {
            if (!w.read(image, sizeof image) ||
                !gif_skip_table(w, image[GIF_IMAGE_FLAGS]) ||
                !w.skip(1) || !gif_skip_sub_blocks(w))  // code size, data
                return false;
        } else {
            return false;
        }
    }
}

}  // namespace

bool map_file_whole(int fd, const char *ext)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    FileWalk w(fd, st.st_size);
    switch (format_of_extension(ext)) {
    case FORMAT_PNG:
        return png_whole(w);
    case FORMAT_JPEG:
        return jpeg_whole(w);
    case FORMAT_GIF:
        return gif_whole(w);
    case FORMAT_OTHER:
        break;
    }
    return true;
}
