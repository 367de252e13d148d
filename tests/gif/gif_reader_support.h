// Peers and byte builders for the GIF reader's tests: giflib reads and
// writes files described as PeerGif, and hand-made files are assembled
// from the byte strings below.
#ifndef GIF_TESTS_GIF_READER_SUPPORT_H
#define GIF_TESTS_GIF_READER_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// A suite of GIF tests: the library without a display, the codec
// registered, and a scratch folder for the suite's files.
class GifSuite : public ::testing::Test {
public:
    static std::string dir;

protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
};

struct PeerColour {
    int r, g, b;
};

struct PeerFrame {
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    std::vector<PeerColour> local;   // empty: none
    int disposal = 0, delay = 0, transparent = -1;
    std::vector<uint8_t> indices;    // display order, row by row
};

struct PeerGif {
    int width = 0, height = 0, bg = 0;
    std::vector<PeerColour> global;  // empty: none
    std::vector<PeerFrame> frames;
};

// giflib's reading of the file; false if giflib rejects it.
bool giflib_decode(const std::string &path, PeerGif *out);
// Writes the description with giflib as a GIF89a file (tables must have
// 2, 4, ..., 256 entries); loop_count >= 0 adds a looping block.
void giflib_write(const std::string &path, const PeerGif &gif,
                  int loop_count = -1);

// The last frame after every earlier frame and its disposal: 0xRRGGBB per
// pixel, or -1 where nothing shows (uncovered or transparent).
std::vector<int> compose_reference(const PeerGif &gif);

// Hand-made blocks. A colour table is given as packed 0xRRGGBB values.
std::string gif_start(const std::string &signature, int width, int height,
                      const std::vector<int> &global, int bg = 0);
std::string graphic_control(int disposal, int delay, int transparent,
                            int size_byte = 4);
std::string looping_block(int sub_block_id, int count);
std::string image_block(int left, int top, int width, int height,
                        const std::string &data,
                        const std::vector<int> &local = {},
                        bool interlaced = false);
// Splits bytes into data sub-blocks and adds the block terminator.
std::string sub_blocks(const std::string &bytes);
// Image data from a code sequence: the root width byte, then the codes
// packed at the widths a decoder expects; no terminator if !terminate.
std::string lzw_data(int root_width, const std::vector<int> &codes,
                     bool terminate = true);
// Codes that spell out indices one root at a time: clear, roots, end.
std::vector<int> root_codes(int root_width,
                            const std::vector<uint8_t> &indices);
const char GIF_TRAILER = 0x3B;

// n indices below colours, and n colours, at random from salt.
std::vector<uint8_t> noise(size_t n, int colours, unsigned salt);
std::vector<PeerColour> random_colours(int n, unsigned salt);
// A frame of noise of colour_count colours.
PeerFrame noise_frame(int left, int top, int w, int h, int colour_count,
                      unsigned salt);
// An animation with every disposal, a delay, transparency, local tables,
// an interlaced frame, one partly off the screen, a 1-bit frame (the least
// root width giflib writes) and 8-bit noise, which makes the table fill
// and clear (12-bit codes).
PeerGif peer_animation();

#endif
