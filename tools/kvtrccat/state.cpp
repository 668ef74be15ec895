// The state file: one line per station, "station<TAB>file<TAB>volume:index<TAB>lines<TAB>bytes",
// after a first line that names the format. UTF-8.
#include "tools/kvtrccat/state.h"

#include <stdio.h>
#include <stdlib.h>

#include "client/owners.h"
#include "client/errortext.h"
#include "tools/kvtrccat/utf8.h"

namespace kv::cat {

namespace {

const char kHeader[] = "kvtrccat state 1";
constexpr DWORD kMaxStateBytes = 1 << 20;

bool Wide(const std::string& s, std::wstring* out) {
    out->clear();
    if (s.empty()) return true;
    const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), nullptr, 0);
    if (n <= 0) return false;
    out->resize(n);
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), &(*out)[0], n);
    return true;
}

bool Number(const std::string& s, int base, uint64_t* out) {
    if (s.empty() || s.size() > 20 || s.find_first_not_of(base == 16 ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
        return false;
    *out = strtoull(s.c_str(), nullptr, base);
    return true;
}

bool ParseLine(const std::string& line, Position* p) {
    std::string f[5];
    size_t at = 0;
    for (int i = 0; i < 5; ++i) {
        const size_t tab = line.find('\t', at);
        if ((tab == std::string::npos) != (i == 4)) return false;
        f[i] = line.substr(at, tab == std::string::npos ? std::string::npos : tab - at);
        at = tab + 1;
    }
    const size_t colon = f[2].find(':');
    uint64_t volume = 0, index = 0;
    if (colon == std::string::npos || !Number(f[2].substr(0, colon), 16, &volume) || volume > 0xFFFFFFFFu ||
        !Number(f[2].substr(colon + 1), 16, &index) || !Number(f[3], 10, &p->lines) ||
        !Number(f[4], 10, &p->bytes) || !Wide(f[0], &p->station) || !Wide(f[1], &p->file) || p->station.empty() ||
        p->file.empty() || p->file.find_first_of(L"\\/") != std::wstring::npos)
        return false;
    p->identity.volume = static_cast<DWORD>(volume);
    p->identity.high = static_cast<DWORD>(index >> 32);
    p->identity.low = static_cast<DWORD>(index);
    return true;
}

}  // namespace

bool LoadState(const std::wstring& path, std::vector<Position>* out, std::wstring* why) {
    out->clear();
    UniqueHandle h(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h) {
        const DWORD e = ::GetLastError();
        if (e == ERROR_FILE_NOT_FOUND) return true;  // the first start
        if (why) *why = L"cannot open the state file (" + kv::ErrorText(e) + L")";
        return false;
    }
    std::string text(kMaxStateBytes, '\0');
    DWORD n = 0;
    if (!::ReadFile(h.get(), &text[0], kMaxStateBytes, &n, nullptr)) {
        if (why) *why = L"cannot read the state file (" + kv::ErrorText(::GetLastError()) + L")";
        return false;
    }
    text.resize(n);
    size_t at = 0, lineNo = 0;
    while (at < text.size()) {
        const size_t nl = text.find('\n', at);
        if (nl == std::string::npos) break;  // the last line ends in a line feed
        std::string line = text.substr(at, nl - at);
        at = nl + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (lineNo++ == 0) {
            if (line != kHeader) break;
            continue;
        }
        Position p;
        if (!ParseLine(line, &p)) {
            lineNo = 0;
            break;
        }
        out->push_back(p);
    }
    if (lineNo == 0 || at != text.size()) {
        out->clear();
        if (why) *why = L"the state file is damaged or not a state file; remove it to start over";
        return false;
    }
    return true;
}

bool SaveState(const std::wstring& path, const std::vector<Position>& positions, DWORD* error) {
    std::string text = std::string(kHeader) + "\n";
    for (const Position& p : positions) {
        char ids[64];
        snprintf(ids, sizeof ids, "\t%lx:%llx\t%llu\t%llu\n", static_cast<unsigned long>(p.identity.volume),
                 (static_cast<unsigned long long>(p.identity.high) << 32) | p.identity.low,
                 static_cast<unsigned long long>(p.lines),
                 static_cast<unsigned long long>(p.bytes));
        text += Utf8(p.station) + "\t" + Utf8(p.file) + ids;
    }
    const std::wstring temp = path + L".new";
    {
        UniqueHandle h(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD n = 0;
        if (!h || !::WriteFile(h.get(), text.data(), static_cast<DWORD>(text.size()), &n, nullptr) ||
            n != text.size() || !::FlushFileBuffers(h.get())) {
            if (error) *error = ::GetLastError();
            return false;
        }
    }
    if (!::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        if (error) *error = ::GetLastError();
        return false;
    }
    return true;
}

}  // namespace kv::cat
