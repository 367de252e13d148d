#include "vips_library.h"

#include <dlfcn.h>
#include <malloc.h>

#include <cstdlib>

VipsCalls vips_calls;

namespace {

// The shared object's version is the ABI the headers describe.
const int VIPS_ABI = VIPS_LIBRARY_CURRENT - VIPS_LIBRARY_AGE;

// The cut needs only libvips's own PNG and JPEG savers. Its optional
// loaders (ImageMagick, PDF, HEIF, ...) cost 6 MB at start-up: with
// VIPSHOME at Debian's folder that never exists, it finds none.
const char NO_VIPS_MODULES_HOME[] = "/nonexistent";
const int VIPS_WORKERS = 1;
const int MALLOC_ARENAS = 1;

bool loaded = false;

// Each entry of vips_calls and the name it is found under.
template <typename F>
bool find(void *library, const char *name, F *call, std::string *why)
{
    *call = reinterpret_cast<F>(dlsym(library, name));
    if (!*call)
        *why = std::string("libvips has no ") + name;
    return *call != nullptr;
}

bool find_all(void *library, std::string *why)
{
    VipsCalls &c = vips_calls;
    return find(library, "vips_init", &c.init, why) &&
           find(library, "vips_error_buffer", &c.error_buffer, why) &&
           find(library, "vips_error_clear", &c.error_clear, why) &&
           find(library, "vips_cache_set_max", &c.cache_set_max, why) &&
           find(library, "vips_concurrency_set", &c.concurrency_set, why) &&
           find(library, "vips_image_new_from_memory", &c.image_new_from_memory,
                why) &&
           find(library, "vips_image_set_kill", &c.image_set_kill, why) &&
           find(library, "vips_extract_band", &c.extract_band, why) &&
           find(library, "vips_extract_area", &c.extract_area, why) &&
           find(library, "vips_bandjoin", &c.bandjoin, why) &&
           find(library, "vips_dzsave", &c.dzsave, why) &&
           find(library, "vips_array_double_newv", &c.array_double_newv, why) &&
           find(library, "vips_area_unref", &c.area_unref, why) &&
           // GObject's and GLib's, found among libvips's own libraries.
           find(library, "g_object_unref", &c.object_unref, why) &&
           find(library, "g_free", &c.free_buffer, why);
}

}  // namespace

bool load_vips(std::string *why)
{
    if (loaded)
        return true;
    const std::string name = "libvips.so." + std::to_string(VIPS_ABI);
    // Never closed: libvips keeps threads and type registrations.
    void *library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char *error = dlerror();
        *why = error ? error : "cannot load " + name;
        return false;
    }
    if (!find_all(library, why))
        return false;
    setenv("VIPSHOME", NO_VIPS_MODULES_HOME, 0);
    if (vips_calls.init("mapper") != 0) {
        *why = vips_calls.error_buffer();
        vips_calls.error_clear();
        return false;
    }
    // The canvases are freed after their cut: nothing is worth caching.
    vips_calls.cache_set_max(0);
    // One worker: the tiles are written one at a time anyway, and the
    // map's save has the other core.
    vips_calls.concurrency_set(VIPS_WORKERS);
    // libvips's threads then allocate from the main heap, which they leave
    // to the next level's cut, rather than each keeping an arena of its
    // own: 3 MB less at the peak, beside the canvas.
    mallopt(M_ARENA_MAX, MALLOC_ARENAS);
    loaded = true;
    return true;
}
