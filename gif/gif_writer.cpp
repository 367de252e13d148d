// GIF writer: the registry saver, the document writer and its LZW encoder.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "gif_codec.h"
#include "gif_writer_internal.h"

namespace {

const char GIF_SIGNATURE[] = "GIF89a";
const int GIF_SIGNATURE_LENGTH = 6;

const int EXTENSION_INTRODUCER = 0x21;
const int GRAPHIC_CONTROL_LABEL = 0xF9;
const int GRAPHIC_CONTROL_SIZE = 4;
const int APPLICATION_LABEL = 0xFF;
const char LOOPING_ID[] = "NETSCAPE2.0";
const int LOOPING_ID_LENGTH = 11;
const int LOOPING_BLOCK_SIZE = 3;
const int LOOPING_SUB_ID = 1;
const int IMAGE_SEPARATOR = 0x2C;
const int BLOCK_TERMINATOR = 0x00;
const int TRAILER = 0x3B;

// Screen descriptor: table present, colour resolution 7, not sorted.
const int SCREEN_TABLE_PRESENT = 0xF0;
const int SCREEN_NO_TABLE = 0x70;
const int PIXEL_ASPECT_NONE = 0;
// Image descriptor: local table present, neither interlaced nor sorted.
const int IMAGE_TABLE_PRESENT = 0x80;
const int IMAGE_NO_TABLE = 0x00;
// Graphic control packed byte: disposal in bits 2 to 4, transparency bit 0.
const int DISPOSAL_MULTIPLIER = 4;
const int TRANSPARENT_FLAG = 1;
const int MAX_DISPOSAL = 7;
const int NO_TRANSPARENCY = -1;
const int NO_LOOPING = -1;

const int INDEXED_DEPTH = 8;
const int MAX_COLOR_INDEX = 255;
const int COMPONENT_6_BIT_MASK = 63;
const int BITS_PER_BYTE = 8;
const int SUB_BLOCK_BITS = LZW_SUB_BLOCK_BYTES * BITS_PER_BYTE;

// The dictionary look-up: open addressing over (prefix, pixel) keys with
// twice as many slots as the string table has entries, so a probe sequence
// stays a few slots long however full the table is. It holds exactly the
// entries added since the last clear code; they are unique per key, so the
// code found is the one a linear scan of the table would find.
const int DICT_SLOTS = 2 * LZW_TABLE_SIZE;
const int DICT_SLOT_BITS = 13;
const uint32_t DICT_HASH_MULTIPLIER = 2654435761u;  // Knuth's golden ratio
const int PIXEL_BITS = 8;
// A slot holds its key above the 12-bit code, in one word so that a probe
// reads one place. No entry has all bits set: that would be code 4095
// with prefix 4095, but a prefix is always an earlier code.
const int CODE_BITS = LZW_MAX_WIDTH;
const uint32_t CODE_MASK = (1u << CODE_BITS) - 1;
const uint32_t DICT_EMPTY = 0xFFFFFFFFu;

struct LzwEncoder {
    PACKFILE *stream;
    unsigned char buffer[LZW_BUFFER_SIZE];
    int bit_pos;
    int root_width, clear_code, end_code;
    int width;   // width of the next code put
    int next;    // next entry to be added
    uint32_t dict[DICT_SLOTS];  // key << CODE_BITS | code, or DICT_EMPTY
};

void dict_clear(LzwEncoder &e)
{
    std::fill(e.dict, e.dict + DICT_SLOTS, DICT_EMPTY);
}

// Slot that holds key, or the empty slot where key belongs.
int dict_slot(const LzwEncoder &e, uint32_t key)
{
    uint32_t slot = (key * DICT_HASH_MULTIPLIER) >> (32 - DICT_SLOT_BITS);
    while (e.dict[slot] != DICT_EMPTY && (e.dict[slot] >> CODE_BITS) != key)
        slot = (slot + 1) & (DICT_SLOTS - 1);
    return static_cast<int>(slot);
}

void put_code(LzwEncoder &e, int code)
{
    lzw_put_bits(e.stream, e.buffer, &e.bit_pos, e.width, code);
}

void start_table(LzwEncoder &e)
{
    e.width = e.root_width + 1;
    e.next = e.end_code + 1;
    dict_clear(e);
}

// One step of the encoder: extends the current string by px, or puts the
// current string's code and starts a new string at px.
void encode_pixel(LzwEncoder &e, int &current, int px)
{
    const uint32_t key = (static_cast<uint32_t>(current) << PIXEL_BITS) |
                         static_cast<uint32_t>(px);
    const int slot = dict_slot(e, key);
    if (e.dict[slot] != DICT_EMPTY) {
        current = static_cast<int>(e.dict[slot] & CODE_MASK);
        return;
    }
    e.dict[slot] = (key << CODE_BITS) | static_cast<uint32_t>(e.next);
    ++e.next;
    put_code(e, current);
    // The decoder adds each entry one code later, so it widens at 2^width
    // and the encoder one entry after that.
    if (e.next == (1 << e.width) + 1 && e.width < LZW_MAX_WIDTH)
        ++e.width;
    if (e.next == LZW_TABLE_SIZE) {
        put_code(e, e.clear_code);
        start_table(e);
    }
    current = px;
}

void flush_sub_block(LzwEncoder &e)
{
    if (e.bit_pos == 0)
        return;
    const int length = (e.bit_pos + BITS_PER_BYTE - 1) / BITS_PER_BYTE;
    pack_putc(length, e.stream);
    pack_fwrite(e.buffer, length, e.stream);
    e.bit_pos = 0;
}

bool fits_field(int value, int low, int high)
{
    return value >= low && value <= high;
}

bool table_fits(const GifColorTable &table)
{
    return fits_field(table.count, 0, GIF_TABLE_SIZE);
}

// Every value the file stores must fit its field, and every image must be
// a non-empty 8-bit memory bitmap, or the file would say something else
// than the document.
bool frame_fits(const GifFrameRecord &frame)
{
    BITMAP *image = frame.image;
    if (!image || bitmap_color_depth(image) != INDEXED_DEPTH ||
        !is_memory_bitmap(image))
        return false;
    return fits_field(image->w, 1, GIF_FIELD_MAX) &&
           fits_field(image->h, 1, GIF_FIELD_MAX) &&
           fits_field(frame.left, 0, GIF_FIELD_MAX) &&
           fits_field(frame.top, 0, GIF_FIELD_MAX) &&
           fits_field(frame.delay, 0, GIF_FIELD_MAX) &&
           fits_field(frame.disposal, 0, MAX_DISPOSAL) &&
           fits_field(frame.transparent_idx, NO_TRANSPARENCY,
                      MAX_COLOR_INDEX) &&
           table_fits(frame.local_table);
}

bool document_fits(const GifDocument *doc)
{
    if (!doc || !fits_field(doc->screen_width, 0, GIF_FIELD_MAX) ||
        !fits_field(doc->screen_height, 0, GIF_FIELD_MAX) ||
        !fits_field(doc->bg_idx, 0, MAX_COLOR_INDEX) ||
        !fits_field(doc->loop_count, NO_LOOPING, GIF_FIELD_MAX) ||
        !table_fits(doc->global_table) || doc->frame_count < 0 ||
        (doc->frame_count > 0 && !doc->frame_list))
        return false;
    for (int i = 0; i < doc->frame_count; ++i)
        if (!frame_fits(doc->frame_list[i]))
            return false;
    return true;
}

void write_screen(PACKFILE *f, const GifDocument *doc)
{
    pack_fwrite(GIF_SIGNATURE, GIF_SIGNATURE_LENGTH, f);
    pack_iputw(doc->screen_width, f);
    pack_iputw(doc->screen_height, f);
    const int n = gif_table_bits(doc->global_table.count);
    pack_putc(n > 0 ? SCREEN_TABLE_PRESENT + n - 1 : SCREEN_NO_TABLE, f);
    pack_putc(doc->bg_idx, f);
    pack_putc(PIXEL_ASPECT_NONE, f);
    if (n > 0)
        gif_write_color_table(f, &doc->global_table, n);
}

void write_looping_block(PACKFILE *f, int loop_count)
{
    pack_putc(EXTENSION_INTRODUCER, f);
    pack_putc(APPLICATION_LABEL, f);
    pack_putc(LOOPING_ID_LENGTH, f);
    pack_fwrite(LOOPING_ID, LOOPING_ID_LENGTH, f);
    pack_putc(LOOPING_BLOCK_SIZE, f);
    pack_putc(LOOPING_SUB_ID, f);
    pack_iputw(loop_count, f);
    pack_putc(BLOCK_TERMINATOR, f);
}

void write_graphic_control(PACKFILE *f, const GifFrameRecord &frame)
{
    const bool transparent = frame.transparent_idx != NO_TRANSPARENCY;
    pack_putc(EXTENSION_INTRODUCER, f);
    pack_putc(GRAPHIC_CONTROL_LABEL, f);
    pack_putc(GRAPHIC_CONTROL_SIZE, f);
    pack_putc(frame.disposal * DISPOSAL_MULTIPLIER +
                  (transparent ? TRANSPARENT_FLAG : 0),
              f);
    pack_iputw(frame.delay, f);
    pack_putc(transparent ? frame.transparent_idx : 0, f);
    pack_putc(BLOCK_TERMINATOR, f);
}

int write_frame(PACKFILE *f, const GifFrameRecord &frame)
{
    write_graphic_control(f, frame);
    pack_putc(IMAGE_SEPARATOR, f);
    pack_iputw(frame.left, f);
    pack_iputw(frame.top, f);
    pack_iputw(frame.image->w, f);
    pack_iputw(frame.image->h, f);
    const int n = gif_table_bits(frame.local_table.count);
    pack_putc(n > 0 ? IMAGE_TABLE_PRESENT + n - 1 : IMAGE_NO_TABLE, f);
    if (n > 0)
        gif_write_color_table(f, &frame.local_table, n);
    if (lzw_pack_frame(f, frame.image) != 0)
        return -1;
    pack_putc(BLOCK_TERMINATOR, f);
    return 0;
}

int write_body(PACKFILE *f, const GifDocument *doc)
{
    write_screen(f, doc);
    if (doc->loop_count != NO_LOOPING)
        write_looping_block(f, doc->loop_count);
    for (int i = 0; i < doc->frame_count; ++i)
        if (write_frame(f, doc->frame_list[i]) != 0)
            return -1;
    pack_putc(TRAILER, f);
    return 0;
}

// Longest file name, in the file system's encoding, that can be opened.
const int FILE_NAME_BUFFER = 4096;

// A packfile over a stdio stream, for writing. The library's own file
// packfile does not report a failure of the flush it makes on close, so a
// full disk would pass as success; stdio reports every failed write
// through ferror and the last flush through fclose.
FILE *stdio_file(void *userdata) { return static_cast<FILE *>(userdata); }
int stdio_fclose(void *f) { return std::fclose(stdio_file(f)) == 0 ? 0 : -1; }
int stdio_getc(void *) { return EOF; }
int stdio_ungetc(int, void *) { return EOF; }
long stdio_fread(void *, long, void *) { return 0; }
int stdio_putc(int c, void *f) { return std::fputc(c, stdio_file(f)); }
long stdio_fwrite(const void *p, long n, void *f)
{
    return static_cast<long>(
        std::fwrite(p, 1, static_cast<size_t>(n), stdio_file(f)));
}
int stdio_fseek(void *, int) { return -1; }
int stdio_feof(void *f) { return std::feof(stdio_file(f)); }
int stdio_ferror(void *f) { return std::ferror(stdio_file(f)); }

const PACKFILE_VTABLE STDIO_WRITER = {
    stdio_fclose, stdio_getc,  stdio_ungetc, stdio_fread, stdio_putc,
    stdio_fwrite, stdio_fseek, stdio_feof,   stdio_ferror};

PACKFILE *open_for_writing(const char *name)
{
    FILE *file = std::fopen(name, "wb");
    if (!file)
        return nullptr;
    PACKFILE *f = pack_fopen_vtable(&STDIO_WRITER, file);
    if (!f)
        std::fclose(file);
    return f;
}

// A failed write leaves no truncated file that looks like a GIF; only
// regular files are removed, never a device that was written to.
void remove_failed_file(const char *name)
{
    struct stat st;
    if (stat(name, &st) == 0 && S_ISREG(st.st_mode))
        std::remove(name);
}

}  // namespace

