// The GIF format's constants, as the GIF89a standard lays out a file: one
// name for each, shared by the reader and the writer.
#ifndef GIF_GIF_FORMAT_H
#define GIF_GIF_FORMAT_H

// Signature: "GIF", then "87a" or "89a". The writer writes "GIF89a".
const char GIF_SIGNATURE_89A[] = "GIF89a";
const int GIF_SIGNATURE_LENGTH = 6;
const char GIF_SIGNATURE_PREFIX[] = "GIF8";
const int GIF_SIGNATURE_PREFIX_LENGTH = 4;
const char GIF_VERSION_87 = '7';
const char GIF_VERSION_89 = '9';
const char GIF_SIGNATURE_END = 'a';

// Bytes that start the blocks after the logical screen.
const int GIF_IMAGE_SEPARATOR = 0x2C;
const int GIF_EXTENSION_INTRODUCER = 0x21;
const int GIF_FILE_TRAILER = 0x3B;
// A zero-length sub-block ends a run of sub-blocks.
const int GIF_BLOCK_TERMINATOR = 0x00;

// Extensions: their labels and the sizes of their first sub-blocks.
const int GIF_LABEL_GRAPHIC_CONTROL = 0xF9;
const int GIF_LABEL_APPLICATION = 0xFF;
const int GIF_GRAPHIC_CONTROL_SIZE = 4;
const int GIF_APPLICATION_ID_SIZE = 11;
// The looping block: an application extension whose sub-block of 3 bytes
// holds the identifier 1 and a 16-bit loop count.
const char GIF_LOOPING_APPLICATION[] = "NETSCAPE2.0";
const int GIF_LOOPING_SUB_BLOCK_SIZE = 3;
const int GIF_LOOPING_SUB_BLOCK_ID = 1;

// Packed bytes of the screen and image descriptors: a colour table
// follows, and its size field (2^(field + 1) entries).
const int GIF_TABLE_FLAG = 0x80;
const int GIF_TABLE_SIZE_BITS = 0x07;
// Screen descriptor: colour resolution field, written as 7 (8 bits).
const int GIF_COLOR_RESOLUTION_8_BITS = 0x70;
// Image descriptor: rows sent in interlaced order.
const int GIF_INTERLACE_FLAG = 0x40;
// Graphic control packed byte: transparency in bit 0, disposal in bits
// 2 to 4.
const int GIF_TRANSPARENT_FLAG = 0x01;
const int GIF_DISPOSAL_SHIFT = 2;
const int GIF_DISPOSAL_BITS = 0x07;
const int GIF_PIXEL_ASPECT_NONE = 0;

// Disposal methods that change what the next frame is drawn over.
const int GIF_DISPOSE_TO_BACKGROUND = 2;
const int GIF_DISPOSE_TO_PREVIOUS = 3;

// The largest value of a 16-bit field, and of a colour index.
const int GIF_FIELD_MAX = 65535;
const int GIF_MAX_COLOR_INDEX = 255;
// Frame images are 8-bit bitmaps of colour indices.
const int GIF_INDEX_DEPTH = 8;
// Document fields that say "none".
const int GIF_NO_TRANSPARENCY = -1;
const int GIF_NO_LOOPING = -1;

// Image data: variable-width LZW codes of up to 12 bits, packed least
// significant bit first into sub-blocks of up to 255 bytes.
const int LZW_TABLE_SIZE = 4096;
const int LZW_MAX_CODE_WIDTH = 12;
const int LZW_MIN_ROOT_WIDTH = 2;
// The widest roots whose first codes still fit 12 bits; the writer's
// roots are 8-bit colour indices, but files from elsewhere may be wider.
const int LZW_MAX_ROOT_WIDTH = LZW_MAX_CODE_WIDTH - 1;
const int LZW_SUB_BLOCK_BYTES = 255;
const int LZW_BUFFER_SIZE = 256;    // working buffer of one sub-block
const int BITS_PER_BYTE = 8;

#endif
