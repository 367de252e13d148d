#include "world_layout.h"

#include <sstream>

namespace {

const char DATA_FOLDER[] = "Orvandelquist";
const char WORLD_FOLDER_PREFIX[] = "World";
const char ZOOM_FOLDER_PREFIX[] = "Zoom";
const char CHANGE_LIST_NAME[] = "changed.txt";

}  // namespace

std::string game_folder_path(const std::string &appdata,
                             const char *separator)
{
    return appdata + separator + DATA_FOLDER;
}

std::string world_folder_path(const std::string &appdata, int world_number,
                              const char *separator)
{
    std::ostringstream s;
    s << game_folder_path(appdata, separator) << separator
      << WORLD_FOLDER_PREFIX << world_number;
    return s.str();
}

std::string zoom_folder_path(const std::string &appdata, int world_number,
                             int zoom, const char *separator)
{
    std::ostringstream s;
    s << world_folder_path(appdata, world_number, separator) << separator
      << ZOOM_FOLDER_PREFIX << zoom;
    return s.str();
}

std::string change_list_path(const std::string &appdata, int world_number,
                             const char *separator)
{
    return world_folder_path(appdata, world_number, separator) + separator +
           CHANGE_LIST_NAME;
}

std::string tile_path(const std::string &appdata, int world_number,
                      const TileEntry &t, const std::string &ext,
                      const char *separator)
{
    std::ostringstream s;
    s << zoom_folder_path(appdata, world_number, t.zoom, separator)
      << separator << TILE_NAME_PREFIX << t.x << TILE_NAME_SEPARATOR << t.y
      << "." << ext;
    return s.str();
}
