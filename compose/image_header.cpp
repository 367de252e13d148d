#include "image_header.h"

#include <cstdio>

namespace {

const unsigned char PNG_SIGNATURE[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
const unsigned char PNG_IHDR[] = {'I', 'H', 'D', 'R'};
const int PNG_CHUNK_LENGTH_BYTES = 4;

const int JPEG_MARKER = 0xFF;
const int JPEG_SOI = 0xD8;
const int JPEG_EOI = 0xD9;
const int JPEG_SOS = 0xDA;
const int JPEG_TEM = 0x01;
const int JPEG_RST0 = 0xD0, JPEG_RST7 = 0xD7;
const int JPEG_SOF0 = 0xC0, JPEG_SOF15 = 0xCF;
// Markers in the SOF range that are not frame headers.
const int JPEG_DHT = 0xC4, JPEG_JPG = 0xC8, JPEG_DAC = 0xCC;

struct File {
    FILE *f;
    explicit File(const std::string &path) : f(std::fopen(path.c_str(), "rb")) {}
    ~File()
    {
        if (f)
            std::fclose(f);
    }
    int byte() { return std::fgetc(f); }
    // Big-endian, as both formats store their sizes; -1 at the end.
    int64_t be(int bytes)
    {
        int64_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            int c = byte();
            if (c == EOF)
                return -1;
            v = (v << 8) | c;
        }
        return v;
    }
    bool skip(long n) { return std::fseek(f, n, SEEK_CUR) == 0; }
};

bool matches(File &in, const unsigned char *bytes, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (in.byte() != bytes[i])
            return false;
    return true;
}

// The first chunk of a PNG file is IHDR: width and height, 32 bits each.
ImageHeader png_size(File &in, int64_t *w, int64_t *h)
{
    if (!in.skip(PNG_CHUNK_LENGTH_BYTES) ||
        !matches(in, PNG_IHDR, sizeof PNG_IHDR))
        return HEADER_BAD;
    *w = in.be(4);
    *h = in.be(4);
    return (*w < 0 || *h < 0) ? HEADER_BAD : HEADER_OK;
}

bool is_frame_header(int marker)
{
    return marker >= JPEG_SOF0 && marker <= JPEG_SOF15 && marker != JPEG_DHT &&
           marker != JPEG_JPG && marker != JPEG_DAC;
}

bool stands_alone(int marker)
{
    return marker == JPEG_TEM || (marker >= JPEG_RST0 && marker <= JPEG_RST7);
}

// Walks the marker segments up to the first frame header, which gives
// the precision, then height and width, 16 bits each.
ImageHeader jpeg_size(File &in, int64_t *w, int64_t *h)
{
    for (;;) {
        int c = in.byte();
        if (c != JPEG_MARKER)
            return HEADER_BAD;
        int marker;
        do
            marker = in.byte();
        while (marker == JPEG_MARKER);
        if (marker == EOF || marker == JPEG_EOI || marker == JPEG_SOS)
            return HEADER_BAD;
        if (stands_alone(marker))
            continue;
        int64_t length = in.be(2);
        if (length < 2)
            return HEADER_BAD;
        if (is_frame_header(marker)) {
            if (in.byte() == EOF)
                return HEADER_BAD;
            *h = in.be(2);
            *w = in.be(2);
            return (*w < 0 || *h < 0) ? HEADER_BAD : HEADER_OK;
        }
        if (!in.skip(static_cast<long>(length - 2)))
            return HEADER_BAD;
    }
}

}  // namespace

ImageHeader read_image_size(const std::string &path, int64_t *width,
                            int64_t *height)
{
    File in(path);
    if (!in.f)
        return HEADER_UNKNOWN;
    int first = in.byte();
    if (first == PNG_SIGNATURE[0]) {
        for (size_t i = 1; i < sizeof PNG_SIGNATURE; ++i)
            if (in.byte() != PNG_SIGNATURE[i])
                return HEADER_BAD;
        return png_size(in, width, height);
    }
    if (first == JPEG_MARKER) {
        if (in.byte() != JPEG_SOI)
            return HEADER_BAD;
        return jpeg_size(in, width, height);
    }
    return HEADER_UNKNOWN;
}
