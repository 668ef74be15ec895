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

void IniWriteString(const wchar_t* section, const wchar_t* key, const wchar_t* value, const wchar_t* file) noexcept {
    // Every caller's value comes from a field of at most 500 characters.
    constexpr size_t kMaxChars = 1024;
    wchar_t text[kMaxChars + 3];
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
    ::WritePrivateProfileStringW(section, key, text, file);
}

bool IniSectionNameUsable(const wchar_t* name) noexcept {
    if (!name || !name[0]) return false;
    for (const wchar_t* p = name; *p; ++p) {
        if (*p < L' ') return false;
    }
    return true;
}

}  // namespace kv
