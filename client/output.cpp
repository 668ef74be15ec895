// Message output: the level test, the format check, and the hand-over of a message to
// the trace window, directly in the window's own process or through the current
// message slot of the shared region everywhere else.
#include "client/faultguard.h"
#include "client/levels.h"
#include "client/owners.h"
#include "client/region.h"
#include "client/sendpath.h"
#include "client/windowsink.h"

using namespace kv;

namespace {

const wchar_t kFormatError[] = L"***** !!! ERROR in message format string !!! *****";

// Under a SlotLock: copies the caller's function name and text (or formats the caller's
// format) into the current message slot and sends it to the trace window. args is null
// for a plain text; threadId is the thread the message is from. No heap, one bounded
// send (two with a notification window). False when the trace window did not take it.
bool FillAndSend(short h, short level, const wchar_t* func, const wchar_t* text, va_list* args, DWORD threadId) noexcept {
    // Handle and level first: a message of a sender that ended inside its send, still
    // queued at the trace window, no longer matches them while the texts are rewritten.
    g_region.curHandle = h;
    g_region.curLevel = level;
    g_region.curThreadId = threadId;
    // Only the reading of the caller's pointers is guarded: a fault there loses the
    // message and the lock is released on the way out. The sends stay outside, so a
    // window procedure of this thread is never cut short by the guard.
    const bool filled = RunGuarded([&] {
        if (args)
            FormatCutV(g_region.curText, kTextChars, text, *args);
        else
            CopyCut(g_region.curText, kTextChars, text);
        CopyCut(g_region.curFunc, kFuncMaxChars + 1, func);
    });
    if (!filled) return true;

    const WPARAM wp = static_cast<WPARAM>(static_cast<INT_PTR>(h));
    const LPARAM lp = static_cast<LPARAM>(level);
    HWND server = WindowFromField(g_region.serverWindow);
    const bool answered = server && SendBounded(server, WM_TRACE_OUTPUT, wp, lp);
    if (HWND notify = g_proc.notifyWindow) SendBounded(notify, WM_TRACE_OUTPUT, wp, lp);
    if (answered) ReportUndelivered(server);
    return answered;
}

// The last server window that answered a batch with 0: not the library's trace window, so
// it takes lines one by one. Only holders of the slot mutex read or set it.
HWND g_singleLineWindow;

// Under a SlotLock, for two or more valid texts: copies up to kBatchLines of them into the
// region's batch and sends it to server, then gives the notification window its copy of
// each line in the one-line form. Returns how many texts it covered (skipped ones
// included), 0 when there are fewer than two valid texts or the window does not take
// batches (nothing was handed on then).
int SendBatch(HWND server, const TextFrom* texts, int count, short level, const wchar_t* func, bool* answered) noexcept {
    int valid = 0;
    for (int i = 0; i < count && valid < 2; ++i) valid += IsValidHandle(texts[i].handle) ? 1 : 0;
    if (valid < 2) return 0;
    int covered = 0, lines = 0;
    // As for one line, only the reading of the caller's texts is guarded; a fault loses
    // what it covered.
    const bool filled = RunGuarded([&] {
        for (; covered < count && lines < kBatchLines; ++covered) {
            const TextFrom& t = texts[covered];
            if (!IsValidHandle(t.handle)) continue;
            BatchLine& line = g_region.batch[lines++];
            line.handle = t.handle;
            line.level = level;
            line.threadId = t.thread;
            CopyCut(line.func, kFuncMaxChars + 1, func);
            CopyCut(line.text, kTextChars, t.text);
        }
    });
    if (!filled) return covered + 1;
    g_region.batchCount = static_cast<uint32_t>(lines);
    DWORD_PTR taken = 0;
    *answered = SendBounded(server, kTraceOutputBatch, static_cast<WPARAM>(lines), 0, &taken, lines);
    if (*answered && taken == 0) {
        g_singleLineWindow = server;
        return 0;
    }
    if (HWND notify = g_proc.notifyWindow) {
        for (int i = 0; i < lines; ++i) {
            const BatchLine& line = g_region.batch[i];
            CopyCut(g_region.curText, kTextChars, line.text);
            CopyCut(g_region.curFunc, kFuncChars, line.func);
            g_region.curHandle = line.handle;
            g_region.curLevel = line.level;
            g_region.curThreadId = line.threadId;
            SendBounded(notify, WM_TRACE_OUTPUT, static_cast<WPARAM>(static_cast<INT_PTR>(line.handle)),
                        static_cast<LPARAM>(line.level));
        }
    }
    if (*answered) ReportUndelivered(server);
    return covered;
}

// The common body of traceapi_Output (args null) and traceapi_OutputN (args set).
void Emit(short h, short level, const wchar_t* func, const wchar_t* text, int expected, va_list* args) noexcept {
    if (!IsValidHandle(h) || !LocksAvailable()) return;
    if (!func) func = L"";
    if (!text) text = L"";

    int found = -1;
    if (!RunGuarded([&] { found = CountConversions(text); })) return;  // unreadable text: lost
    if (found != expected) {
        text = kFormatError;
        level = 0;
        args = nullptr;  // the replacement ignores the arguments
    }

    if (LocalTraceWindowAlive()) {
        const TraceWindowSink* sink = LocalTraceSink();
        if (!sink) return;
        if (!args) {
            sink->addMessage(h, func, text, level);
            return;
        }
        wchar_t buffer[kTextChars];
        if (RunGuarded([&] { FormatCutV(buffer, kTextChars, text, *args); }))
            sink->addMessage(h, func, buffer, level);
        return;
    }
    SlotLock lock;
    if (lock.owned()) FillAndSend(h, level, func, text, args, ::GetCurrentThreadId());
}

}  // namespace

