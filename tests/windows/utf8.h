// UTF-16 to UTF-8 for the Windows test programs, which build without Qt and write their
// reports as UTF-8.
#ifndef QUILLMOOR_WINDOWS_UTF8_H
#define QUILLMOOR_WINDOWS_UTF8_H

#include <windows.h>

#include <string>

inline std::string toUtf8(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0],
                        size, nullptr, nullptr);
    return result;
}

#endif
