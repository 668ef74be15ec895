// The hand-over of a row to the external trace viewer.
#include "window/operator.h"
#include "window/operator_internal.h"

#include "client/region.h"
#include "server/filters.h"
#include "server/listselection.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "settings/serversettings.h"

using namespace kv;

int tracewnd_ViewerCommandLine(wchar_t* buffer, int capacity) {
    if (!buffer || capacity <= 0) return 0;
    buffer[0] = 0;
    const size_t cap = static_cast<size_t>(capacity);
    const ServerState& st = Server();

    // The list with the keyboard focus decides which row the viewer opens at.
    HWND focus = ::GetFocus();
    HWND list = nullptr;
    short store = -1;
    if (focus && focus == st.filterList) {
        list = st.filterList;
        store = st.filterStore;
    } else if (focus && focus == st.mainList) {
        list = st.mainList;
        store = st.mainStore;
    }
    const int row = list ? FirstSelected(list) : -1;
    wchar_t time[32] = {};
    if (row >= 0) rowstore_GetColumnText(store, row, kColTime, time, ARRAYSIZE(time));

    // Each form is taken only when it fits whole: a path cut short would open the wrong
    // files, so a longer form gives way to the next shorter one. A form is written into
    // room enough for any of them and then measured.
    wchar_t line[2 * MAX_PATH];
    line[0] = 0;
    if (time[0]) FormatCut(line, ARRAYSIZE(line), L"%s %s %s%s", kViewerProgram, g_settings.FileDir, L"/T:", time);
    if (!line[0] || wcslen(line) >= cap) {
        const wchar_t* file = tracewnd_CurrentTraceFile();
        FormatCut(line, ARRAYSIZE(line), L"%s %s", kViewerProgram, file ? file : L"");
        if (!file || !file[0] || wcslen(line) >= cap) CopyCut(line, ARRAYSIZE(line), kViewerProgram);
    }
    CopyCut(buffer, cap, line);
    return static_cast<int>(wcslen(buffer));
}

void tracewnd_StartViewer() {
    wchar_t command[kViewerCommandChars];
    if (tracewnd_ViewerCommandLine(command, kViewerCommandChars) > 0) LaunchProcess(command, SW_SHOWNORMAL);
}
