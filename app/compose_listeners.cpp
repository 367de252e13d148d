#include "compose_listeners.h"

#include "compose.h"
#include "progress_window.h"
#include "terminal_line.h"
#include "web_map.h"

namespace {

struct Listeners {
    bool web_map = false;
};
Listeners listeners;

Listeners &of(void *context) { return *static_cast<Listeners *>(context); }

void tiles_placed(void *, size_t placed, size_t total)
{
    progress_tiles_placed(placed, total);
    terminal_tiles_placed(placed, total);
}

int64_t canvas_reader_bytes(void *context, int64_t width, int64_t height)
{
    return of(context).web_map ? pyramid_cut_bytes(width, height) : 0;
}

void map_canvas(void *context, BITMAP *canvas, int zoom, const char *map_name,
                ImageFormat format, int min_column, int min_row, int tile_size)
{
    // JPEG tiles for a JPEG map; PNG, lossless as the map is, for others.
    const WebTileFormat tiles = format == FORMAT_JPEG ? WEB_TILES_JPEG
                                                      : WEB_TILES_PNG;
    if (!of(context).web_map)
        return;
    cut_web_level(canvas, zoom, map_name, tiles, min_column, min_row, tile_size);
    terminal_web_cut(map_name, true);
}

void map_canvas_release(void *context, BITMAP *canvas)
{
    if (!of(context).web_map)
        return;
    release_web_canvas(canvas);
    terminal_web_cut("", false);
}

void map_save_began(void *, const char *name, int width, int height)
{
    progress_map_save_began(name, width, height);
    terminal_map_saving(name, true);
}

bool map_save_failed(void *context, const char *name, const char *why)
{
    return of(context).web_map && web_map_gives_way(name, why);
}

void map_save_ended(void *, const char *name, bool saved)
{
    progress_map_save_ended(name, saved);
    terminal_map_saving(name, false);
}

const ComposeObserver OBSERVER = {&listeners,         tiles_placed,
                                  canvas_reader_bytes, map_canvas,
                                  map_canvas_release,  map_save_began,
                                  map_save_failed,     map_save_ended};

}  // namespace

void listen_to_compose(bool web_map)
{
    listeners.web_map = web_map;
    compose_observer = &OBSERVER;
}
