#include "crafted_images.h"

#include <zlib.h>

#include <stdexcept>

namespace {

void put_be16(std::string &s, uint32_t v)
{
    s += static_cast<char>((v >> 8) & 0xFF);
    s += static_cast<char>(v & 0xFF);
}

void put_le(std::string &s, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string png_ihdr(uint32_t width, uint32_t height)
{
    std::string ihdr;
    put_be32(ihdr, width);
    put_be32(ihdr, height);
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB
    return ihdr;
}

unsigned byte_at(const std::string &s, size_t i)
{
    return static_cast<unsigned char>(s.at(i));
}

// Offset and length of the first frame header (SOF0 to SOF2) of a JPEG
// file written by a plain encoder: marker segments one after the other.
void find_first_frame(const std::string &jpeg, size_t *at, size_t *bytes)
{
    size_t i = 2;  // after the start-of-image marker
    while (i + 4 <= jpeg.size() && byte_at(jpeg, i) == 0xFF) {
        const unsigned marker = byte_at(jpeg, i + 1);
        const size_t length = byte_at(jpeg, i + 2) << 8 | byte_at(jpeg, i + 3);
        if (marker >= 0xC0 && marker <= 0xC2) {
            *at = i;
            *bytes = 2 + length;
            return;
        }
        i += 2 + length;
    }
    throw std::runtime_error("no frame header in the JPEG file");
}

}  // namespace

void put_be32(std::string &s, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        s += static_cast<char>((v >> shift) & 0xFF);
}

void put_png_chunk(std::string &png, const char *type, const std::string &data)
{
    put_be32(png, static_cast<uint32_t>(data.size()));
    std::string body = std::string(type, 4) + data;
    png += body;
    put_be32(png, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(body.data()),
                                              static_cast<uInt>(body.size()))));
}

std::string png_declaring(uint32_t width, uint32_t height, int rows)
{
    std::string raw(1 + 3 * static_cast<size_t>(width), '\0');
    std::string idat;
    z_stream z = {};
    deflateInit(&z, 1);
    std::string buf(1 << 16, '\0');
    for (int r = 0; r <= rows; ++r) {
        const bool last = r == rows;
        z.next_in = reinterpret_cast<Bytef *>(last ? nullptr : &raw[0]);
        z.avail_in = last ? 0 : static_cast<uInt>(raw.size());
        do {
            z.next_out = reinterpret_cast<Bytef *>(&buf[0]);
            z.avail_out = static_cast<uInt>(buf.size());
            deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            idat.append(buf, 0, buf.size() - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    std::string png = "\x89PNG\r\n\x1a\n";
    put_png_chunk(png, "IHDR", png_ihdr(width, height));
    put_png_chunk(png, "IDAT", idat);
    put_png_chunk(png, "IEND", "");
    return png;
}

std::string png_with_second_ihdr(uint32_t width, uint32_t height)
{
    const std::string small = png_declaring(2, 2, 2);
    const size_t after_ihdr = 8 + 4 + 4 + 13 + 4;
    std::string second;
    put_png_chunk(second, "IHDR", png_ihdr(width, height));
    return small.substr(0, after_ihdr) + second + small.substr(after_ihdr);
}

std::string bmp_declaring(int32_t width, int32_t height)
{
    const uint32_t header_bytes = 14 + 40;
    std::string bmp = "BM";
    put_le(bmp, header_bytes + 64, 4);  // file size
    put_le(bmp, 0, 4);                  // reserved
    put_le(bmp, header_bytes, 4);       // offset of the pixels
    put_le(bmp, 40, 4);                 // BITMAPINFOHEADER
    put_le(bmp, static_cast<uint32_t>(width), 4);
    put_le(bmp, static_cast<uint32_t>(height), 4);
    put_le(bmp, 1, 2);                  // planes
    put_le(bmp, 24, 2);                 // bits per pixel
    put_le(bmp, 0, 4);                  // no compression
    bmp += std::string(4 * 5, '\0');     // image size, resolution, colours
    return bmp + std::string(64, '\x7F');
}

std::string tga_declaring(uint16_t width, uint16_t height)
{
    std::string tga;
    tga += '\0';                        // no image id
    tga += '\0';                        // no colour map
    tga += '\x02';                      // uncompressed true colour
    tga += std::string(5, '\0');        // colour map fields
    put_le(tga, 0, 2);                  // x origin
    put_le(tga, 0, 2);                  // y origin
    put_le(tga, width, 2);
    put_le(tga, height, 2);
    tga += '\x18';                      // 24 bits per pixel
    tga += '\0';                        // descriptor
    return tga + std::string(64, '\x7F');
}

std::string jpeg_with_second_frame(const std::string &jpeg, uint16_t width,
                                   uint16_t height)
{
    size_t at = 0, bytes = 0;
    find_first_frame(jpeg, &at, &bytes);
    // A copy of the first frame header as an extended one (SOF1), with
    // the new size: marker, length, precision, height, width.
    std::string sof = jpeg.substr(at, bytes);
    sof[1] = '\xC1';
    std::string size;
    put_be16(size, height);
    put_be16(size, width);
    sof.replace(5, 4, size);
    return jpeg.substr(0, at + bytes) + sof + jpeg.substr(at + bytes);
}

std::string jpeg_with_thumbnail(const std::string &jpeg,
                                const std::string &embedded)
{
    std::string app1 = "\xFF\xE1";
    put_be16(app1, static_cast<uint32_t>(2 + 6 + embedded.size()));
    app1 += std::string("Exif\0\0", 6) + embedded;
    return jpeg.substr(0, 2) + app1 + jpeg.substr(2);
}
