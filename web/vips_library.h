// libvips, loaded and started on the first call of load_vips: a run
// without the web map maps neither it nor the hundred libraries it
// brings (18 MB of the plain run's peak), and starts none of its threads.
// The web map calls libvips only through vips_calls.
#ifndef WEB_VIPS_LIBRARY_H
#define WEB_VIPS_LIBRARY_H

#include <vips/vips.h>

#include <string>

struct VipsCalls {
    decltype(&::vips_init) init;
    decltype(&::vips_error_buffer) error_buffer;
    decltype(&::vips_error_clear) error_clear;
    decltype(&::vips_cache_set_max) cache_set_max;
    decltype(&::vips_concurrency_set) concurrency_set;
    decltype(&::vips_image_new_from_memory) image_new_from_memory;
    decltype(&::vips_image_set_kill) image_set_kill;
    decltype(&::vips_extract_band) extract_band;
    decltype(&::vips_extract_area) extract_area;
    decltype(&::vips_bandjoin) bandjoin;
    decltype(&::vips_dzsave) dzsave;
    decltype(&::vips_array_double_newv) array_double_newv;
    decltype(&::vips_area_unref) area_unref;
    decltype(&::g_object_unref) object_unref;
    decltype(&::g_free) free_buffer;
};
extern VipsCalls vips_calls;

// Loads the libvips of the ABI the program was built for and starts it
// once, for the web map's cut: no optional loaders, no cache, one worker,
// one malloc arena; false with the reason in *why when it cannot.
bool load_vips(std::string *why);

#endif
