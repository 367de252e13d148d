// The compositor's calls of its observer (compose.h): each does nothing
// where no observer, or not that function of it, is set.
#ifndef COMPOSE_OBSERVER_CALLS_H
#define COMPOSE_OBSERVER_CALLS_H

#include <cstddef>
#include <cstdint>

#include "image_format.h"

struct BITMAP;

void observe_tiles_placed(size_t placed, size_t total);

// 0 when nobody reads the canvases.
int64_t observed_reader_bytes(int64_t width, int64_t height);

void observe_map_canvas(BITMAP *canvas, int zoom, const char *map_name,
                        ImageFormat format, int min_column, int min_row,
                        int tile_size);
void observe_canvas_release(BITMAP *canvas);
void observe_save_began(const char *name, int width, int height);

// False when nobody gave room back.
bool observe_save_failed(const char *name, const char *why);

void observe_save_ended(const char *name, bool saved);

#endif
