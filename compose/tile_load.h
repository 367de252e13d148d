// Loading a checked tile: through a private link to the very file that
// was checked, so that the codec cannot be handed another, and the
// removal of that link.
#ifndef COMPOSE_TILE_LOAD_H
#define COMPOSE_TILE_LOAD_H

#include <cstdint>
#include <string>

struct BITMAP;

// Loads the tile at path through the file-type registry, checked as
// open_checked_tile checks it, so that the codec reads the very file that
// was checked. Returns null with *why set when the check or the codec
// fails.
BITMAP *load_checked_tile(const std::string &path, std::string *why);

// Ends loading through load_checked_tile: releases what it holds. Makes
// only calls that a signal handler may make.
void finish_tile_loads();

// Why the registry gave no tile of w x h pixels: the codec's own reason
// when it left one in allegro_error, else running out of memory, else the
// data. Both systems' loaders use it.
std::string tile_load_failure(int64_t w, int64_t h);

#endif
