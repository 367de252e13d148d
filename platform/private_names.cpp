// The names of private folders, the same on every system.
#include "private_names.h"

#include <cctype>
#include <cstring>

#include "random_name.h"

const char PART_TAG[] = ".part-";
const char OLD_TAG[] = ".old-";

namespace {

const size_t NAME_DIGITS = 2 * NAME_RANDOM_BYTES;

bool lower_hex(const char *s, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(s[i])) ||
            std::isupper(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

bool all_digits(const char *s, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (!std::isdigit(static_cast<unsigned char>(s[i])))
            return false;
    return n > 0;
}

}  // namespace

bool is_private_name(const char *name, const std::string &stem, const char *tag)
{
    const size_t n = std::strlen(name), tag_n = std::strlen(tag);
    if (n < NAME_DIGITS + tag_n || !lower_hex(name + n - NAME_DIGITS, NAME_DIGITS) ||
        std::strncmp(name + n - NAME_DIGITS - tag_n, tag, tag_n) != 0)
        return false;
    const size_t stem_n = n - NAME_DIGITS - tag_n;
    if (stem_n == stem.size() && stem.compare(0, stem_n, name, stem_n) == 0)
        return true;
    // A numbered stem: the same words, any number.
    size_t words = stem.size();
    while (words > 0 && std::isdigit(static_cast<unsigned char>(stem[words - 1])))
        --words;
    return words < stem.size() && stem_n > words &&
           stem.compare(0, words, name, words) == 0 &&
           all_digits(name + words, stem_n - words);
}

std::string private_stem(const std::string &name)
{
    const std::string::size_type at = name.rfind('.');
    return at == std::string::npos ? name : name.substr(0, at);
}

std::string with_tag(const std::string &name, const char *tag)
{
    return private_stem(name) + tag + name.substr(name.size() - NAME_DIGITS);
}
