// Level tags of the trace row.
#include "server/tracerow.h"

const wchar_t* TraceLevelTag(int level) noexcept {
    switch (level) {
    case -1: return L"OPR";
    case 0: return L"SVR";
    case 10: return L"ERR";
    case 20: return L"WRN";
    case 30: return L"INF";
    case 40: return L"DIAG";
    default: return L"";
    }
}
