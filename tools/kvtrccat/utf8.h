// UTF-8 of a UTF-16 text, as kvtrccat writes it to its outputs, its state file and the
// wire.
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

}  // namespace kv::cat
