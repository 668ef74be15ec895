// Key-by-key access to the settings and profile files through the platform's
// private-profile functions, with the value conventions both files share.
#pragma once

#include <stdint.h>

#include <string>

#include "client/compat.h"

namespace kv {

// The integer of a key; the default when the key is absent or empty, 0 when its value
// does not begin with a number.
int32_t IniReadInt(const wchar_t* section, const wchar_t* key, int32_t def, const wchar_t* file) noexcept;
// The text of a key into buf (cap characters with the terminator; longer values are
// cut); "" when absent.
void IniReadString(const wchar_t* section, const wchar_t* key, wchar_t* buf, DWORD cap, const wchar_t* file) noexcept;

// Writes an integer as signed decimal text.
void IniWriteInt(const wchar_t* section, const wchar_t* key, int32_t value, const wchar_t* file) noexcept;
// Writes a switch as "1" (non-zero) or "0".
void IniWriteSwitch(const wchar_t* section, const wchar_t* key, int32_t on, const wchar_t* file) noexcept;
// Writes a text so that IniReadString gives it back unchanged: the profile reader trims
// blanks around a value and drops one pair of enclosing quotes, so a value that would
// lose characters that way is written inside a pair of quotes. A line break cannot be
// stored in a value; the text is cut at the first one.
void IniWriteString(const wchar_t* section, const wchar_t* key, const wchar_t* value, const wchar_t* file) noexcept;

// A whole section in one call: appends "key=value" for IniWriteSectionFlush.
class IniSectionWriter {
public:
    void Int(const wchar_t* key, int32_t value);
    void Switch(const wchar_t* key, int32_t on) { Raw(key, on ? L"1" : L"0"); }
    // As IniWriteString writes it.
    void String(const wchar_t* key, const wchar_t* value);
    void Raw(const wchar_t* key, const wchar_t* value);
    // Replaces the section in file with the keys given, in one write.
    void Write(const wchar_t* section, const wchar_t* file) noexcept;
    // The keys as "key=value" lines, each ended by CR LF.
    std::wstring Lines() const;
    void Clear() { text_.clear(); }
private:
    std::wstring text_;
};

// A whole section read in one call, answering key reads exactly as IniReadInt would.
class IniSectionReader {
public:
    IniSectionReader(const wchar_t* section, const wchar_t* file);
    int32_t Int(const wchar_t* key, int32_t def) const noexcept;
private:
    std::wstring text_;  // "key=value\0...\0"
};

// A whole new file built in memory and written at once, byte for byte as the key-by-key
// writes of the same sections into a new file would leave it: a profile of every slot
// is one write instead of hundreds, each of which rewrites the whole file.
class IniFileWriter {
public:
    IniSectionWriter& Section(const wchar_t* name);
    // Replaces file. False when it could not be written.
    bool Write(const wchar_t* file) noexcept;
private:
    std::wstring text_;
    std::wstring name_;
    IniSectionWriter current_;
    bool open_ = false;
    void Close();
};

// A whole file read at once, answering key reads exactly as IniReadInt would.
class IniFileReader {
public:
    explicit IniFileReader(const wchar_t* file);
    int32_t Int(const wchar_t* section, const wchar_t* key, int32_t def) const noexcept;
private:
    std::wstring text_;  // the file, one line per "\n"
};

// True when name can stand as a section name without breaking the file's lines.
bool IniSectionNameUsable(const wchar_t* name) noexcept;

}  // namespace kv
