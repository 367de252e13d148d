#include "observer_calls.h"

#include "compose.h"

const ComposeObserver *compose_observer = nullptr;

void observe_tiles_placed(size_t placed, size_t total)
{
    const ComposeObserver *o = compose_observer;
    if (o && o->tiles_placed)
        o->tiles_placed(o->context, placed, total);
}

int64_t observed_reader_bytes(int64_t width, int64_t height)
{
    const ComposeObserver *o = compose_observer;
    return o && o->canvas_reader_bytes
               ? o->canvas_reader_bytes(o->context, width, height)
               : 0;
}

void observe_map_canvas(BITMAP *canvas, int zoom, const char *map_name,
                        ImageFormat format, int min_column, int min_row,
                        int tile_size)
{
    const ComposeObserver *o = compose_observer;
    if (o && o->map_canvas)
        o->map_canvas(o->context, canvas, zoom, map_name, format, min_column,
                      min_row, tile_size);
}

void observe_canvas_release(BITMAP *canvas)
{
    const ComposeObserver *o = compose_observer;
    if (o && o->map_canvas_release)
        o->map_canvas_release(o->context, canvas);
}

void observe_save_began(const char *name, int width, int height)
{
    const ComposeObserver *o = compose_observer;
    if (o && o->map_save_began)
        o->map_save_began(o->context, name, width, height);
}

bool observe_save_failed(const char *name, const char *why)
{
    const ComposeObserver *o = compose_observer;
    return o && o->map_save_failed && o->map_save_failed(o->context, name, why);
}

void observe_save_ended(const char *name, bool saved)
{
    const ComposeObserver *o = compose_observer;
    if (o && o->map_save_ended)
        o->map_save_ended(o->context, name, saved);
}
