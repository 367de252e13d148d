#include "tile_load.h"

#include <allegro.h>

#include <cerrno>
#include <sstream>

#include "bitmap_size.h"
#include "tile_check.h"

std::string tile_load_failure(int64_t w, int64_t h)
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
