#include "change_list.h"

#include <ext/stdio_filebuf.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "data_folder.h"
#include "fatal_error.h"
#include "regular_file.h"
#include "world_layout.h"

namespace {

// Line buffer: at most LINE_MAX_CHARS characters plus the NUL.
const int LINE_BUFFER_SIZE = 512;
// Tile-name buffer: at most TILE_NAME_MAX characters plus the NUL.
const int TILE_NAME_MAX = 19;
// Lines of another extension named one by one; the rest are counted.
const int MAX_EXTENSION_WARNINGS = 10;

// Result of parsing one line of a change list.
enum LineParse {
    LINE_OK,     // entry and extension are filled
    LINE_EMPTY,  // empty line, skipped silently
    LINE_BAD     // skipped with a warning; reason tells why
};

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Parses a signed decimal int32 at *p and moves p past it.
bool parse_int32(const char *&p, int32_t *out)
{
    if (*p != '-' && !std::isdigit(static_cast<unsigned char>(*p)))
        return false;
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(p, &end, 10);
    if (end == p || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = static_cast<int32_t>(v);
    p = end;
    return true;
}

// Matches the whole name against tile_<x>_<y>.
bool parse_tile_name(const char *name, int32_t *x, int32_t *y)
{
    size_t prefix = sizeof TILE_NAME_PREFIX - 1;
    if (std::strncmp(name, TILE_NAME_PREFIX, prefix) != 0)
        return false;
    const char *p = name + prefix;
    if (!parse_int32(p, x) || *p != TILE_NAME_SEPARATOR)
        return false;
    ++p;
    return parse_int32(p, y) && *p == '\0';
}

void warn_skipped(int line_number, const char *reason)
{
    std::fprintf(stderr, "changed.txt line %d skipped: %s\n", line_number,
                 reason);
}

// Parses one line (without its newline) into entry and ext, the line's
// extension (at most TILE_EXT_MAX characters).
LineParse parse_change_line(const char *line, TileEntry *entry, char *ext,
                            const char **reason)
{
    int len = static_cast<int>(std::strlen(line));
    if (len == 0 || (len == 1 && line[0] == '\r'))
        return LINE_EMPTY;

    // The dot is searched from the second-to-last character, so a '.' in
    // the last one (or a CR after the extension) does not end the search.
    int dot = len - 2;
    while (dot >= 0 && line[dot] != '.')
        --dot;
    if (dot < 0) {
        *reason = "no file extension";
        return LINE_BAD;
    }
    int sep = dot - 1;
    while (sep >= 0 && !is_separator(line[sep]))
        --sep;
    if (sep < 0) {
        *reason = "no folder before the tile name";
        return LINE_BAD;
    }
    if (sep == 0) {
        *reason = "no zoom folder before the tile name";
        return LINE_BAD;
    }

    char line_ext[TILE_EXT_MAX + 1] = {0};
    std::strncpy(line_ext, line + dot + 1, TILE_EXT_MAX);
    for (const char *c = line_ext; *c; ++c) {
        if (!std::isalnum(static_cast<unsigned char>(*c))) {
            *reason = "file extension is not letters and digits";
            return LINE_BAD;
        }
    }

    int name_len = dot - sep - 1;
    if (name_len > TILE_NAME_MAX) {
        *reason = "tile name longer than 19 characters";
        return LINE_BAD;
    }
    char name[TILE_NAME_MAX + 1];
    std::memcpy(name, line + sep + 1, name_len);
    name[name_len] = '\0';
    TileEntry parsed;
    if (!parse_tile_name(name, &parsed.x, &parsed.y)) {
        *reason = "tile name is not tile_<x>_<y>";
        return LINE_BAD;
    }

    // Only the zoom folder's last character counts: Zoom12 is zoom 2, and
    // anything but a digit is zoom 0.
    char zoom_digit[2] = {line[sep - 1], '\0'};
    parsed.zoom = std::atoi(zoom_digit);

    *entry = parsed;
    std::memcpy(ext, line_ext, sizeof line_ext);
    return LINE_OK;
}

// The extension as the line writes it: after its last dot, without a CR.
std::string written_extension(const char *line)
{
    std::string ext = std::strrchr(line, '.') + 1;
    if (!ext.empty() && ext.back() == '\r')
        ext.pop_back();
    return ext;
}

// Tiles are all loaded with the first line's extension, so a line that
// names another leads to a file it does not name: say so before that.
void warn_other_extension(int line_number, const char *line,
                          const std::string &first, int world_number,
                          const TileEntry &entry)
{
    std::fprintf(stderr,
                 "Warning: changed.txt line %d: extension \"%s\" is not the "
                 "first line's \"%s\"; the tile is read as %s\n",
                 line_number, written_extension(line).c_str(), first.c_str(),
                 tile_path(appdata_path, world_number, entry, tile_ext).c_str());
}

}  // namespace

void widen_bounds(const TileEntry &e)
{
    ZoomBoundsRecord &b = ZoomBounds;
    if (e.zoom > b.max_zoom)
        b.max_zoom = e.zoom;
    if (e.x < b.zoom_min_x[e.zoom])
        b.zoom_min_x[e.zoom] = e.x;
    if (e.x > b.zoom_max_x[e.zoom])
        b.zoom_max_x[e.zoom] = e.x;
    if (e.y < b.zoom_min_y[e.zoom])
        b.zoom_min_y[e.zoom] = e.y;
    if (e.y > b.zoom_max_y[e.zoom])
        b.zoom_max_y[e.zoom] = e.y;
}

// The position after the last complete line read, and the list it was
// read from, for read_appended_lines.
ListPosition change_list_read;

namespace {

// The reader's state across calls: the first line's extension and the
// count of lines that named another.
std::string first_ext;
int other_exts = 0;

// Reads the complete lines of in into tile_list and ZoomBounds, numbering
// them from pos->line + 1 and moving pos past each; the new entries go to
// *added as well when it is not null.
void read_lines(std::istream &in, int world_number, ListPosition *pos,
                std::vector<TileEntry> *added)
{
    char line[LINE_BUFFER_SIZE];
    for (;;) {
        in.getline(line, LINE_BUFFER_SIZE);
        // A last line without a newline also reaches the end: not taken.
        if (in.eof())
            break;
        if (in.bad())
            fatal_error("Error reading changed.txt!\n");
        const int line_number = ++pos->line;
        if (in.fail()) {
            // The bounded read stopped inside a long line: drop the rest
            // of it, or the next read would stop at once, forever.
            pos->offset += in.gcount();
            in.clear();
            in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
            warn_skipped(line_number, "longer than 511 characters");
            if (in.eof()) {
                // Not complete yet: read again once it is.
                pos->offset -= LINE_BUFFER_SIZE - 1;
                --pos->line;
                break;
            }
            pos->offset += in.gcount();
            continue;
        }
        pos->offset += in.gcount();

        TileEntry entry;
        char ext[TILE_EXT_MAX + 1];
        const char *reason = "";
        LineParse result = parse_change_line(line, &entry, ext, &reason);
        if (result == LINE_BAD)
            warn_skipped(line_number, reason);
        if (result != LINE_OK)
            continue;
        if (first_ext.empty()) {
            std::memcpy(tile_ext, ext, sizeof ext);
            first_ext = written_extension(line);
        } else if (written_extension(line) != first_ext &&
                   ++other_exts <= MAX_EXTENSION_WARNINGS) {
            warn_other_extension(line_number, line, first_ext, world_number,
                                 entry);
        }
        tile_list.push_back(entry);
        widen_bounds(entry);
        if (added)
            added->push_back(entry);
    }
}

}  // namespace

void read_change_list(int world_number)
{
    choose_data_folder(world_number);
    const std::string path = change_list_path(appdata_path, world_number);
    std::string why;
    int fd = open_regular_file(path.c_str(), &why);
    if (fd < 0)
        fatal_error("Error opening changed.txt!\n%s: %s\n", path.c_str(),
                    why.c_str());
    struct stat st;
    if (fstat(fd, &st) == 0) {
        change_list_read.dev = st.st_dev;
        change_list_read.ino = st.st_ino;
    }
    change_list_read.offset = 0;
    change_list_read.line = 0;
    first_ext.clear();
    other_exts = 0;
    // Read from the descriptor that was checked, so the file cannot be
    // swapped for another between the check and the read.
    __gnu_cxx::stdio_filebuf<char> file(fd, std::ios::in);
    std::istream in(&file);
    read_lines(in, world_number, &change_list_read, nullptr);
    if (other_exts > MAX_EXTENSION_WARNINGS)
        std::fprintf(stderr, "Warning: %d more lines of changed.txt name "
                     "another extension than the first line's \"%s\".\n",
                     other_exts - MAX_EXTENSION_WARNINGS, first_ext.c_str());
}

AppendResult read_appended_lines(int world_number, std::vector<TileEntry> *added,
                                 std::string *why)
{
    const std::string path = change_list_path(appdata_path, world_number);
    const int fd = open_regular_file(path.c_str(), why);
    if (fd < 0)
        return LIST_GONE;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != change_list_read.dev ||
        st.st_ino != change_list_read.ino || st.st_size < change_list_read.offset) {
        close(fd);
        return LIST_REPLACED;
    }
    if (st.st_size == change_list_read.offset ||
        lseek(fd, change_list_read.offset, SEEK_SET) < 0) {
        close(fd);
        return LIST_READ;
    }
    __gnu_cxx::stdio_filebuf<char> file(fd, std::ios::in);
    std::istream in(&file);
    read_lines(in, world_number, &change_list_read, added);
    return LIST_READ;
}
