// The web map cut from the compositor's canvases: the pyramid against the
// map, its replacement by a later run, its tile formats, and the page in
// a real headless browser.
#include <gtest/gtest.h>

#include <allegro.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../compose/compose_fixture.h"
#include "fat_disk.h"
#include "web_map.h"

namespace {

const int WEB_TILE = 256;
const int GRID_TILE = 64;

class WebMapTest : public ComposeFixture {
protected:
    void SetUp() override
    {
        ComposeFixture::SetUp();
        world.tile_size = GRID_TILE;
        start_web_map(BACKGROUND_R, BACKGROUND_G, BACKGROUND_B);
        map_canvas_hook = cut_web_level;
    map_canvas_release_hook = release_web_canvas;
    }
    void TearDown() override
    {
        map_canvas_hook = nullptr;
        map_canvas_release_hook = nullptr;
        ComposeFixture::TearDown();
    }

    // Composes the world with its web map; returns the log.
    std::string compose_with_web()
    {
        ComposeFixture::write_and_read();
        const std::string log = compose();
        std::string why;
        EXPECT_TRUE(finish_web_map(&why)) << why;
        return log;
    }

    std::string web_path(const std::string &rest) const
    {
        return out + "/" + WEB_FOLDER_NAME + "/" + rest;
    }

    // Every 256-pixel cell of the map at the pyramid's deepest level: a
    // tile with the map's pixels (background beyond its edges), or none
    // where the map is wholly background there.
    void expect_deepest_level_is_map(int zoom, int depth)
    {
        BITMAP *map = load_bitmap(("map_zoom_" + std::to_string(zoom) + ".png").c_str(),
                                  nullptr);
        ASSERT_NE(map, nullptr);
        const int background = makecol_depth(bitmap_color_depth(map), BACKGROUND_R,
                                              BACKGROUND_G, BACKGROUND_B);
        for (int ty = 0; ty * WEB_TILE < map->h; ++ty) {
            for (int tx = 0; tx * WEB_TILE < map->w; ++tx) {
                const std::string name = "z" + std::to_string(zoom) + "/" +
                                         std::to_string(depth) + "/" +
                                         std::to_string(ty) + "/" +
                                         std::to_string(tx) + ".png";
                bool blank = true;
                for (int y = 0; y < WEB_TILE && blank; ++y)
                    for (int x = 0; x < WEB_TILE && blank; ++x) {
                        const int mx = tx * WEB_TILE + x, my = ty * WEB_TILE + y;
                        blank = mx >= map->w || my >= map->h ||
                                getpixel(map, mx, my) == background;
                    }
                BITMAP *tile = load_bitmap(web_path(name).c_str(), nullptr);
                EXPECT_EQ(tile == nullptr, blank) << name;
                if (!tile)
                    continue;
                int wrong = 0;
                for (int y = 0; y < WEB_TILE; ++y)
                    for (int x = 0; x < WEB_TILE; ++x) {
                        const int mx = tx * WEB_TILE + x, my = ty * WEB_TILE + y;
                        const int want = mx < map->w && my < map->h
                                             ? getpixel(map, mx, my) : background;
                        wrong += getpixel(tile, x, y) != want;
                    }
                EXPECT_EQ(wrong, 0) << name << " differs from the map";
                destroy_bitmap(tile);
            }
        }
        destroy_bitmap(map);
    }

