// Case-sensitive search for the entries of one sub-string table in a text, made once per
// message or drawn row for every entry of the table at a time.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "client/compat.h"

namespace kv {

// A table of up to kMaxEntries entries prepared for searching. Entries that share their
// first two characters are looked for in one pass over the text.
class SubStringSearch {
public:
    static constexpr int kMaxEntries = 10;
    static constexpr int kMaxEntryChars = 49;  // longer entries are cut

    // entries[i] for i below count; an entry whose bit is clear in searched, or which is
    // empty, is never found. The entries are copied.
    void Build(const wchar_t* const* entries, int count, unsigned searched) noexcept;

    // Lowest index of an entry that occurs in one of the texts (texts[t] holds lengths[t]
    // characters, none of them read beyond), or -1.
    int Find(const wchar_t* const* texts, const size_t* lengths, int count) const noexcept;

    bool empty() const noexcept { return groups_ == 0; }

private:
    struct Entry {
        wchar_t chars[kMaxEntryChars + 1];
        uint16_t length;
    };
    // Entries with the same first two characters (or the same single character, for
    // entries of one character), in the order of their lowest entry.
    struct Group {
        wchar_t first, second;
        bool single;
        uint16_t members;  // bit i: entry i
        int lowest;
    };
    int ScanGroup(const Group& g, const wchar_t* text, size_t length, int best) const noexcept;
    int Verify(const Group& g, const wchar_t* at, size_t left, int best) const noexcept;

    Entry entries_[kMaxEntries];
    Group group_[kMaxEntries];
    int groups_ = 0;
};

}  // namespace kv
