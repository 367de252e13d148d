// UTF-8, which the program and the graphics library use for every path
// and message, to and from the UTF-16 of Windows' wide system calls.
// Windows sides only.
#ifndef PLATFORM_WINDOWS_WIDE_TEXT_H
#define PLATFORM_WINDOWS_WIDE_TEXT_H

#include <string>

std::wstring to_wide(const std::string &utf8);
std::string to_utf8(const wchar_t *wide);

// The system's reason for error code err (GetLastError), in UTF-8.
std::string system_reason(unsigned long err);

#endif
