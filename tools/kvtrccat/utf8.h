// UTF-8 of a UTF-16 text, as kvtrccat writes it to its outputs, its state file and the
// wire; a system error number with the system's words for it.
#pragma once

#include <string>

#include "client/compat.h"

namespace kv::cat {

inline std::string Utf8(const std::wstring& w) {
    std::string out;
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    out.resize(n > 0 ? n : 0);
    if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &out[0], n, nullptr, nullptr);
    return out;
}

// "error 2: The system cannot find the file specified", or "error N" where the system
// has no words for it.
inline std::wstring ErrorWords(unsigned long code) {
    wchar_t words[512];
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, words,
                               sizeof words / sizeof words[0], nullptr);
    while (n && (words[n - 1] == L'\r' || words[n - 1] == L'\n' || words[n - 1] == L' ' || words[n - 1] == L'.')) --n;
    const std::wstring number = L"error " + std::to_wstring(code);
    return n ? number + L": " + std::wstring(words, n) : number;
}
inline std::string ErrorText(unsigned long code) { return Utf8(ErrorWords(code)); }

}  // namespace kv::cat
