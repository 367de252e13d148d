// Unpredictable names from the system's random source (BCryptGenRandom).
#include "random_name.h"

#include <windows.h>
#include <bcrypt.h>

#include <cerrno>

bool random_name(const std::string &prefix, std::string *name)
{
    static const char HEX[] = "0123456789abcdef";
    unsigned char bytes[NAME_RANDOM_BYTES];
    if (BCryptGenRandom(nullptr, bytes, sizeof bytes,
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
        errno = EIO;
        return false;
    }
    std::string s = prefix;
    for (unsigned char b : bytes) {
        s += HEX[b >> 4];
        s += HEX[b & 0xF];
    }
    *name = s;
    return true;
}
