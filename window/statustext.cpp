// The five status texts: list fill, selected row, trace file, profile and clock.
#include <string.h>

#include "client/region.h"
#include "server/clock.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "settings/serversettings.h"
#include "window/statusbar.h"
#include "window/tracewnd.h"

namespace kv {
namespace {

// Formats fmt with a path that may be too long for the field: the path's end (the file
// name) is what the operator needs, so a long path loses its beginning to "...".
void FormatWithPath(wchar_t* out, const wchar_t* fmt, const wchar_t* path, int number) noexcept {
    wchar_t frame[kStatusFieldChars];
    FormatCut(frame, kStatusFieldChars, fmt, L"", number);
    const size_t room = kStatusFieldChars - 1 - wcslen(frame);
    const size_t len = wcslen(path);
    if (len <= room) {
        FormatCut(out, kStatusFieldChars, fmt, path, number);
        return;
    }
    wchar_t cut[kStatusFieldChars];
    const size_t keep = room > 3 ? room - 3 : 0;
    FormatCut(cut, kStatusFieldChars, L"...%s", path + (len - keep));
    FormatCut(out, kStatusFieldChars, fmt, cut, number);
}

}  // namespace

void FormatClockField(wchar_t* out, const SYSTEMTIME& t, int pcNo) noexcept {
    const unsigned pc = static_cast<uint16_t>(pcNo);
    if (pc != 0)
        FormatCut(out, kStatusFieldChars, L"KVS %d  %02d.%02d.%02d  %02d:%02d:%02d", static_cast<int>(pc), t.wDay,
                  t.wMonth, t.wYear % 100, t.wHour, t.wMinute, t.wSecond);
    else
        FormatCut(out, kStatusFieldChars, L"KV-Client  %02d.%02d.%02d  %02d:%02d:%02d", t.wDay, t.wMonth, t.wYear % 100,
                  t.wHour, t.wMinute, t.wSecond);
}

void FormatCountField(wchar_t* out, long rows, long maxRows) noexcept {
    FormatCut(out, kStatusFieldChars, L"%ld / %ld", rows, maxRows);
}

void FormatRowField(wchar_t* out, int selected, uint32_t levelWord) noexcept {
    if (selected < 0) {
        out[0] = 0;
        return;
    }
    const uint32_t bits = levelWord >> 16;
    FormatCut(out, kStatusFieldChars, L"%ld [%c%c%c%c]", static_cast<long>(selected) + 1, bits & 1 ? L'1' : L'0',
              bits & 2 ? L'1' : L'0', bits & 4 ? L'1' : L'0', bits & 8 ? L'1' : L'0');
}

void FormatFileField(wchar_t* out, const wchar_t* file, bool open, bool safeWriting, int historyDays) noexcept {
    const wchar_t* fmt = open ? L"File: %s* (max:%d)" : safeWriting ? L"File: %s(!) (max:%d)" : L"File: %s (max:%d)";
    FormatWithPath(out, fmt, file ? file : L"", static_cast<short>(historyDays));
}

void FormatProfileField(wchar_t* out, const wchar_t* profile) noexcept {
    if (!profile || !profile[0]) {
        CopyCut(out, kStatusFieldChars, L"Profile: USER");
        return;
    }
    FormatWithPath(out, L"Profile: %s%.0d", profile, 0);
}

}  // namespace kv

using namespace kv;

void tracewnd_UpdateStatus() {
    const ServerState& st = Server();
    HWND window = st.traceWindow;
    if (!window || !::IsWindow(window)) return;
    if (::GetWindowThreadProcessId(window, nullptr) != ::GetCurrentThreadId()) {
        // The fields belong to the window thread; it refreshes them when it gets here.
        ::PostMessageW(window, WM_KV_REFRESHSTATUS, 0, 0);
        return;
    }
    wchar_t text[kStatusFieldChars];

    SYSTEMTIME now;
    if (!ClockLocalTime(&now)) ::GetLocalTime(&now);
    FormatClockField(text, now, g_settings.PCNo);
    statusbar_SetText(4, text);

    FormatCountField(text, rowstore_GetCount(st.mainStore), g_settings.MaxEntries);
    statusbar_SetText(0, text);

    int selected = -1;
    uint32_t levelWord = 0;
    if (st.mainList && ::IsWindow(st.mainList) && ::SendMessageW(st.mainList, LVM_GETSELECTEDCOUNT, 0, 0) > 0) {
        selected = static_cast<int>(::SendMessageW(st.mainList, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
        if (selected >= rowstore_GetCount(st.mainStore)) selected = -1;
        if (selected >= 0) levelWord = rowstore_GetLevelWord(st.mainStore, selected);
    }
    FormatRowField(text, selected, levelWord);
    statusbar_SetText(1, text);

    wchar_t file[MAX_PATH];
    tracewnd_CopyTraceFileName(file, MAX_PATH);
    FormatFileField(text, file, tracewnd_IsTraceFileOpen() != FALSE, g_settings.SaveWriting != 0, g_settings.HistoryDays);
    statusbar_SetText(2, text);

    wchar_t profile[kProfileChars];
    // A snapshot without the data mutex: the window thread never waits on a lock that
    // another process holds just to show a text.
    CopyCut(profile, kProfileChars, g_region.curProfile);
    FormatProfileField(text, profile);
    statusbar_SetText(3, text);
    TraceWindow().lastStatus = ::GetTickCount();
}
