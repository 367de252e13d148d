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

namespace {

// Why the registry gave no tile: the codec's own reason when it left one
// in allegro_error, else running out of memory, else the data.
std::string load_failure(int64_t w, int64_t h)
{
    if (allegro_error[0] != '\0')
        return allegro_error;
    if (errno == ENOMEM || (allegro_errno && *allegro_errno == ENOMEM)) {
        std::ostringstream s;
        s << "out of memory: its " << w << " x " << h << " pixels need up to "
          << bitmap_bytes(w, h, MAX_TILE_BYTES_PER_PIXEL) / MIB
          << " MB, which the system did not give";
        return s.str();
    }
    return "its data cannot be decoded";
}

}  // namespace

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
        *why = load_failure(w, h);
    _close(fd);
    return tile;
}

void finish_tile_loads() {}
