// Finding the row a time text names, the way the trace window hands it over.
#include <string>

#include "tracefiles/tracefiles.h"

namespace kv::trc {

bool FindRowByTimeText(const std::vector<TraceFile*>& files, const std::vector<DayFile>& days,
                       const wchar_t* timeText, RowRef* out) {
    if (!timeText) return false;
    LineFields wanted;
    if (!ParseTimeText(timeText, wcslen(timeText), &wanted)) return false;
    // Sequence numbers start again with every server start, so the weekday picks the day;
    // a day's file may also begin with the last rows of the day before.
    const int next = (wanted.weekday + 1) % 7;
    // The bracketed number as the text writes it: found by the block search, which reads
    // the file instead of touching every page of a mapping.
    const wchar_t* open = wcschr(timeText, L'[');
    const wchar_t* close = open ? wcschr(open, L']') : nullptr;
    if (!open || !close) return false;
    const std::wstring needle(open, close + 1);
    FindOptions exact;
    exact.matchCase = true;
    wchar_t line[64];
    for (size_t f = files.size(); f-- > 0;) {
        const int wd = f < days.size() ? WeekdayOf(days[f].date) : -1;
        if (wd >= 0 && wd != wanted.weekday && wd != next) continue;
        TraceFile& file = *files[f];
        size_t from = file.LineCount();
        while (from > 0) {
            const long long hit = FindInFile(file, from - 1, false, needle.c_str(), exact);
            if (hit < 0) break;
            // The number may also stand in a text; only the time field counts.
            size_t n = 0;
            file.ReadLine(static_cast<size_t>(hit), line, 64, &n);
            size_t bar = 0;
            while (bar < n && line[bar] != L'|') ++bar;
            LineFields got;
            if (ParseTimeText(line, bar, &got) && got.weekday == wanted.weekday && got.sequence == wanted.sequence) {
                out->file = f;
                out->line = static_cast<size_t>(hit);
                return true;
            }
            from = static_cast<size_t>(hit);
        }
    }
    return false;
}

}  // namespace kv::trc
