// The GIF writer's LZW encoder: one image's colour indices as variable-
// width codes packed into data sub-blocks.
#include "gif_writer_internal.h"

#include <algorithm>
#include <cstdint>

namespace {

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
const int CODE_BITS = LZW_MAX_CODE_WIDTH;
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
    if (e.next == (1 << e.width) + 1 && e.width < LZW_MAX_CODE_WIDTH)
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

}  // namespace

void lzw_put_bits(PACKFILE *stream, unsigned char *buffer, int *bit_pos,
                  int n, int value)
{
    unsigned int bits = static_cast<unsigned int>(value);
    // Codes that end inside the sub-block go in with a few whole bytes.
    if (n <= LZW_MAX_CODE_WIDTH && *bit_pos + n < SUB_BLOCK_BITS) {
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
    if (e.next == (1 << e.width) && e.width < LZW_MAX_CODE_WIDTH)
        ++e.width;
    put_code(e, e.end_code);
    flush_sub_block(e);
    return pack_ferror(stream) ? -1 : 0;
}
