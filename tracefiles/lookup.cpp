// Finding the row a time text names, the way the trace window hands it over.
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
    wchar_t line[64];
    for (size_t f = files.size(); f-- > 0;) {
        const int wd = f < days.size() ? WeekdayOf(days[f].date) : -1;
        if (wd >= 0 && wd != wanted.weekday && wd != next) continue;
        TraceFile& file = *files[f];
        for (size_t i = file.LineCount(); i-- > 0;) {
            // The time text is the line's first field, never longer than 31 characters.
            const size_t n = file.ReadLine(i, line, 64);
            size_t bar = 0;
            while (bar < n && line[bar] != L'|') ++bar;
            LineFields got;
            if (!ParseTimeText(line, bar, &got)) continue;
            if (got.weekday == wanted.weekday && got.sequence == wanted.sequence) {
                out->file = f;
                out->line = i;
                return true;
            }
        }
    }
    return false;
}

}  // namespace kv::trc
