// Key-by-key access to the settings and profile files.
#include "settings/inifile.h"

#include <wctype.h>

#include "client/region.h"

namespace kv {

namespace {

// Characters the profile reader trims from either end of a value.
bool Trimmed(wchar_t c) noexcept { return c <= L' ' || c == 0x1A || iswspace(c); }

bool LineBreak(wchar_t c) noexcept { return c == L'\r' || c == L'\n'; }

}  // namespace

int32_t IniReadInt(const wchar_t* section, const wchar_t* key, int32_t def, const wchar_t* file) noexcept {
    return static_cast<int32_t>(::GetPrivateProfileIntW(section, key, def, file));
}

void IniReadString(const wchar_t* section, const wchar_t* key, wchar_t* buf, DWORD cap, const wchar_t* file) noexcept {
    if (cap == 0) return;
    buf[0] = 0;
    ::GetPrivateProfileStringW(section, key, L"", buf, cap, file);
    buf[cap - 1] = 0;
}

void IniWriteInt(const wchar_t* section, const wchar_t* key, int32_t value, const wchar_t* file) noexcept {
    wchar_t text[16];
    FormatCut(text, ARRAYSIZE(text), L"%d", static_cast<int>(value));
    ::WritePrivateProfileStringW(section, key, text, file);
}

void IniWriteSwitch(const wchar_t* section, const wchar_t* key, int32_t on, const wchar_t* file) noexcept {
    ::WritePrivateProfileStringW(section, key, on ? L"1" : L"0", file);
}

namespace {
// The text IniWriteString stores for value (see there); text has kMaxValueChars + 3 room.
constexpr size_t kMaxValueChars = 1024;
void StoredText(const wchar_t* value, wchar_t* text) noexcept;
}  // namespace

void IniWriteString(const wchar_t* section, const wchar_t* key, const wchar_t* value, const wchar_t* file) noexcept {
    wchar_t text[kMaxValueChars + 3];
    StoredText(value, text);
    ::WritePrivateProfileStringW(section, key, text, file);
}

namespace {
void StoredText(const wchar_t* value, wchar_t* text) noexcept {
    // Every caller's value comes from a field of at most 500 characters.
    constexpr size_t kMaxChars = kMaxValueChars;
    size_t len = 0;
    if (value) {
        while (len < kMaxChars && value[len] && !LineBreak(value[len])) ++len;
    }
    const bool quote = len > 0 && (Trimmed(value[0]) || Trimmed(value[len - 1]) ||
                                   (len >= 2 && (value[0] == L'"' || value[0] == L'\'') && value[len - 1] == value[0]));
    size_t at = 0;
    if (quote) text[at++] = L'"';
    for (size_t i = 0; i < len; ++i) text[at++] = value[i];
    if (quote) text[at++] = L'"';
    text[at] = 0;
}

// The integer the profile functions make of a stored value: blanks and one pair of
// enclosing quotes dropped, then an optional sign and digits, with 0x, 0o and 0b
// prefixes; the default when the value is empty.
int32_t IntOfValue(const wchar_t* v, size_t n, int32_t def) noexcept {
    while (n > 0 && (*v == L' ' || *v == L'\t')) ++v, --n;
    while (n > 0 && (v[n - 1] == L' ' || v[n - 1] == L'\t')) --n;
    if (n >= 2 && (v[0] == L'"' || v[0] == L'\'') && v[n - 1] == v[0]) ++v, n -= 2;
    if (n == 0) return def;
    if (n > 29) n = 29;  // the platform reads at most 29 characters of a number
    size_t i = 0;
    while (i < n && (v[i] == L' ' || v[i] == L'\t')) ++i;
    bool negative = false;
    if (i < n && (v[i] == L'+' || v[i] == L'-')) negative = v[i++] == L'-';
    unsigned base = 10;
    if (i + 1 < n && v[i] == L'0') {
        const wchar_t p = v[i + 1];
        if (p == L'x' || p == L'X') base = 16;
        else if (p == L'o' || p == L'O') base = 8;
        else if (p == L'b' || p == L'B') base = 2;
        if (base != 10) i += 2;
    }
    uint32_t value = 0;
    for (; i < n; ++i) {
        unsigned d;
        const wchar_t c = v[i];
        if (c >= L'0' && c <= L'9') d = c - L'0';
        else if (c >= L'a' && c <= L'f') d = c - L'a' + 10;
        else if (c >= L'A' && c <= L'F') d = c - L'A' + 10;
        else break;
        if (d >= base) break;
        value = value * base + d;
    }
    return static_cast<int32_t>(negative ? 0u - value : value);
}
}  // namespace

void IniSectionWriter::Int(const wchar_t* key, int32_t value) {
    wchar_t text[16];
    FormatCut(text, ARRAYSIZE(text), L"%d", static_cast<int>(value));
    Raw(key, text);
}

void IniSectionWriter::String(const wchar_t* key, const wchar_t* value) {
    wchar_t text[kMaxValueChars + 3];
    StoredText(value, text);
    Raw(key, text);
}

void IniSectionWriter::Raw(const wchar_t* key, const wchar_t* value) {
    text_ += key;
    text_ += L'=';
    text_ += value;
    text_ += L'\0';
}

void IniSectionWriter::Write(const wchar_t* section, const wchar_t* file) noexcept {
    std::wstring block = text_;
    block += L'\0';
    ::WritePrivateProfileSectionW(section, block.c_str(), file);
}

IniSectionReader::IniSectionReader(const wchar_t* section, const wchar_t* file) {
    // A level section holds four short keys; grow for anything longer.
    for (DWORD cap = 1024; cap <= 1u << 20; cap *= 4) {
        text_.assign(cap, L'\0');
        const DWORD n = ::GetPrivateProfileSectionW(section, &text_[0], cap, file);
        if (n + 2 < cap) {
            text_.resize(n + 1);
            return;
        }
    }
    text_.clear();
}

int32_t IniSectionReader::Int(const wchar_t* key, int32_t def) const noexcept {
    const size_t keyLen = wcslen(key);
    for (size_t at = 0; at < text_.size() && text_[at];) {
        const wchar_t* line = text_.c_str() + at;
        const size_t len = wcslen(line);
        at += len + 1;
        const wchar_t* eq = wcschr(line, L'=');
        if (!eq) continue;
        // The key as the file has it, blanks around it dropped.
        const wchar_t* k = line;
        size_t kn = static_cast<size_t>(eq - line);
        while (kn > 0 && (*k == L' ' || *k == L'\t')) ++k, --kn;
        while (kn > 0 && (k[kn - 1] == L' ' || k[kn - 1] == L'\t')) --kn;
        if (kn != keyLen || _wcsnicmp(k, key, kn) != 0) continue;
        return IntOfValue(eq + 1, wcslen(eq + 1), def);
    }
    return def;
}

bool IniSectionNameUsable(const wchar_t* name) noexcept {
    if (!name || !name[0]) return false;
    for (const wchar_t* p = name; *p; ++p) {
        if (*p < L' ') return false;
    }
    return true;
}

}  // namespace kv
