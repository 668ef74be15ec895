// Sub-string search for the filter tables: one pass over the text per pair of leading
// characters, checking the whole entry only where the pair occurs.
#include "server/substring.h"

#include <string.h>

#if KV_HAVE_SSE2
#include <emmintrin.h>
#endif

namespace kv {

void SubStringSearch::Build(const wchar_t* const* entries, int count, unsigned searched) noexcept {
    groups_ = 0;
    if (count > kMaxEntries) count = kMaxEntries;
    for (int i = 0; i < count; ++i) {
        Entry& e = entries_[i];
        size_t n = entries[i] ? wcsnlen(entries[i], kMaxEntryChars) : 0;
        if (!(searched & (1u << i))) n = 0;
        wmemcpy(e.chars, entries[i] ? entries[i] : L"", n);
        e.chars[n] = 0;
        e.length = static_cast<uint16_t>(n);
        if (n == 0) continue;
        const bool single = n == 1;
        const wchar_t second = single ? 0 : e.chars[1];
        int g = 0;
        while (g < groups_ && !(group_[g].first == e.chars[0] && group_[g].single == single && group_[g].second == second))
            ++g;
        if (g == groups_) group_[groups_++] = Group{e.chars[0], second, single, 0, i};
        group_[g].members = static_cast<uint16_t>(group_[g].members | (1u << i));
    }
}

// The lowest member below best that starts at `at` (left characters remain), else best.
int SubStringSearch::Verify(const Group& g, const wchar_t* at, size_t left, int best) const noexcept {
    for (int i = g.lowest; i < best; ++i) {
        if (!(g.members & (1u << i))) continue;
        const Entry& e = entries_[i];
        if (e.length <= left && wmemcmp(at, e.chars, e.length) == 0) return i;
    }
    return best;
}

int SubStringSearch::ScanGroup(const Group& g, const wchar_t* text, size_t length, int best) const noexcept {
    size_t i = 0;
#if KV_HAVE_SSE2
    // Eight positions at a time: where the first character matches and (for longer entries)
    // the second one after it, the whole entry is compared. No load reaches past length.
    const __m128i first = _mm_set1_epi16(static_cast<short>(g.first));
    const __m128i second = _mm_set1_epi16(static_cast<short>(g.second));
    const size_t reach = g.single ? 8 : 9;
    for (; i + reach <= length; i += 8) {
        __m128i hit = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i)), first);
        if (!g.single)
            hit = _mm_and_si128(hit, _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + 1)), second));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        while (mask) {
            const unsigned bit = kv_lowest_bit(mask);
            const size_t at = i + bit / 2;
            best = Verify(g, text + at, length - at, best);
            if (best == g.lowest) return best;
            mask &= ~(3u << bit);
        }
    }
#endif
    for (; i < length; ++i) {
        if (text[i] != g.first || (!g.single && (i + 1 >= length || text[i + 1] != g.second))) continue;
        best = Verify(g, text + i, length - i, best);
        if (best == g.lowest) return best;
    }
    return best;
}

int SubStringSearch::Find(const wchar_t* const* texts, const size_t* lengths, int count) const noexcept {
    int best = kMaxEntries;
    for (int g = 0; g < groups_; ++g) {
        // Groups come in the order of their lowest entry: once that entry is not below the
        // best found, no later group holds a better one.
        if (group_[g].lowest >= best) break;
        for (int t = 0; t < count && best > group_[g].lowest; ++t) {
            if (texts[t]) best = ScanGroup(group_[g], texts[t], lengths[t], best);
        }
    }
    return best < kMaxEntries ? best : -1;
}

}  // namespace kv
