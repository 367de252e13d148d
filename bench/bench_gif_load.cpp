// bench_gif_load: times the registry loader on a folder of GIF tiles, the
// way the compositor reads a world of GIF tiles.
//
//   bench_gif_load DIR [DEPTH [RUNS]]
//
// Loads every .gif file under DIR with load_bitmap at colour depth DEPTH
// (default 32), RUNS times (default 5), and prints the median time of a
// pass, the time per tile and a checksum of the loaded pixels, so that two
// builds can be compared for speed and for the same output.
#include <allegro.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "gif_codec.h"

namespace {

const int DEFAULT_DEPTH = 32;
const int DEFAULT_RUNS = 5;
const uint64_t FNV_OFFSET = 14695981039346656037ull;
const uint64_t FNV_PRIME = 1099511628211ull;

double now_s()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::vector<std::string> gif_files(const std::string &dir)
{
    std::vector<std::string> files;
    for (const auto &e : std::filesystem::recursive_directory_iterator(dir)) {
        if (e.is_regular_file() && e.path().extension() == ".gif")
            files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

uint64_t hash_bitmap(uint64_t h, BITMAP *bmp)
{
    const int row_bytes = bmp->w * ((bitmap_color_depth(bmp) + 7) / 8);
    for (int y = 0; y < bmp->h; ++y) {
        for (int i = 0; i < row_bytes; ++i)
            h = (h ^ bmp->line[y][i]) * FNV_PRIME;
    }
    return h;
}

// One pass over the files; the checksum is taken outside the timing.
double load_all(const std::vector<std::string> &files, uint64_t *checksum)
{
    double total = 0;
    uint64_t h = FNV_OFFSET;
    for (const std::string &f : files) {
        double t0 = now_s();
        BITMAP *bmp = load_bitmap(f.c_str(), nullptr);
        total += now_s() - t0;
        if (!bmp) {
            std::fprintf(stderr, "bench_gif_load: cannot load %s\n", f.c_str());
            std::exit(1);
        }
        h = hash_bitmap(h, bmp);
        destroy_bitmap(bmp);
    }
    *checksum = h;
    return total;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: bench_gif_load DIR [DEPTH [RUNS]]\n");
        return 2;
    }
    const int depth = argc > 2 ? std::atoi(argv[2]) : DEFAULT_DEPTH;
    const int runs = std::max(1, argc > 3 ? std::atoi(argv[3]) : DEFAULT_RUNS);
    install_allegro(SYSTEM_NONE, &errno, atexit);
    gif_codec_init();
    set_color_depth(depth);

    const std::vector<std::string> files = gif_files(argv[1]);
    if (files.empty()) {
        std::fprintf(stderr, "bench_gif_load: no .gif files under %s\n", argv[1]);
        return 1;
    }
    std::vector<double> times;
    uint64_t checksum = 0;
    for (int r = 0; r < runs; ++r)
        times.push_back(load_all(files, &checksum));
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    std::printf("tiles %zu depth %d load_s %.4f per_tile_ms %.3f checksum %016llx\n",
                files.size(), depth, median, 1000 * median / files.size(),
                static_cast<unsigned long long>(checksum));
    return 0;
}
