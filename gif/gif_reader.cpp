#include "gif_codec.h"

// Placeholder until the reader is built: nothing loads.
void gif_codec_init() {}
BITMAP *gif_bitmap_loader(const char *, RGB *) { return nullptr; }
