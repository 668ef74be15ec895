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

std::wstring IniSectionWriter::Lines() const {
    std::wstring lines;
    for (size_t at = 0; at < text_.size() && text_[at];) {
        const wchar_t* line = text_.c_str() + at;
        const size_t len = wcslen(line);
        lines.append(line, len);
        lines += L"\r\n";
        at += len + 1;
    }
    return lines;
}

IniSectionWriter& IniFileWriter::Section(const wchar_t* name) {
    Close();
    name_ = name;
    current_.Clear();
    open_ = true;
    return current_;
}

void IniFileWriter::Close() {
    if (!open_) return;
    text_ += L"[";
    text_ += name_;
    text_ += L"]\r\n";
    text_ += current_.Lines();
    open_ = false;
}

bool IniFileWriter::Write(const wchar_t* file) noexcept {
    Close();
    // A new file of the profile functions is in the system's code page.
    const int bytes = text_.empty() ? 0
                                    : ::WideCharToMultiByte(CP_ACP, 0, text_.c_str(), static_cast<int>(text_.size()),
                                                            nullptr, 0, nullptr, nullptr);
    std::string data(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        ::WideCharToMultiByte(CP_ACP, 0, text_.c_str(), static_cast<int>(text_.size()), &data[0], bytes, nullptr, nullptr);
    HANDLE h = ::CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = data.empty() || (::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                                     written == data.size());
    ::CloseHandle(h);
    // The profile functions keep files they read in a cache; it must not outlive the change.
    ::WritePrivateProfileStringW(nullptr, nullptr, nullptr, file);
    return ok;
}

namespace {
bool Blank(wchar_t c) noexcept { return c == L' ' || c == L'\t'; }
}  // namespace

IniFileReader::IniFileReader(const wchar_t* file) {
    HANDLE h = ::CreateFileW(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    std::string data;
    LARGE_INTEGER size = {};
    if (::GetFileSizeEx(h, &size) && size.QuadPart > 0 && size.QuadPart < (64 << 20)) {
        data.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        if (!::ReadFile(h, &data[0], static_cast<DWORD>(data.size()), &got, nullptr)) got = 0;
        data.resize(got);
    }
    ::CloseHandle(h);
    // The encodings the profile functions tell apart: UTF-16 and UTF-8 by their marks,
    // everything else in the system's code page.
    if (data.size() >= 2 && static_cast<unsigned char>(data[0]) == 0xFF && static_cast<unsigned char>(data[1]) == 0xFE) {
        text_.assign(reinterpret_cast<const wchar_t*>(data.data() + 2), (data.size() - 2) / 2);
    } else {
        UINT codePage = CP_ACP;
        size_t skip = 0;
        if (data.size() >= 3 && data.compare(0, 3, "\xEF\xBB\xBF") == 0) codePage = CP_UTF8, skip = 3;
        const int n = ::MultiByteToWideChar(codePage, 0, data.data() + skip, static_cast<int>(data.size() - skip), nullptr, 0);
        text_.assign(static_cast<size_t>(n > 0 ? n : 0), L'\0');
        if (n > 0) ::MultiByteToWideChar(codePage, 0, data.data() + skip, static_cast<int>(data.size() - skip), &text_[0], n);
    }
}

int32_t IniFileReader::Int(const wchar_t* section, const wchar_t* key, int32_t def) const noexcept {
    const size_t sectionLen = wcslen(section), keyLen = wcslen(key);
    bool inSection = false, seenSection = false;
    for (size_t at = 0; at < text_.size();) {
        size_t end = text_.find(L'\n', at);
        if (end == std::wstring::npos) end = text_.size();
        const wchar_t* p = text_.c_str() + at;
        size_t n = end - at;
        at = end + 1;
        while (n > 0 && (Blank(*p) || *p == L'\r')) ++p, --n;
        while (n > 0 && (Blank(p[n - 1]) || p[n - 1] == L'\r')) --n;
        if (n == 0) continue;
        if (*p == L'[') {
            // Only the first section of a name counts, as for the profile functions.
            if (inSection) return def;
            const wchar_t* close = static_cast<const wchar_t*>(wmemchr(p, L']', n));
            const wchar_t* name = p + 1;
            size_t nameLen = close ? static_cast<size_t>(close - name) : n - 1;
            while (nameLen > 0 && Blank(*name)) ++name, --nameLen;
            while (nameLen > 0 && Blank(name[nameLen - 1])) --nameLen;
            inSection = !seenSection && nameLen == sectionLen && _wcsnicmp(name, section, nameLen) == 0;
            seenSection = seenSection || inSection;
            continue;
        }
        if (!inSection) continue;
        const wchar_t* eq = static_cast<const wchar_t*>(wmemchr(p, L'=', n));
        size_t kn = eq ? static_cast<size_t>(eq - p) : n;
        while (kn > 0 && Blank(p[kn - 1])) --kn;
        if (kn != keyLen || _wcsnicmp(p, key, kn) != 0) continue;
        if (!eq) return def;
        return IntOfValue(eq + 1, static_cast<size_t>(p + n - (eq + 1)), def);
    }
    return def;
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