int gif_table_bits(int count)
{
    int n = 0;
    while ((1 << n) < count)
        ++n;
    return n;
}

void gif_write_color_table(PACKFILE *stream, const GifColorTable *table,
                           int n)
{
    const int entries = std::min(1 << n, GIF_TABLE_SIZE);
    for (int i = 0; i < entries; ++i) {
        pack_putc(table->entries[i].r, stream);
        pack_putc(table->entries[i].g, stream);
        pack_putc(table->entries[i].b, stream);
    }
}

void lzw_put_bits(PACKFILE *stream, unsigned char *buffer, int *bit_pos,
                  int n, int value)
{
    unsigned int bits = static_cast<unsigned int>(value);
    // Codes that end inside the sub-block go in with a few whole bytes.
    if (n <= LZW_MAX_WIDTH && *bit_pos + n < SUB_BLOCK_BITS) {
        const int byte = *bit_pos / BITS_PER_BYTE;
        const int shift = *bit_pos % BITS_PER_BYTE;
        const uint32_t v = (bits & ((1u << n) - 1)) << shift;
        buffer[byte] = static_cast<unsigned char>(
            (buffer[byte] & ((1u << shift) - 1)) | (v & 0xFF));
        if (shift + n > BITS_PER_BYTE)
            buffer[byte + 1] = static_cast<unsigned char>(v >> 8);
        if (shift + n > 2 * BITS_PER_BYTE)
            buffer[byte + 2] = static_cast<unsigned char>(v >> 16);
        *bit_pos += n;
        return;
    }
    while (n > 0) {
        const int byte = *bit_pos / BITS_PER_BYTE;
        const int shift = *bit_pos % BITS_PER_BYTE;
        const int take = std::min(BITS_PER_BYTE - shift, n);
        if (shift == 0)
            buffer[byte] = 0;
        buffer[byte] = static_cast<unsigned char>(
            buffer[byte] | ((bits & ((1u << take) - 1)) << shift));
        bits >>= take;
        n -= take;
        *bit_pos += take;
        if (*bit_pos == SUB_BLOCK_BITS) {
            pack_putc(LZW_SUB_BLOCK_BYTES, stream);
            pack_fwrite(buffer, LZW_SUB_BLOCK_BYTES, stream);
            *bit_pos = 0;
        }
    }
}

