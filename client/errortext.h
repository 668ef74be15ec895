// A Windows error number with the system's words for it, for the messages the programs
// around the library show. Header only: a program that links nothing of ours uses it too.
#pragma once

#include <string>

#include "client/compat.h"

namespace kv {

// "error 2: The system cannot find the file specified." (the system's text on one line,
// without its line break), or "error N" alone when the system has no text for N.
inline std::wstring ErrorText(DWORD error) {
    std::wstring text = L"error " + std::to_wstring(error);
    wchar_t words[512];
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, words,
                               512, nullptr);
    if (n >= 512) n = 0;
    while (n && (words[n - 1] == L'\r' || words[n - 1] == L'\n' || words[n - 1] == L' ')) --n;
    if (!n) return text;
    // A status bar or a log line shows one line: a break inside the text becomes a blank.
    for (DWORD i = 0; i < n; ++i)
        if (words[i] == L'\r' || words[i] == L'\n') words[i] = L' ';
    return text + L": " + std::wstring(words, n);
}

}  // namespace kv
