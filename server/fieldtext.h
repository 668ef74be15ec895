// Texts of a row built by hand: the time and module columns of every stored message and
// every trace file line. The C runtime's formatting of them cost more than the rest of
// the row's way into the list and the file.
#pragma once

#include <stddef.h>
#include <wchar.h>

namespace kv {

// Appends to a buffer of cap characters, cut to it and always terminated.
class FieldText {
public:
    FieldText(wchar_t* dst, size_t cap) noexcept : dst_(dst), cap_(cap) {
        if (cap_) dst_[0] = 0;
    }
    // At most max characters of s, up to its terminator.
    FieldText& Text(const wchar_t* s, size_t max) noexcept {
        for (size_t i = 0; i < max && s[i]; ++i) Put(s[i]);
        return *this;
    }
    // The same, each control character as a blank.
    FieldText& Blanked(const wchar_t* s, size_t max) noexcept {
        for (size_t i = 0; i < max && s[i]; ++i) Put(s[i] < 32 ? L' ' : s[i]);
        return *this;
    }
    FieldText& Char(wchar_t c) noexcept {
        Put(c);
        return *this;
    }
    // Decimal, zero-padded to at least minDigits.
    FieldText& Number(unsigned long v, int minDigits = 1) noexcept {
        wchar_t digits[16];
        int n = 0;
        do {
            digits[n++] = static_cast<wchar_t>(L'0' + v % 10);
            v /= 10;
        } while (v);
        while (n < minDigits && n < 16) digits[n++] = L'0';
        while (n > 0) Put(digits[--n]);
        return *this;
    }
    FieldText& Signed(long v) noexcept {
        if (v < 0) Put(L'-');
        return Number(v < 0 ? 0ul - static_cast<unsigned long>(v) : static_cast<unsigned long>(v));
    }
    size_t length() const noexcept { return n_; }

private:
    void Put(wchar_t c) noexcept {
        if (n_ + 1 >= cap_) return;
        dst_[n_++] = c;
        dst_[n_] = 0;
    }
    wchar_t* dst_;
    size_t cap_;
    size_t n_ = 0;
};

}  // namespace kv
