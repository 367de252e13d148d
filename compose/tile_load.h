// Loading a checked tile: through a private link to the very file that
// was checked, so that the codec cannot be handed another, and the
// removal of that link.
#ifndef COMPOSE_TILE_LOAD_H
#define COMPOSE_TILE_LOAD_H

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

#endif
