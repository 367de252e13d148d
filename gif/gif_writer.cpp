#include "gif_codec.h"

// Placeholder until the writer is built: every save fails.
int gif_bitmap_saver(const char *, BITMAP *, const RGB *) { return -1; }
int gif_write_document(const char *, const GifDocument *) { return -1; }
