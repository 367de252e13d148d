#include "random_name.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>

namespace {

// Fresh names tried while the one before exists already.
const int NAME_ATTEMPTS = 8;

}  // namespace

bool random_name(const std::string &prefix, std::string *name)
{
    static const char HEX[] = "0123456789abcdef";
    unsigned char bytes[NAME_RANDOM_BYTES];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno != EINTR)
            return false;
        if (n > 0)
            got += static_cast<size_t>(n);
    }
    std::string s = prefix;
    for (unsigned char b : bytes) {
        s += HEX[b >> 4];
        s += HEX[b & 0xF];
    }
    *name = s;
    return true;
}

int make_random_folder(int parent_fd, const std::string &prefix, mode_t mode,
                       std::string *name)
{
    int err = EEXIST;
    for (int i = 0; i < NAME_ATTEMPTS && err == EEXIST; ++i) {
        std::string candidate;
        if (!random_name(prefix, &candidate))
            return errno;
        err = mkdirat(parent_fd, candidate.c_str(), mode) == 0 ? 0 : errno;
        if (err == 0)
            *name = candidate;
    }
    return err;
}
