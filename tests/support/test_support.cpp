#include "test_support.h"

#include <allegro.h>
#include <jpgalleg.h>
#include <loadpng.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "jpeg_codec.h"

void start_allegro_headless()
{
    static bool started = false;
    if (started)
        return;
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        throw std::runtime_error("cannot start the graphics library");
    set_color_depth(32);
    loadpng_init();
    // As the program registers them: libjpeg decodes, jpgalleg encodes.
    jpeg_codec_init(save_jpg);
    jpgalleg_init();
    started = true;
}

std::string make_temp_dir()
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") +
                          "/mapper-test-XXXXXX";
    std::string buf = pattern;
    if (!mkdtemp(&buf[0]))
        throw std::runtime_error("cannot create a temporary folder");
    return buf;
}

void remove_tree(const std::string &path)
{
    std::string cmd = "chmod -R u+rwx '" + path + "' 2>/dev/null; rm -rf '" +
                      path + "'";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", path.c_str());
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary);
    out << data;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string run_command(const std::string &command, int *status)
{
    FILE *p = popen(command.c_str(), "r");
    if (!p)
        throw std::runtime_error("cannot run " + command);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int rc = pclose(p);
    if (status)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

#include <unistd.h>

void messages_to_stderr()
{
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}
