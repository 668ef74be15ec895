// Sort by sort keys: the platform maps each row's text once to a byte string whose byte
// order is the order of its locale comparison, so that the many comparisons of a sort
// are plain byte compares instead of a locale comparison each.
#include "server/rowsort.h"

#include <string.h>

#include <algorithm>
#include <new>
#include <vector>

namespace kv {

namespace {

constexpr DWORD kKeyFlags = LCMAP_SORTKEY | NORM_IGNORECASE;  // the rule CompareStringW sorts by
constexpr DWORD kCompareFlags = NORM_IGNORECASE;
// Bytes of a key kept per row. Keys take about two bytes per character, so this tells
// apart texts that differ within their first two hundred characters or so; rows whose
// kept bytes are equal and cut are compared by their texts.
constexpr size_t kKeptBytes = 512;
constexpr size_t kHeadBytes = 16;

const wchar_t* ColumnText(const TraceRow* row, int column) noexcept {
    const wchar_t* text = RowColumnText(row, column);
    return text ? text : L"";
}

// Sixteen key bytes at a time as two numbers (most significant byte first, zeros after
// the key's end) decide the comparisons; the kept bytes after the first sixteen lie in
// the arena. A key holds no zero byte but its last, so a key that ends sorts before the
// keys it is a beginning of, as a byte compare of the whole keys has it.
struct Item {
    uint64_t head[2];   // key bytes [depth, depth + 16) while a group of depth is sorted
    uint32_t restAt;    // arena offset of the kept bytes after the first sixteen
    uint32_t length;    // kept key bytes, the terminating zero included
    bool cut;           // the key is longer than what was kept
    TraceRow* row;
};

bool HeadLess(const Item& a, const Item& b) noexcept {
    return a.head[0] != b.head[0] ? a.head[0] < b.head[0] : a.head[1] < b.head[1];
}

bool SameHead(const Item& a, const Item& b) noexcept { return a.head[0] == b.head[0] && a.head[1] == b.head[1]; }

uint64_t BigEndian(const uint8_t* p, size_t n) noexcept {
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i) v = (v << 8) | (i < n ? p[i] : 0);
    return v;
}

void SetHead(Item& item, const uint8_t* bytes, size_t n) noexcept {
    item.head[0] = BigEndian(bytes, n);
    item.head[1] = n > 8 ? BigEndian(bytes + 8, n - 8) : 0;
}

// Sorts items that agree on their first depth key bytes by the bytes from there on. Each
// round sorts by sixteen bytes and takes the next sixteen only for the items that still
// agree, so that the arena is read once per item and round, not once per comparison.
void SortGroup(Item* first, Item* last, uint32_t depth, const uint8_t* arena, int column) {
    std::sort(first, last, HeadLess);
    const uint32_t next = depth + static_cast<uint32_t>(kHeadBytes);
    for (Item* run = first; run != last;) {
        Item* end = run + 1;
        bool longer = run->length > next, cut = run->cut;
        for (; end != last && SameHead(*run, *end); ++end) {
            longer = longer || end->length > next;
            cut = cut || end->cut;
        }
        if (end - run > 1) {
            if (longer) {
                for (Item* i = run; i != end; ++i) {
                    const size_t left = i->length > next ? i->length - next : 0;
                    SetHead(*i, left ? arena + i->restAt + (next - kHeadBytes) : nullptr, left);
                }
                SortGroup(run, end, next, arena, column);
            } else if (cut) {
                // Equal as far as their keys were kept: the texts decide.
                std::sort(run, end, [column](const Item& a, const Item& b) {
                    return ::CompareStringW(LOCALE_USER_DEFAULT, kCompareFlags, ColumnText(a.row, column), -1,
                                            ColumnText(b.row, column), -1) == CSTR_LESS_THAN;
                });
            }
        }
        run = end;
    }
}

// The key of text into key (resized as needed); its length in bytes, 0 on failure.
size_t MapKey(const wchar_t* text, std::vector<uint8_t>& key) {
    int n = ::LCMapStringW(LOCALE_USER_DEFAULT, kKeyFlags, text, -1, reinterpret_cast<LPWSTR>(key.data()),
                           static_cast<int>(key.size()));
    if (n == 0 && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        const int need = ::LCMapStringW(LOCALE_USER_DEFAULT, kKeyFlags, text, -1, nullptr, 0);
        if (need <= 0) return 0;
        key.resize(static_cast<size_t>(need));
        n = ::LCMapStringW(LOCALE_USER_DEFAULT, kKeyFlags, text, -1, reinterpret_cast<LPWSTR>(key.data()), need);
    }
    return n > 0 ? static_cast<size_t>(n) : 0;
}

bool Sort(TraceRow** rows, int count, int column, bool ascending) {
    std::vector<Item> items(static_cast<size_t>(count));
    std::vector<uint8_t> arena;
    arena.reserve(static_cast<size_t>(count) * 64);
    std::vector<uint8_t> key(8192);
    for (int i = 0; i < count; ++i) {
        if (!rows[i]) return false;
        const size_t n = MapKey(ColumnText(rows[i], column), key);
        if (n == 0) return false;
        Item& item = items[static_cast<size_t>(i)];
        const size_t kept = std::min(n, kKeptBytes);
        SetHead(item, key.data(), kept);
        item.restAt = static_cast<uint32_t>(arena.size());
        item.length = static_cast<uint32_t>(kept);
        item.cut = n > kept;
        item.row = rows[i];
        if (kept > kHeadBytes) {
            if (arena.size() + kept > UINT32_MAX) return false;
            arena.insert(arena.end(), key.begin() + kHeadBytes, key.begin() + static_cast<ptrdiff_t>(kept));
        }
    }
    SortGroup(items.data(), items.data() + items.size(), 0, arena.data(), column);
    // Descending is the ascending order read backwards (rows that compare equal may
    // stand in any order either way).
    for (int i = 0; i < count; ++i) rows[i] = items[static_cast<size_t>(ascending ? i : count - 1 - i)].row;
    return true;
}

}  // namespace

bool SortRowsByKey(TraceRow** rows, int count, int column, bool ascending) noexcept {
    if (!rows || count < 2) return true;
    try {
        return Sort(rows, count, column, ascending);
    } catch (const std::bad_alloc&) {
        return false;  // nothing was reordered yet
    }
}

}  // namespace kv
