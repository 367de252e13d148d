#include "wide_text.h"

#include <windows.h>

std::wstring to_wide(const std::string &utf8)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(),
                                      static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                            &wide[0], n);
    return wide;
}

std::string to_utf8(const wchar_t *wide)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return std::string();
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &utf8[0], n, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(n) - 1);
    return utf8;
}

std::string system_reason(unsigned long err)
{
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
            FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, err, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string reason = n > 0 ? to_utf8(text) : "error " + std::to_string(err);
    LocalFree(text);
    // The system ends its reasons with a full stop and a line end.
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                               reason.back() == '.'))
        reason.pop_back();
    return reason;
}