    std::string leftovers() const
    {
        return run_command("ls -A '" + out + "' | grep -e '\\.part-' -e '\\.old-'");
    }
};

// Grid cells (-2,-1), (1,0) and (5,4) at 64 pixels: a 512 x 384 map whose
// 256-pixel cells (1,0) and (0,1) are background, and a one-tile level 1.
const std::vector<GenTile> FIRST_WORLD = {
    {0, -2, -1}, {0, 1, 0}, {0, 5, 4}, {1, 0, 0}, {1, 1, 1}};
// The same columns over two rows, one level: cell (1,1) of the first
// run's pyramid is gone, and level 1 with it.
const std::vector<GenTile> SECOND_WORLD = {{0, -2, -1}, {0, 1, 0}, {0, 5, -1}};

TEST_F(WebMapTest, PyramidHoldsTheMapAndASecondRunReplacesItWhole)
{
    world.textured = true;
    world.tiles = FIRST_WORLD;
    const std::string log = compose_with_web();
    EXPECT_NE(log.find("Cutting web tiles for map_zoom_0.png\nSaving map_zoom_0.png\n"
                       "map_zoom_0.png saved\nCutting web tiles for map_zoom_0.png done\n"
                       "Cutting web tiles for map_zoom_1.png\n"),
              std::string::npos) << log;
    expect_deepest_level_is_map(0, 1);
    expect_deepest_level_is_map(1, 0);
    EXPECT_TRUE(file_exists(web_path("z0/0/0/0.png")));
    EXPECT_TRUE(file_exists(out + "/" + WEB_PAGE_NAME));
    EXPECT_TRUE(file_exists(web_path("leaflet.js")));
    EXPECT_TRUE(file_exists(web_path("images/layers.png")));

    tile_list.clear();
    std::memset(&ZoomBounds, 0, sizeof ZoomBounds);
    world.tiles = SECOND_WORLD;
    compose_with_web();
    expect_deepest_level_is_map(0, 1);
    EXPECT_FALSE(file_exists(web_path("z0/1/1/1.png")));
    EXPECT_FALSE(file_exists(web_path("z1")));
    EXPECT_EQ(leftovers(), "");
}

// JPEG maps get JPEG tiles; PNG and GIF maps get PNG tiles.
TEST_F(WebMapTest, TilesTakeTheMapsFormat)
{
    const std::map<std::string, std::string> tile_format = {
        {"png", "png"}, {"gif", "png"}, {"jpg", "jpg"}};
    world.tiles = {{0, 0, 0}};
    for (const auto &[map_ext, ext] : tile_format) {
        tile_list.clear();
        std::memset(&ZoomBounds, 0, sizeof ZoomBounds);
        std::memset(tile_ext, 0, sizeof tile_ext);
        world.ext = map_ext;
        compose_with_web();
        const std::string tile = read_file(web_path("z0/0/0/0." + ext));
        const std::string magic = ext == "png" ? "\x89PNG" : "\xff\xd8\xff";
        EXPECT_EQ(tile.substr(0, magic.size()), magic) << map_ext;
        EXPECT_NE(read_file(web_path("levels.js")).find("format: \"" + ext + "\""),
                  std::string::npos) << map_ext;
    }
}

// A disk that fills up while the web map is written: the program run
// fails with the reason, leaves nothing unfinished and keeps the older
// maps and web map. (The program itself, since libvips's threads do not
// survive a death test's fork.)
TEST_F(WebMapTest, FullDiskKeepsTheOlderWebMap)
{
    world.textured = true;
    world.tiles = FIRST_WORLD;
    write_and_read();
    const std::string disk = out + "/disk";
    ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
    if (mount("tmpfs", disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=2m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs (needs root): " << std::strerror(errno);
    const std::string run = "XDG_DATA_HOME='" + root + "' '" + MAPPER_PROGRAM +
                            "' --world 1 --web --quiet --output '" + disk + "' 2>&1";
    const std::string files = "cd '" + disk + "' && find . -type f | sort | xargs md5sum";
    int status = -1;
    EXPECT_EQ(run_command(run, &status), "");
    EXPECT_EQ(status, 0);
    const std::string older = run_command(files);
    // Room for the maps, Leaflet's files and half of the tiles.
    struct statvfs vfs;
    ASSERT_EQ(statvfs(disk.c_str(), &vfs), 0);
    auto bytes = [&](const std::string &what) {
        return std::stol(run_command("cd '" + disk + "' && du -cb " + what + " | tail -1"));
    };
    const long fill = static_cast<long>(vfs.f_bavail * vfs.f_bsize) -
                      bytes("map_zoom_*") - bytes("map_web") + bytes("map_web/z*") / 2;
    write_file(disk + "/filler", std::string(static_cast<size_t>(std::max(fill, 0L)), '\0'));
    const std::string message = run_command(run, &status);
    EXPECT_NE(message.find("No space left on device"), std::string::npos) << message;
    EXPECT_EQ(status, 1);
    std::remove((disk + "/filler").c_str());
    EXPECT_EQ(run_command(files), older);
    EXPECT_EQ(run_command("ls -A '" + disk + "' | grep -e '\\.part-' -e '\\.old-'"), "");
    umount2(disk.c_str(), MNT_DETACH);
}

// A USB stick: fixed owner and mode, no rename flags. The web map is
// written and replaced all the same, and nothing is left beside it.
TEST_F(WebMapTest, WebMapReachesAFileSystemOfFixedOwnerAndMode)
{
    world.tiles = FIRST_WORLD;
    write_and_read();
    FatDisk disk(out + "/stick", root + "/stick.img");
    if (!disk.error.empty())
        GTEST_SKIP() << "cannot mount a FAT or exFAT image: " << disk.error;
    const std::string run = "XDG_DATA_HOME='" + root + "' '" + MAPPER_PROGRAM +
                            "' --world 1 --web --quiet --output '" + disk.path + "' 2>&1";
    for (int i = 0; i < 2; ++i) {
        int status = -1;
        EXPECT_EQ(run_command(run, &status), "") << disk.kind;
        EXPECT_EQ(status, 0) << disk.kind;
    }
    EXPECT_EQ(run_command("ls -A '" + disk.path + "'"),
              "map.html\nmap_web\nmap_zoom_0.png\nmap_zoom_1.png\n") << disk.kind;
    EXPECT_TRUE(file_exists(disk.path + "/map_web/z0/1/1/1.png")) << disk.kind;
}

// Screen pixel of map pixel (x, y) of level 0 in the 800 x 600 page
// centred on the map's centre at full size.
const int PAGE_W = 800, PAGE_H = 600;
const int MAP0_W = 512, MAP0_H = 384;
int screen_x(int x) { return x + PAGE_W / 2 - MAP0_W / 2; }
int screen_y(int y) { return y + PAGE_H / 2 - MAP0_H / 2; }

struct PagePoint {
    int x, y;          // map pixel of level 0
    const char *cell;  // the readout there, "" when not checked
};
// In the tiles of cells (-2,-1) and (5,4), in the background of a cell
// in a cut tile, and in the tile left out as wholly background.
const PagePoint PAGE_POINTS[] = {{20, 40, "column -2, row -1"},
                                 {470, 350, "column 5, row 4"},
                                 {200, 90, ""},
                                 {300, 300, ""}};

int pixel_at(BITMAP *bmp, int x, int y)
{
    const int c = getpixel(bmp, x, y);
    const int d = bitmap_color_depth(bmp);
    return getr_depth(d, c) << 16 | getg_depth(d, c) << 8 | getb_depth(d, c);
}

int channel_distance(int a, int b)
{
    int worst = 0;
    for (int shift = 0; shift <= 16; shift += 8)
        worst = std::max(worst, std::abs((a >> shift & 0xff) - (b >> shift & 0xff)));
    return worst;
}

// The page from file:// in headless chromium: level 0 at full size shows
// the map's own pixels, the readout names the cell under the pointer, key
// 1 brings level 1, fitted, and nothing is read from outside the folder.
TEST_F(WebMapTest, PageShowsTheMapInABrowser)
{
    world.tiles = FIRST_WORLD;
    compose_with_web();
    const std::string shot0 = out + "/level0.png", shot1 = out + "/level1.png";
    std::ostringstream cmd;
    cmd << "node '" << BROWSER_VIEW_SCRIPT << "' 'file://" << out << "/"
        << WEB_PAGE_NAME << "#level=0&x=" << MAP0_W / 2 << "&y=" << MAP0_H / 2
        << "&zoom=0' shot=" << shot0;
    for (const PagePoint &p : PAGE_POINTS)
        if (*p.cell)
            cmd << " move=" << screen_x(p.x) << "," << screen_y(p.y);
    cmd << " key=1 shot=" << shot1 << " eval=location.hash 2>&1";
    int status = -1;
    const std::string seen = run_command(cmd.str(), &status);
    ASSERT_EQ(status, 0) << seen;

    std::istringstream lines(seen);
    std::string line, hash;
    std::vector<std::string> texts;
    while (std::getline(lines, line)) {
        // Leaflet blanks an image it lets go with an inline data: URL.
        if (line.rfind("request ", 0) == 0 && line.rfind("request data:", 0) != 0) {
            EXPECT_EQ(line.rfind("request file://" + out + "/", 0), 0u) << line;
        }
        EXPECT_NE(line.rfind("error ", 0), 0u) << line;
        if (line.rfind("text ", 0) == 0)
            texts.push_back(line.substr(line.find(' ', 5) + 1));
        if (line.rfind("eval ", 0) == 0)
            hash = line.substr(5);
    }
    std::vector<std::string> cells;
    for (const PagePoint &p : PAGE_POINTS)
        if (*p.cell)
            cells.push_back(p.cell);
    EXPECT_EQ(texts, cells) << seen;

    BITMAP *page0 = load_bitmap(shot0.c_str(), nullptr);
    BITMAP *page1 = load_bitmap(shot1.c_str(), nullptr);
    BITMAP *map0 = load_bitmap("map_zoom_0.png", nullptr);
    BITMAP *map1 = load_bitmap("map_zoom_1.png", nullptr);
    ASSERT_TRUE(page0 && page1 && map0 && map1);
    for (const PagePoint &p : PAGE_POINTS)
        EXPECT_EQ(pixel_at(page0, screen_x(p.x), screen_y(p.y)),
                  pixel_at(map0, p.x, p.y)) << p.x << "," << p.y;
    // Level 1, fitted, at the centre and zoom that the hash gives: a point
    // inside its tile (0,0) shows that tile's colour.
    double cx = 0, cy = 0, zoom = 0;
    ASSERT_EQ(std::sscanf(hash.c_str(), "\"#level=1&x=%lf&y=%lf&zoom=%lf\"", &cx, &cy,
                          &zoom), 3) << hash;
    const double scale = std::pow(2.0, zoom);
    const int mx = 6, my = 56;
    EXPECT_LE(channel_distance(
                  pixel_at(page1, static_cast<int>(PAGE_W / 2 + (mx - cx) * scale),
                           static_cast<int>(PAGE_H / 2 + (my - cy) * scale)),
                  pixel_at(map1, mx, my)), 8);
    int changed = 0;
    for (int y = 0; y < PAGE_H; y += 8)
        for (int x = 0; x < PAGE_W; x += 8)
            changed += pixel_at(page0, x, y) != pixel_at(page1, x, y);
    EXPECT_GT(changed, PAGE_W * PAGE_H / 64 / 8);
    for (BITMAP *b : {page0, page1, map0, map1})
        destroy_bitmap(b);
}

}  // namespace