int kv::OutputTextsFrom(const TextFrom* texts, int count, short level, const wchar_t* func) noexcept {
    if (count <= 0 || !LocksAvailable()) return count > 0 ? count : 0;
    if (LocalTraceWindowAlive()) {
        if (const TraceWindowSink* sink = LocalTraceSink()) {
            for (int i = 0; i < count; ++i)
                if (IsValidHandle(texts[i].handle)) sink->addMessage(texts[i].handle, func, texts[i].text, level);
        }
        return count;
    }
    SlotLock lock;
    if (!lock.owned()) return count;
    // A window that did not answer may not answer the next send either: the slot goes to
    // the others before the rest is tried.
    for (int i = 0; i < count;) {
        HWND server = WindowFromField(g_region.serverWindow);
        if (server && server != g_singleLineWindow) {
            bool answered = false;
            if (const int covered = SendBatch(server, texts + i, count - i, level, func, &answered)) {
                i += covered;
                if (!answered) return i;
                continue;
            }
        }
        if (IsValidHandle(texts[i].handle) &&
            !FillAndSend(texts[i].handle, level, func, texts[i].text, nullptr, texts[i].thread))
            return i + 1;
        ++i;
    }
    return count;
}

extern "C" BOOL __cdecl traceapi_IsEnabled(short TrcHdl, short Level) {
    // A process without the named mutexes writes nothing into the shared region.
    if (!LocksAvailable()) return FALSE;
    if (g_region.globalEnable == 0 && Level > -1) return FALSE;
    if (!ServerWindowAlive() && !g_proc.notifyWindow) return FALSE;
    if (!IsValidHandle(TrcHdl)) return FALSE;
    const TRACEAPP& slot = g_region.apps[TrcHdl];
    if ((slot.EnableError && Level == 10) || (slot.EnableWarning && Level == 20) ||
        (slot.EnableInfo && Level == 30) || (slot.EnableDiag && Level == 40))
        return TRUE;
    return Level == 0 || Level == -1;
}

extern "C" void __cdecl traceapi_Output(short TrcHdl, short Level, const WCHAR* szFunc, const WCHAR* szText) {
    Emit(TrcHdl, Level, szFunc, szText, 0, nullptr);
}

extern "C" void __stdcall traceapi_Output_VB(short TrcHdl, short Level, const WCHAR* szFunc, const WCHAR* szText) {
    if (traceapi_IsEnabled(TrcHdl, Level)) traceapi_Output(TrcHdl, Level, szFunc, szText);
}

#define KV_DEFINE_OUTPUT_N(N)                                                                             \
    extern "C" void __cdecl traceapi_Output##N(short TrcHdl, short Level, const WCHAR* szFunc,            \
                                               const WCHAR* szFormat, ...) {                              \
        va_list args;                                                                                     \
        va_start(args, szFormat);                                                                         \
        Emit(TrcHdl, Level, szFunc, szFormat, N, &args);                                                  \
        va_end(args);                                                                                     \
    }

KV_DEFINE_OUTPUT_N(1)
KV_DEFINE_OUTPUT_N(2)
KV_DEFINE_OUTPUT_N(3)
KV_DEFINE_OUTPUT_N(4)
KV_DEFINE_OUTPUT_N(5)
KV_DEFINE_OUTPUT_N(6)
KV_DEFINE_OUTPUT_N(7)
KV_DEFINE_OUTPUT_N(8)
KV_DEFINE_OUTPUT_N(9)
