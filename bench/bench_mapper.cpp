// bench_mapper: times the real pipeline (read_change_list, then
// compose_maps) on generated worlds of textured tiles, and the library
// work inside it (decoding every tile, encoding the map), and prints the
// figures with the peak memory against the canvases' own bytes, and what
// the checks of the tiles cost: the check of every listed tile that runs
// before any map bitmap, and the check before each load.
//
// It also times each world's compose from a list that names every tile
// --relist times (as the game's list does after it rewrote each tile that
// often), against the list that names each once.
//
//   bench_mapper [--work DIR] [--sizes 8,16,24] [--formats png,jpg,gif]
//                [--png-levels 9,6,3,1] [--tile 256] [--repeat 3]
//                [--relist 5]    (0: no relisted runs)
//                [--web 1]       (1: each compose once more with the web map)
#include <allegro.h>
#include <jpgalleg.h>
#include <loadpng.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "change_list.h"
#include "compose.h"
#include "compose_listeners.h"
#include "gif_codec.h"
#include "jpeg_codec.h"
#include "map_file.h"
#include "tile_check.h"
#include "tile_load.h"
#include "tile_place.h"
#include "web_map.h"
#include "world_gen.h"
#include "world_layout.h"

namespace {

struct Options {
    std::string work = "bench-worlds";
    std::vector<int> sizes = {8, 16, 24};
    std::vector<std::string> formats = {"png", "jpg", "gif"};
    std::vector<int> png_levels = {-1};  // -1: the program's own level
    int tile = 256;
    int repeat = 3;
    int relist = 5;
    bool web = false;
};

// What one child run measured.
struct RunFigures {
    double compose_s = 0;  // read_change_list + compose_maps
    double load_s = 0;     // load_bitmap of every listed tile
    double save_s = 0;     // save_bitmap of map 0 once more
    double check_s = 0;    // check_listed_tiles alone
    double checked_load_s = 0;  // load_checked_tile of every listed tile
    // The same in processor time (user and system), which other work on a
    // shared machine disturbs far less than the elapsed time.
    double compose_cpu = 0, load_cpu = 0, save_cpu = 0;
    long peak_kb = 0;      // peak resident memory of the compose run
    long long canvas_bytes = 0;
    long long map_bytes = 0;
    size_t tiles = 0;      // entries of the list
};

double cpu_s()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double now_s()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::vector<std::string> split(const std::string &s)
{
    std::vector<std::string> out;
    std::stringstream in(s);
    std::string part;
    while (std::getline(in, part, ','))
        if (!part.empty())
            out.push_back(part);
    return out;
}

std::vector<int> split_ints(const std::string &s)
{
    std::vector<int> out;
    for (const std::string &p : split(s))
        out.push_back(std::atoi(p.c_str()));
    return out;
}

void start_library(int png_level)
{
    install_allegro(SYSTEM_NONE, &errno, atexit);
    set_color_depth(32);
    loadpng_init();
    jpeg_codec_init(save_jpg);  // as the program: libjpeg decodes tiles
    jpgalleg_init();
    gif_codec_init();
    configure_png_codec();
    if (png_level >= 0)
        _png_compression_level = png_level;
}

std::string world_root(const Options &o, const std::string &ext, int n)
{
    return o.work + "/" + ext + "-" + std::to_string(n) + "x" +
           std::to_string(n) + "-" + std::to_string(o.tile);
}

// Writes the world once; later runs reuse it.
bool ensure_world(const Options &o, const std::string &ext, int n)
{
    std::string root = world_root(o, ext, n);
    struct stat st;
    if (stat(change_list_path(root, 1).c_str(), &st) == 0)
        return true;
    pid_t pid = fork();
    if (pid == 0) {
        start_library(-1);
        SampleWorld world;
        world.root = root;
        world.ext = ext;
        world.tile_size = o.tile;
        world.textured = true;
        world.tiles = grid_layout(0, n, n);
        _exit(write_world(world) ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The best of the runs: on a virtual machine whose speed jumps between
// runs, other work only ever adds time, so the lowest figure is the one
// that least depends on the neighbours.
double lowest(const std::vector<double> &v)
{
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

// Runs of the tile check alone in one compose child; it takes
// milliseconds, so one run would be mostly noise.
const int CHECK_REPEAT = 9;

// A world whose list names every tile of the world of n x n tiles
// o.relist times over, in a data folder of its own that shares the tile
// folder of that world.
std::string relisted_root(const Options &o, const std::string &ext, int n)
{
    const std::string base = world_root(o, ext, n);
    const std::string root = base + "-listed" + std::to_string(o.relist);
    if (system(("mkdir -p '" + world_folder_path(root, 1) +
                "' && ln -sfn \"$(realpath '" + zoom_folder_path(base, 1, 0) +
                "')\" '" + zoom_folder_path(root, 1, 0) + "'")
                   .c_str()) != 0)
        return "";
    std::ifstream in(change_list_path(base, 1), std::ios::binary);
    std::stringstream lines;
    lines << in.rdbuf();
    std::ofstream list(change_list_path(root, 1), std::ios::binary);
    for (int i = 0; i < o.relist; ++i)
        list << lines.str();
    return list ? root : "";
}

long long file_size(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// The compose children cut the web map as well, as --web has it.
bool with_web_map = false;

// Child: the compose run alone, so that its peak memory is its own.
void child_compose(const std::string &root, const std::string &out,
                   int png_level, int fd)
{
    start_library(png_level);
    if (with_web_map) {
        start_web_map(BACKGROUND_R, BACKGROUND_G, BACKGROUND_B);
        listen_to_compose(true);
    }
    setenv("XDG_DATA_HOME", root.c_str(), 1);
    if (chdir(out.c_str()) != 0)
        _exit(2);
    if (!freopen("/dev/null", "w", stdout))
        _exit(2);
    RunFigures f;
    double t0 = now_s(), c0 = cpu_s();
    read_change_list(1);
    compose_maps(1);
    if (with_web_map && !finish_web_map(nullptr))
        _exit(5);
    f.compose_s = now_s() - t0;
    std::vector<double> checks;
    for (int i = 0; i < CHECK_REPEAT; ++i) {
        t0 = now_s();
        check_listed_tiles(1);
        checks.push_back(now_s() - t0);
    }
    f.check_s = median(checks);
    f.tiles = tile_list.size();
    f.compose_cpu = cpu_s() - c0;
    for (int z = 0; z <= ZoomBounds.max_zoom; ++z)
        f.canvas_bytes += int64_t(MAP_BYTES_PER_PIXEL) * tile_size * tile_size *
                          (ZoomBounds.zoom_max_x[z] - ZoomBounds.zoom_min_x[z] + 1) *
                          (ZoomBounds.zoom_max_y[z] - ZoomBounds.zoom_min_y[z] + 1);
    f.map_bytes = file_size(out + "/map_zoom_0." + tile_ext);
    if (write(fd, &f, sizeof f) != sizeof f)
        _exit(3);
    _exit(0);
}

// Child: what the libraries alone spend, on the same files: tiles decoded
// at their own depth and the map encoded at 24 bits, as the compositor
// has them.
void child_library(const std::string &root, const std::string &out,
                   int png_level, int fd)
{
    start_library(png_level);
    set_color_conversion(COLORCONV_NONE);
    setenv("XDG_DATA_HOME", root.c_str(), 1);
    if (!freopen("/dev/null", "w", stdout))
        _exit(2);
    read_change_list(1);
    RunFigures f;
    // Each tile loaded plainly and then checked, one after the other, so
    // that a busy machine slows both alike.
    for (const TileEntry &t : tile_list) {
        const std::string p = tile_path(root, 1, t, tile_ext);
        double t0 = now_s(), c0 = cpu_s();
        BITMAP *b = load_bitmap(p.c_str(), NULL);
        if (b)
            destroy_bitmap(b);
        f.load_s += now_s() - t0;
        f.load_cpu += cpu_s() - c0;
        std::string why;
        t0 = now_s();
        b = load_checked_tile(p, &why);
        if (b)
            destroy_bitmap(b);
        f.checked_load_s += now_s() - t0;
    }
    finish_tile_loads();
    std::string map = out + "/map_zoom_0." + std::string(tile_ext);
    BITMAP *m = load_bitmap(map.c_str(), NULL);
    if (!m || bitmap_color_depth(m) != MAP_DEPTH)
        _exit(4);
    std::string again = out + "/again." + std::string(tile_ext);
    double t0 = now_s(), c0 = cpu_s();
    save_bitmap(again.c_str(), m, NULL);
    f.save_s = now_s() - t0;
    f.save_cpu = cpu_s() - c0;
    std::remove(again.c_str());
    if (write(fd, &f, sizeof f) != sizeof f)
        _exit(3);
    _exit(0);
}

bool run_child(void (*body)(const std::string &, const std::string &, int, int),
               const std::string &root, const std::string &out, int level,
               RunFigures *f)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        body(root, out, level, fds[1]);
    }
    close(fds[1]);
    RunFigures got;
    bool ok = read(fds[0], &got, sizeof got) == sizeof got;
    close(fds[0]);
    int status = 0;
    struct rusage ru;
    wait4(pid, &status, 0, &ru);
    if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return false;
    got.peak_kb = ru.ru_maxrss;
    *f = got;
    return true;
}

void bench_world(const Options &o, const std::string &ext, int n, int level)
{
    if (!ensure_world(o, ext, n)) {
        std::printf("%-4s %2dx%-2d  cannot write the world\n", ext.c_str(), n, n);
        return;
    }
    std::string root = world_root(o, ext, n);
    std::string out = root + "/out";
    mkdir(out.c_str(), 0755);
    const std::string relisted = o.relist > 0 ? relisted_root(o, ext, n) : "";
    std::vector<double> compose, load, save, check, checked_load;
    std::vector<double> compose_relisted, compose_cpu, lib_cpu, relisted_cpu;
    // GIF is our own codec: there is no library time to set apart.
    const bool own_codec = ext == "gif";
    RunFigures last, last_web;
    std::vector<double> compose_web;
    for (int r = 0; r < o.repeat; ++r) {
        RunFigures c, l, d, w;
        with_web_map = o.web;
        const bool web_ok = !o.web ||
                            run_child(child_compose, root, out, level, &w);
        with_web_map = false;
        if (!web_ok || !run_child(child_compose, root, out, level, &c) ||
            (!own_codec && !run_child(child_library, root, out, level, &l)) ||
            (!relisted.empty() &&
             !run_child(child_compose, relisted, out, level, &d))) {
            std::printf("%-4s %2dx%-2d  run failed\n", ext.c_str(), n, n);
            return;
        }
        compose.push_back(c.compose_s);
        check.push_back(c.check_s);
        checked_load.push_back(l.checked_load_s);
        load.push_back(l.load_s);
        save.push_back(l.save_s);
        compose_relisted.push_back(d.compose_s);
        compose_cpu.push_back(c.compose_cpu);
        lib_cpu.push_back(l.load_cpu + l.save_cpu);
        relisted_cpu.push_back(d.compose_cpu);
        compose_web.push_back(w.compose_s);
        last = c;
        last_web = w;
    }
    const double lib = median(load) + median(save);
    const double canvas_mb = last.canvas_bytes / 1048576.0;
    const double peak_mb = last.peak_kb / 1024.0;
    std::printf("%-4s %2dx%-2d lvl %2s  compose %7.2f s  ", ext.c_str(), n, n,
                level < 0 ? "-" : std::to_string(level).c_str(),
                median(compose));
    if (ext == "gif")
        std::printf("(our own codec throughout)  ");
    else
        std::printf("libraries %7.2f s (load %6.2f, save %6.2f)  ratio %.2f "
                    "(cpu %.2f, best cpu %.2f)  ",
                    lib, median(load), median(save),
                    lib > 0 ? median(compose) / lib : 0,
                    median(lib_cpu) > 0
                        ? median(compose_cpu) / median(lib_cpu)
                        : 0,
                    lowest(lib_cpu) > 0
                        ? lowest(compose_cpu) / lowest(lib_cpu)
                        : 0);
    std::printf("peak %7.1f MB  canvas %7.1f MB  (+%.1f%%)  map %6.1f MB\n",
                peak_mb, canvas_mb,
                canvas_mb > 0 ? 100.0 * (peak_mb - canvas_mb) / canvas_mb : 0,
                last.map_bytes / 1048576.0);
    std::printf("     tile checks: all %zu before the maps %6.1f ms (%.2f%% of "
                "the compose)", last.tiles, 1000 * median(check),
                100 * median(check) / median(compose));
    if (!own_codec)
        std::printf(", before each load %+6.1f ms over plain loads",
                    1000 * (median(checked_load) - median(load)));
    std::printf("\n");
    if (!relisted.empty())
        std::printf("%-4s %2dx%-2d listed %dx  compose %7.2f s (cpu %.2f s)  "
                    "ratio to listed once %.2f (cpu %.2f)\n",
                    ext.c_str(), n, n, o.relist, median(compose_relisted),
                    median(relisted_cpu),
                    median(compose_relisted) / median(compose),
                    median(relisted_cpu) / median(compose_cpu));
    if (o.web) {
        const double web_peak_mb = last_web.peak_kb / 1024.0;
        std::printf("%-4s %2dx%-2d web map  compose %7.2f s  (+%.2f s, %.0f%% "
                    "of the compose without it)  peak %7.1f MB (%.2f x canvas)\n",
                    ext.c_str(), n, n, median(compose_web),
                    median(compose_web) - median(compose),
                    100 * (median(compose_web) - median(compose)) /
                        median(compose),
                    web_peak_mb, canvas_mb > 0 ? web_peak_mb / canvas_mb : 0);
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i], v = argv[i + 1];
        if (a == "--work")
            o.work = v;
        else if (a == "--sizes")
            o.sizes = split_ints(v);
        else if (a == "--formats")
            o.formats = split(v);
        else if (a == "--png-levels")
            o.png_levels = split_ints(v);
        else if (a == "--tile")
            o.tile = std::atoi(v.c_str());
        else if (a == "--repeat")
            o.repeat = std::max(1, std::atoi(v.c_str()));
        else if (a == "--relist")
            o.relist = std::max(0, std::atoi(v.c_str()));
        else if (a == "--web")
            o.web = std::atoi(v.c_str()) != 0;
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    mkdir(o.work.c_str(), 0755);
    std::printf("world benchmarks: textured %d-pixel tiles, medians of %d runs\n",
                o.tile, o.repeat);
    std::fflush(stdout);
    for (const std::string &ext : o.formats)
        for (int n : o.sizes)
            for (int level : (ext == "png" ? o.png_levels : std::vector<int>{-1}))
                bench_world(o, ext, n, level);
    return 0;
}