int lzw_root_width(BITMAP *image)
{
    // The highest bit set in any pixel is the highest bit of the largest.
    unsigned int seen = 0;
    for (int y = 0; y < image->h; ++y) {
        const unsigned char *row = image->line[y];
        for (int x = 0; x < image->w; ++x)
            seen |= row[x];
    }
    int m = LZW_MIN_ROOT_WIDTH;
    while ((1u << m) <= seen)
        ++m;
    return m;
}

int pixel_at(BITMAP *bitmap, int64_t i)
{
    const int64_t w = bitmap->w;
    if (w <= 0 || i < 0 || i >= w * bitmap->h)
        return 0;
    return bitmap->line[i / w][i % w];
}

int lzw_pack_frame(PACKFILE *stream, BITMAP *image)
{
    static_assert(DICT_SLOTS == 1 << DICT_SLOT_BITS, "slot count");
    LzwEncoder e;
    e.stream = stream;
    e.bit_pos = 0;
    e.root_width = lzw_root_width(image);
    e.clear_code = 1 << e.root_width;
    e.end_code = e.clear_code + 1;
    start_table(e);

    pack_putc(e.root_width, stream);
    put_code(e, e.clear_code);
    int current = image->line[0][0];
    for (int y = 0; y < image->h; ++y) {
        const unsigned char *row = image->line[y];
        for (int x = (y == 0 ? 1 : 0); x < image->w; ++x)
            encode_pixel(e, current, row[x]);
        if (pack_ferror(stream))
            return -1;
    }
    put_code(e, current);
    // A decoder adds an entry for this last code as well, and widens when
    // its table reaches 2^width, so it reads the end code one bit wider
    // then. The wider end code has the same bits plus a 0 above them; it
    // only differs in the file when that bit would start a new byte, which
    // a decoder needs but the narrower code would not provide.
    if (e.next == (1 << e.width) && e.width < LZW_MAX_WIDTH)
        ++e.width;
    put_code(e, e.end_code);
    flush_sub_block(e);
    return pack_ferror(stream) ? -1 : 0;
}

