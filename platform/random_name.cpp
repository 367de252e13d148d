#include "random_name.h"

#include <sys/random.h>

#include <cerrno>
#include <vector>

bool random_name(const std::string &prefix, int random_bytes, std::string *name)
{
    static const char HEX[] = "0123456789abcdef";
    std::vector<unsigned char> bytes(static_cast<size_t>(random_bytes));
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = getrandom(bytes.data() + got, bytes.size() - got, 0);
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
