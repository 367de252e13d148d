// Windows: the checked tile stays open, shared for reading only, while the
// codec opens it again by name, so nobody can change, replace or remove
// it in between: the codec reads the very file that was checked.
#include "tile_load.h"

#include <allegro.h>
#include <io.h>

#include <cerrno>
#include <sstream>

#include "bitmap_size.h"
#include "tile_check.h"
#include "tile_place.h"
#include "tile_types.h"

BITMAP *load_checked_tile(const std::string &path, std::string *why)
{
    int64_t w = 0, h = 0;
    const int fd = open_checked_tile(path, false, &w, &h, why);
    if (fd < 0)
        return nullptr;
    allegro_error[0] = '\0';
    errno = 0;
    if (allegro_errno)
        *allegro_errno = 0;
    BITMAP *tile = load_map_tile(path, fd);
    if (!tile)
        *why = tile_load_failure(w, h);
    _close(fd);
    return tile;
}

void finish_tile_loads() {}