int gif_write_document(const char *filename, const GifDocument *doc)
{
    if (!filename || !document_fits(doc))
        return -1;
    // A name the buffer cannot hold whole would open some other file.
    char buffer[FILE_NAME_BUFFER];
    if (ustrsizez(filename) >= FILE_NAME_BUFFER)
        return -1;
    const char *name = uconvert_tofilename(filename, buffer);
    PACKFILE *f = open_for_writing(name);
    if (!f)
        return -1;
    bool ok = write_body(f, doc) == 0 && !pack_ferror(f);
    if (pack_fclose(f) != 0)
        ok = false;
    if (!ok) {
        remove_failed_file(name);
        return -1;
    }
    return 0;
}

int gif_bitmap_saver(const char *filename, BITMAP *bmp, const RGB *pal)
{
    if (!filename || !bmp || !fits_field(bmp->w, 1, GIF_FIELD_MAX) ||
        !fits_field(bmp->h, 1, GIF_FIELD_MAX))
        return -1;
    BITMAP *copy = create_bitmap_ex(INDEXED_DEPTH, bmp->w, bmp->h);
    if (!copy)
        return -1;
    // Other depths are reduced through the current palette (and rgb_map).
    blit(bmp, copy, 0, 0, 0, 0, bmp->w, bmp->h);

    PALETTE current;
    if (!pal) {
        get_palette(current);
        pal = current;
    }

    GifDocument doc = {};
    GifFrameRecord frame = {};
    doc.screen_width = bmp->w;
    doc.screen_height = bmp->h;
    doc.frame_count = 1;
    doc.bg_idx = 0;
    doc.loop_count = NO_LOOPING;
    doc.global_table.count = 0;
    doc.frame_list = &frame;
    frame.image = copy;
    frame.local_table.count = GIF_TABLE_SIZE;
    // Only the low 6 bits: the scaling table has 64 entries.
    for (int i = 0; i < GIF_TABLE_SIZE; ++i) {
        RGB &e = frame.local_table.entries[i];
        e.r = static_cast<unsigned char>(
            _rgb_scale_6[pal[i].r & COMPONENT_6_BIT_MASK]);
        e.g = static_cast<unsigned char>(
            _rgb_scale_6[pal[i].g & COMPONENT_6_BIT_MASK]);
        e.b = static_cast<unsigned char>(
            _rgb_scale_6[pal[i].b & COMPONENT_6_BIT_MASK]);
    }
    frame.transparent_idx = NO_TRANSPARENCY;

    const int result = gif_write_document(filename, &doc);
    destroy_bitmap(copy);
    return result;
}
