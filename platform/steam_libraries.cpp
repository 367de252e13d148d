#include "steam_libraries.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "folder_info.h"
#include "regular_file.h"

namespace {

// Where Steam installs itself under the home folder; the first is a link
// to the second on most systems.
const char *const STEAM_INSTALLATIONS[] = {"/.steam/steam",
                                           "/.local/share/Steam"};
// Where an installation keeps its list of libraries; older clients kept
// it in config/.
const char *const LIBRARY_LISTS[] = {"/steamapps/libraryfolders.vdf",
                                     "/config/libraryfolders.vdf"};
// A list of libraries is a few kilobytes; more than this is not read.
const size_t LIBRARY_LIST_MAX = 1 << 20;

enum TokenKind { TOKEN_TEXT, TOKEN_OPEN, TOKEN_CLOSE, TOKEN_END };

struct Token {
    TokenKind kind;
    std::string text;
};

struct Cursor {
    const std::string &text;
    size_t at;
};

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)); }

void skip_blanks_and_comments(Cursor &c)
{
    while (c.at < c.text.size()) {
        if (is_blank(c.text[c.at])) {
            ++c.at;
        } else if (c.text.compare(c.at, 2, "//") == 0) {
            c.at = c.text.find('\n', c.at);
            if (c.at == std::string::npos)
                c.at = c.text.size();
        } else {
            break;
        }
    }
}

char unescaped(char c)
{
    switch (c) {
    case 'n':
        return '\n';
    case 't':
        return '\t';
    default:
        return c;  // \\ and \" stand for themselves
    }
}

// A quoted string from just after its opening quote; an unterminated one
// is damage, and ends the text.
Token quoted(Cursor &c)
{
    std::string s;
    while (c.at < c.text.size() && c.text[c.at] != '"') {
        char ch = c.text[c.at++];
        if (ch == '\\' && c.at < c.text.size())
            ch = unescaped(c.text[c.at++]);
        s += ch;
    }
    if (c.at >= c.text.size())
        return {TOKEN_END, ""};
    ++c.at;
    return {TOKEN_TEXT, s};
}

Token bare_word(Cursor &c)
{
    const size_t start = c.at;
    while (c.at < c.text.size() && !is_blank(c.text[c.at]) &&
           c.text[c.at] != '"' && c.text[c.at] != '{' && c.text[c.at] != '}')
        ++c.at;
    return {TOKEN_TEXT, c.text.substr(start, c.at - start)};
}

bool is_condition(const Token &t)
{
    return t.kind == TOKEN_TEXT && t.text.size() >= 2 && t.text[0] == '[' &&
           t.text.back() == ']';
}

Token next_token(Cursor &c)
{
    for (;;) {
        skip_blanks_and_comments(c);
        if (c.at >= c.text.size())
            return {TOKEN_END, ""};
        const char first = c.text[c.at++];
        if (first == '{')
            return {TOKEN_OPEN, ""};
        if (first == '}')
            return {TOKEN_CLOSE, ""};
        if (first == '"')
            return quoted(c);
        --c.at;
        // A platform condition such as [$LINUX] qualifies what precedes it.
        Token word = bare_word(c);
        if (!is_condition(word))
            return word;
    }
}

bool same_name(const std::string &a, const char *b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && !b[i];
}

bool all_digits(const std::string &s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
    });
}

// blocks: the keys of the blocks the pair is in, outermost first.
bool names_library(const std::vector<std::string> &blocks,
                   const std::string &key)
{
    if (same_name(key, "path"))
        return true;
    return blocks.size() == 1 && same_name(blocks[0], "libraryfolders") &&
           all_digits(key);
}

std::string read_bounded(const std::string &path)
{
    std::string why;
    const int fd = open_regular_file(path.c_str(), &why);
    if (fd < 0)
        return "";
    std::string text(LIBRARY_LIST_MAX, '\0');
    size_t got = 0;
    ssize_t n;
    while (got < text.size() &&
           (n = read(fd, &text[got], text.size() - got)) > 0)
        got += static_cast<size_t>(n);
    close(fd);
    text.resize(got);
    return text;
}

// Adds folder by its canonical path, when it is an existing folder not
// added yet.
void add_folder(std::vector<std::string> *folders, const std::string &path)
{
    const std::string canonical = canonical_folder(path);
    if (!canonical.empty() &&
        std::find(folders->begin(), folders->end(), canonical) ==
            folders->end())
        folders->push_back(canonical);
}

}  // namespace

std::vector<std::string> parse_library_folders(const std::string &vdf)
{
    std::vector<std::string> found, blocks;
    Cursor c{vdf, 0};
    for (;;) {
        const Token key = next_token(c);
        if (key.kind == TOKEN_END)
            break;
        if (key.kind != TOKEN_TEXT) {
            // A block without a key, or the end of one.
            if (key.kind == TOKEN_OPEN)
                blocks.push_back("");
            else if (!blocks.empty())
                blocks.pop_back();
            continue;
        }
        const Token value = next_token(c);
        if (value.kind == TOKEN_END)
            break;
        if (value.kind == TOKEN_OPEN)
            blocks.push_back(key.text);
        else if (value.kind == TOKEN_CLOSE && !blocks.empty())
            blocks.pop_back();
        else if (value.kind == TOKEN_TEXT && !value.text.empty() &&
                 names_library(blocks, key.text))
            found.push_back(value.text);
    }
    return found;
}

std::vector<std::string> steam_libraries(const std::string &home)
{
    std::vector<std::string> installations, libraries;
    for (const char *place : STEAM_INSTALLATIONS)
        add_folder(&installations, home + place);
    libraries = installations;
    for (const std::string &steam : installations)
        for (const char *list : LIBRARY_LISTS)
            for (const std::string &path :
                 parse_library_folders(read_bounded(steam + list)))
                // Only this system's paths; a copied list may name C:\...
                if (path[0] == '/')
                    add_folder(&libraries, path);
    return libraries;
}
