// Daily trace files: the file line, the choice of the current file, buffered and safe
// writing, and the saved list.
#include "server/tracefile.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "client/faultguard.h"
#include "client/owners.h"
#include "client/region.h"
#include "client/traceapi.h"
#include "server/clock.h"
#include "server/fieldtext.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "settings/serversettings.h"
#include "suite/kvdlinkx.h"

using namespace kv;

namespace {

// FileDir (at most 259 characters) + "\TSyymmdd.txt" always fits, so a daily name is
// never cut into a different name.
constexpr int kFileNameChars = MAX_PATH + 20;
constexpr DWORD kStreamBufferBytes = 64 * 1024;
constexpr ULONGLONG kFillWaitMs = 2000;
constexpr ULONGLONG kMakeDirectoryMs = 1000;  // a missing directory is made again at most this often
const wchar_t kWriteFunc[] = L"tracewnd_WriteFileLine";
const wchar_t kSaveListTitle[] = L"Trace Server - Save List";

// An append-only file with a write buffer of its own, for one writer at a time. Other
// processes may read and write the file while it is open; every write lands at the
// current end of the file.
class AppendFile {
public:
    AppendFile() noexcept = default;
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    ~AppendFile() { Close(); }

    bool open() const noexcept { return h_ != INVALID_HANDLE_VALUE; }
    bool buffered() const noexcept { return cap_ > 0; }

    bool Open(const wchar_t* path, DWORD access, DWORD disposition) noexcept {
        Close();
        h_ = ::CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        failed_ = false;
        return open();
    }

    // Buffered when a buffer was given, straight through otherwise.
    void SetBuffer(BYTE* buffer, DWORD capacity) noexcept {
        buf_ = buffer;
        cap_ = buffer ? capacity : 0;
        used_ = 0;
    }

    bool Write(const void* data, DWORD bytes) noexcept {
        if (!open()) return false;
        if (used_ + bytes > cap_ && !Flush()) return false;
        if (bytes >= cap_) return WriteThrough(data, bytes);
        memcpy(buf_ + used_, data, bytes);
        used_ += bytes;
        return true;
    }

    bool Flush() noexcept {
        if (used_ == 0) return !failed_;
        const bool ok = WriteThrough(buf_, used_);
        used_ = 0;
        return ok;
    }

    // Writes what is buffered and closes; false when anything written since Open was lost.
    bool Close() noexcept {
        if (!open()) return true;
        Flush();
        ::CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
        return !failed_;
    }

private:
    bool WriteThrough(const void* data, DWORD bytes) noexcept {
        const BYTE* p = static_cast<const BYTE*>(data);
        while (bytes > 0) {
            DWORD written = 0;
            if (!::WriteFile(h_, p, bytes, &written, nullptr) || written == 0) {
                failed_ = true;
                return false;
            }
            p += written;
            bytes -= written;
        }
        return true;
    }

    HANDLE h_ = INVALID_HANDLE_VALUE;
    BYTE* buf_ = nullptr;
    DWORD cap_ = 0;
    DWORD used_ = 0;
    bool failed_ = false;
};

// Lines of the current day that intake threads hand in without the writer lock. Each
// thread keeps to a slot of its own, so that threads writing line after line never share
// the memory they copy into (two threads copying into one buffer pulled its cache lines
// back and forth between the processors, and were slower together than one alone). Every
// line takes a number from one counter, and the slots are written out in the order of
// those numbers: the order in which the lines were handed in.
//
// The holder of the writer lock shuts the slots, waits for the copies under way, turns
// every slot to its other page and may open them again at once: writers go on filling
// while the pages just left are written out. A writer that does not finish its copy in
// time (suspended, starved, ended from outside) is given up: its slot is closed for good,
// so that neither its late copy nor its late count can touch a page that is read again,
// and the threads of that slot write through the writer lock from then on.
class LineSlots {
public:
    LineSlots() noexcept = default;
    LineSlots(const LineSlots&) = delete;
    LineSlots& operator=(const LineSlots&) = delete;
    ~LineSlots() {
        if (memory_) ::VirtualFree(memory_, 0, MEM_RELEASE);
    }

    // Room for the line on this thread's slot while the slots are open for the day and
    // the line fits; false sends the writer to the writer lock.
    bool Add(const wchar_t* line, DWORD bytes, DWORD day) noexcept {
        static thread_local int mine = -1;
        if (mine < 0) mine = static_cast<int>(next_.fetch_add(1, std::memory_order_relaxed) % kSlots);
        Slot& slot = slots_[mine];
        const DWORD need = RecordBytes(bytes);
        ULONGLONG s = slot.state.load(std::memory_order_acquire);
        do {
            if ((s & kShut) || slot.day.load(std::memory_order_relaxed) != day || (s & kUsedMask) + need > kPageBytes)
                return false;
        } while (!slot.state.compare_exchange_weak(s, s + need + kOneFilling, std::memory_order_acq_rel,
                                                   std::memory_order_acquire));
        BYTE* room = slot.pages[(s & kPageBit) ? 1 : 0] + (s & kUsedMask);
        Head* head = reinterpret_cast<Head*>(room);
        head->bytes.store(bytes, std::memory_order_relaxed);
        head->number = number_.fetch_add(1, std::memory_order_relaxed);
        if (auto stop = g_copyStop.load(std::memory_order_relaxed)) stop();
        memcpy(room + sizeof(Head), line, bytes);
        head->whole.store(1, std::memory_order_release);
        // Only into the generation the room was taken in: a writer that was given up comes
        // back to a slot closed for good, and must not take a count that is not its own.
        const ULONGLONG generation = s & kGenerationMask;
        s = slot.state.load(std::memory_order_relaxed);
        while ((s & kGenerationMask) == generation &&
               !slot.state.compare_exchange_weak(s, s - kOneFilling, std::memory_order_release, std::memory_order_relaxed)) {
        }
        return true;
    }

    // Writer lock held. Shuts the slots and turns each to its other page; with keepOpen,
    // slots that were open are opened again at once. A copy under way is waited for at
    // most waitMs, then given up. Hands the lines of the pages just left to
    // put(line, bytes), in the order of their numbers, and clears those pages. The slots
    // hold lines only while the stream they belong to is open: callers write the lines
    // out before they close it or change the file. Returns the lines given up.
    template <class Put>
    unsigned long Turn(bool keepOpen, ULONGLONG waitMs, Put&& put) noexcept {
        if (!memory_) return 0;  // never opened
        DWORD left[kSlots];
        int leftPage[kSlots];
        bool gaveUp[kSlots];
        for (Slot& slot : slots_) slot.state.fetch_or(kShut);
        for (int i = 0; i < kSlots; ++i) {
            Slot& slot = slots_[i];
            ULONGLONG s = slot.state.load(std::memory_order_acquire);
            left[i] = 0;
            leftPage[i] = 0;
            gaveUp[i] = false;
            if (s & kClosed) continue;
            gaveUp[i] = !WaitFilled(slot, waitMs);
            s = slot.state.load(std::memory_order_acquire);
            left[i] = static_cast<DWORD>(s & kUsedMask);
            leftPage[i] = (s & kPageBit) ? 1 : 0;
            slot.state.store(kShut | (gaveUp[i] ? kClosed : 0) | ((s + kOneGeneration) & kGenerationMask) |
                             ((s & kPageBit) ^ kPageBit));
        }
        if (keepOpen && day_) Open(day_);
        else day_ = 0;
        int count = 0;
        unsigned long lost = 0;
        for (int i = 0; i < kSlots; ++i) {
            BYTE* page = slots_[i].pages[leftPage[i]];
            for (DWORD at = 0; at + sizeof(Head) <= left[i] && count < kMaxLines;) {
                const Head* head = reinterpret_cast<const Head*>(page + at);
                const DWORD bytes = head->bytes.load(std::memory_order_relaxed);
                if (bytes == 0 || bytes > left[i] - at - sizeof(Head)) {  // room taken, never written
                    lost += gaveUp[i];
                    break;
                }
                if (head->whole.load(std::memory_order_acquire)) lines_[count++] = {head->number, page + at + sizeof(Head), bytes};
                else ++lost;  // a copy given up
                at += RecordBytes(bytes);
            }
        }
        std::sort(lines_, lines_ + count, [](const Line& a, const Line& b) { return a.number < b.number; });
        for (int i = 0; i < count; ++i) put(lines_[i].data, lines_[i].bytes);
        // A page is read only up to its first empty head: what a writer given up on its
        // next turn leaves unwritten must read as empty, not as a line of the last turn.
        for (int i = 0; i < kSlots; ++i)
            if (!gaveUp[i]) memset(slots_[i].pages[leftPage[i]], 0, left[i]);
        return lost;
    }

    // Writer lock held: opens the shut slots for the lines of day. Their pages are made
    // the first time: only the process that holds the trace window writes trace files.
    void Open(DWORD day) noexcept {
        if (!memory_ && !Allocate()) return;
        day_ = day;
        for (Slot& slot : slots_) {
            slot.day.store(day, std::memory_order_relaxed);
            ULONGLONG s = slot.state.load();
            while ((s & kShut) && !(s & kClosed) &&
                   !slot.state.compare_exchange_weak(s, (s & ~kShut & ~kGenerationMask) |
                                                            ((s + kOneGeneration) & kGenerationMask))) {
            }
        }
    }

    // Tests: called by every writer between the head of its record and the line.
    static std::atomic<void (*)()> g_copyStop;

private:
    static constexpr int kSlots = 4;
    static constexpr DWORD kPageBytes = 64 * 1024;
    // A record: the head, the line, up to the next multiple of eight bytes. A writer sets
    // bytes first and whole last; a page is all zeroes beyond its last record.
    struct Head {
        ULONGLONG number;
        std::atomic<DWORD> bytes;  // 0: no record from here on
        std::atomic<DWORD> whole;  // 0: the copy did not end (its writer was given up)
    };
    static_assert(sizeof(Head) == 16, "every head stays aligned");
    static constexpr DWORD RecordBytes(DWORD bytes) { return (sizeof(Head) + bytes + 7) & ~7u; }
    struct Line {
        ULONGLONG number;
        const BYTE* data;
        DWORD bytes;
    };
    // The shortest record: the head and a line of 16 bytes (a file line is never shorter:
    // its separators, the tag and CR LF).
    static constexpr int kMaxLines = kSlots * kPageBytes / (sizeof(Head) + 16);
    // A slot's state word:
    //
    //   bits   field       changed by
    //   0-31   used        a writer taking room (+ its record); Turn (0)
    //   32-47  filling     a writer taking room (+1) and handing it back (-1); Turn (0)
    //   48     page        Turn (to the other page)
    //   49-61  generation  Turn and Open (+1 each)
    //   62     closed      Turn, when it gave a writer up; never cleared
    //   63     shut        Turn (set); Open (cleared unless closed)
    //
    // - Room is taken only while shut is clear, by one exchange of the whole word, so a
    //   writer that read the day or the state before a change never adds to a page of the
    //   wrong day or turn.
    // - A writer hands its count back only while the generation is the one it took room
    //   in. Turn changes the generation only once filling is 0 or the writers are given
    //   up, so a count handed back is always the writer's own.
    // - Open and Turn run under the writer lock only, never at once.
    // - A give-up leaves the slot shut and closed with filling 0 and a new generation:
    //   the given-up writer's late copy lands on a page never read again, its count is
    //   never handed back, and the threads of the slot go through the writer lock.
    static constexpr ULONGLONG kUsedMask = 0xFFFFFFFFull;
    static constexpr ULONGLONG kOneFilling = 1ull << 32;
    static constexpr ULONGLONG kFillingMask = 0xFFFFull << 32;
    static constexpr ULONGLONG kPageBit = 1ull << 48;
    static constexpr ULONGLONG kOneGeneration = 1ull << 49;
    static constexpr ULONGLONG kGenerationMask = 0x1FFFull << 49;
    static constexpr ULONGLONG kClosed = 1ull << 62;
    static constexpr ULONGLONG kShut = 1ull << 63;
    struct alignas(64) Slot {
        std::atomic<ULONGLONG> state{kShut};
        std::atomic<DWORD> day{0};  // beside the state, where its writer looks anyway
        BYTE* pages[2];
    };
    // A copy takes a few hundred nanoseconds unless its writer was preempted; a writer that
    // does not come back within waitMs (a thread suspended or ended from outside, the
    // process ending) is given up, once: its slot is closed then. The wait yields to
    // threads of any priority once it lasts, since a writer of lower priority may be the
    // one it waits for. False: given up.
    static bool WaitFilled(Slot& slot, ULONGLONG waitMs) noexcept {
        const ULONGLONG start = ::GetTickCount64();
        for (int spins = 0; slot.state.load(std::memory_order_acquire) & kFillingMask; ++spins) {
            if (::GetTickCount64() - start >= waitMs) return false;
            ::Sleep(spins < 64 ? 0 : 1);
        }
        return true;
    }

    bool Allocate() noexcept {
        const SIZE_T pageBytes = SIZE_T{kSlots} * 2 * kPageBytes;
        memory_ = static_cast<BYTE*>(
            ::VirtualAlloc(nullptr, pageBytes + sizeof(Line) * kMaxLines, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (!memory_) return false;
        for (int i = 0; i < kSlots; ++i) {
            slots_[i].pages[0] = memory_ + (2 * i) * kPageBytes;
            slots_[i].pages[1] = memory_ + (2 * i + 1) * kPageBytes;
        }
        lines_ = reinterpret_cast<Line*>(memory_ + pageBytes);
        return true;
    }

    Slot slots_[kSlots];
    std::atomic<unsigned> next_{0};
    alignas(64) std::atomic<ULONGLONG> number_{0};
    alignas(64) DWORD day_ = 0;  // writer lock; the day the slots are open for, 0: shut
    BYTE* memory_ = nullptr;  // the pages of all slots, then lines_
    Line* lines_ = nullptr;
};
std::atomic<void (*)()> LineSlots::g_copyStop{nullptr};

// The writer's state. Intake threads and the window thread all write lines, so the
// stream and the name are kept under a lock of their own. The lock is never held while
// calling into the window, which may be busy waiting for that very lock.
struct WriterState {
    wchar_t current[kFileNameChars];
    WORD lastYear, lastMonth, lastDay;  // 0: no daily name built yet
    wchar_t lastDir[MAX_PATH];
    // FileDir as the window thread last published it: the settings record itself is
    // rewritten in place on the window thread while intake threads write lines.
    wchar_t fileDir[MAX_PATH];
    AppendFile stream;
    BYTE streamBuffer[kStreamBufferBytes];
    LineSlots slots;  // lines for stream, handed in without the lock
    // A file that cannot be opened is said once, and once more when writing goes on.
    DWORD openError;          // 0: the last open succeeded
    unsigned long lost;       // lines lost since it failed
    ULONGLONG lastMakeDirectory;

    volatile LONG givenUp;    // lines of writers given up, not said yet

    // At the process's end the threads that were copying are gone: nothing is waited for
    // (under the loader lock, every second counts).
    ~WriterState() { CloseStream(0); }

    // Writer lock held (or the process ending): the lines in the slots go to the stream
    // first, so that every line is written, and written in order.
    void WriteOutSlots(bool keepOpen, ULONGLONG waitMs = kFillWaitMs) noexcept {
        LONG written = 0;
        const unsigned long lost = slots.Turn(keepOpen, waitMs, [this, &written](const BYTE* line, DWORD bytes) {
            written += stream.Write(line, bytes);
        });
        if (written) ::InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(&g_region.apps[0].dwLineCount), written);
        if (lost) ::InterlockedExchangeAdd(&givenUp, static_cast<LONG>(lost));
    }
    void CloseStream(ULONGLONG waitMs = kFillWaitMs) noexcept {
        WriteOutSlots(false, waitMs);
        stream.Close();
    }
};
WriterState g_writer;

DWORD DateKey(WORD year, WORD month, WORD day) noexcept { return (static_cast<DWORD>(year) << 16) | (month << 8) | day; }

// The daily name was built for the directory the window last published (writer lock).
bool DailyNameHoldsLocked() noexcept {
    return g_writer.lastYear && g_writer.fileDir[0] && wcscmp(g_writer.fileDir, g_writer.lastDir) == 0;
}

// The writer lock (client/locks.h); the window thread, which may be inside a client's
// send, serves sent messages while it waits for it. Lines of the current day's file go
// to the slots without it while it is free; it is taken when a slot is full, and when
// the file, the day or the way of writing changes. A critical section hands a released
// lock to the thread that waits for it, so two intake threads fell into taking turns
// through a sleep and a wake; this lock goes to whichever thread asks first.
RankedSrwLock g_writerLock{LockRank::kWriter};

// Leaving the lock opens the slots for the day of the current daily file when it is open
// for buffered writing.
class WriterSection : public ServerExclusive {
public:
    WriterSection() noexcept : ServerExclusive(g_writerLock) {}
    ~WriterSection() {
        const WriterState& w = g_writer;
        if (DailyNameHoldsLocked() && !g_settings.SaveWriting && w.stream.open() && w.stream.buffered())
            g_writer.slots.Open(DateKey(w.lastYear, w.lastMonth, w.lastDay));
    }
};

MessageBoxFn g_saveListBox = &::MessageBoxW;

void CloseStreamLocked() noexcept { g_writer.CloseStream(); }

// Replaces the current name; a stream still open on another file would carry the next
// lines to the old file, so it is closed with the change.
void SetCurrentLocked(const wchar_t* name) noexcept {
    if (wcscmp(g_writer.current, name) == 0) return;
    CloseStreamLocked();
    CopyCut(g_writer.current, kFileNameChars, name);
}

// seen: the local time a writer read before it took the lock, or null. While the day
// and the directory are those of the current name, the name stays without a look at the
// clock under the lock; otherwise the clock read here decides, so that two writers on
// both sides of midnight cannot switch the file back and forth.
void SelectLocked(const SYSTEMTIME* seen) noexcept {
    const DWORD last = DateKey(g_writer.lastYear, g_writer.lastMonth, g_writer.lastDay);
    if (seen && DateKey(seen->wYear, seen->wMonth, seen->wDay) == last && DailyNameHoldsLocked()) return;
    SYSTEMTIME now = {};
    const bool haveDate = ClockLocalTime(&now);
    wchar_t dir[MAX_PATH];
    CopyCut(dir, MAX_PATH, g_writer.fileDir);

    if (dir[0] && haveDate) {
        // The whole date counts: the same day of another month is another file.
        if (DateKey(now.wYear, now.wMonth, now.wDay) == last && wcscmp(dir, g_writer.lastDir) == 0) return;
        wchar_t name[kFileNameChars];
        FormatCut(name, kFileNameChars, L"%s\\TS%2.2d%2.2d%2.2d.txt", dir, now.wYear % 100, now.wMonth, now.wDay);
        MakeDirectoryPath(name);
        CloseStreamLocked();
        CopyCut(g_writer.current, kFileNameChars, name);
        kvdlinkx_FileWritten(g_writer.current, 1);
        // The window writes the settings summary into every new file when this arrives.
        if (ServerWindowAlive()) ::PostMessageW(ServerWindow(), WM_TRACE_SETTINGSCHANGED, 0, 0);
        g_writer.lastYear = now.wYear;
        g_writer.lastMonth = now.wMonth;
        g_writer.lastDay = now.wDay;
        CopyCut(g_writer.lastDir, MAX_PATH, dir);
        return;
    }

    wchar_t fallback[kFileNameChars];
    FormatCut(fallback, kFileNameChars, L"%s\\riviveda.txt", dir);
    SetCurrentLocked(fallback);
    // Forget the daily name, so that the next dated selection builds it again instead
    // of keeping the fallback for the rest of the day.
    g_writer.lastYear = g_writer.lastMonth = g_writer.lastDay = 0;
    g_writer.lastDir[0] = 0;
}

// What the writer has to say about its file, said after its lock is left: the line goes
// through the intake, which writes it to the file again.
struct OpenReport {
    DWORD error = 0;            // the file could not be opened
    unsigned long lost = 0;     // writing went on again after this many lines were lost
    bool any = false;
    wchar_t name[kFileNameChars];
};

// Opens the current file by open (a call that leaves the system error when it fails).
// A directory that went away (deleted, a share offline at midnight) is made again, at
// most once a second, and the open tried once more.
template <class Open>
bool OpenCurrentLocked(Open&& open, OpenReport* report) noexcept {
    bool opened = open();
    DWORD error = opened ? 0 : ::GetLastError();
    const ULONGLONG now = ::GetTickCount64();
    if (!opened && now - g_writer.lastMakeDirectory >= kMakeDirectoryMs) {
        g_writer.lastMakeDirectory = now;
        MakeDirectoryPath(g_writer.current);
        opened = open();
        error = opened ? 0 : ::GetLastError();
    }
    if (opened == (g_writer.openError == 0)) {
        if (!opened) ++g_writer.lost;
        return opened;
    }
    report->any = true;
    CopyCut(report->name, kFileNameChars, g_writer.current);
    if (opened) {
        report->lost = g_writer.lost;
        g_writer.lost = 0;
    } else {
        report->error = error;
        g_writer.lost = 1;
    }
    g_writer.openError = error;
    return opened;
}

// The body of a line write, run under the writer lock and the fault guard: nothing here
// owns a resource through a destructor. The line was formatted before the lock was
// taken. True when the line was written.
bool WriteLineLocked(const wchar_t* line, int chars, const SYSTEMTIME* seen, bool* openedStream,
                     OpenReport* report) noexcept {
    const DWORD bytes = static_cast<DWORD>(chars) * sizeof(wchar_t);

    SelectLocked(seen);
    if (g_settings.SaveWriting) {
        CloseStreamLocked();  // a stream left from buffered writing would reorder lines
        HANDLE h = INVALID_HANDLE_VALUE;
        auto open = [&] {
            h = ::CreateFileW(g_writer.current, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            return h != INVALID_HANDLE_VALUE;
        };
        if (!OpenCurrentLocked(open, report)) return false;
        DWORD written = 0;
        const BOOL ok = ::WriteFile(h, line, bytes, &written, nullptr) && written == bytes;
        ::FlushFileBuffers(h);
        ::CloseHandle(h);
        return ok != FALSE;
    }
    if (!g_writer.stream.open()) {
        auto open = [] { return g_writer.stream.Open(g_writer.current, FILE_APPEND_DATA, OPEN_ALWAYS); };
        if (!OpenCurrentLocked(open, report)) return false;
        g_writer.stream.SetBuffer(g_writer.streamBuffer, kStreamBufferBytes);
        *openedStream = true;
    }
    g_writer.WriteOutSlots(true);
    return g_writer.stream.Write(line, bytes);
}

void Say(const OpenReport& r) noexcept {
    if (!r.any || !traceapi_IsEnabled(0, -1)) return;
    if (r.error)
        traceapi_Output2(0, -1, kWriteFunc, L"***** Trace file '%s' cannot be opened (error %lu): lines are lost *****",
                         r.name, static_cast<unsigned long>(r.error));
    else
        traceapi_Output2(0, -1, kWriteFunc, L"***** Trace file '%s' written again; %lu line(s) lost *****", r.name,
                         r.lost);
}

// Lines of writers given up while the slots were written out, said once the writer lock
// is left: the file goes on, without them.
void SayGivenUp() noexcept {
    if (!g_writer.givenUp) return;
    OpenReport r;
    r.lost = static_cast<unsigned long>(::InterlockedExchange(&g_writer.givenUp, 0));
    r.any = r.lost != 0;
    tracewnd_CopyTraceFileName(r.name, kFileNameChars);
    Say(r);
}

}  // namespace

int tracewnd_FormatFileLine(const TraceRow* row, wchar_t* buffer, int capacity) {
    if (!buffer || capacity <= 0) return 0;
    buffer[0] = 0;
    if (!row || capacity < 3) return 0;
    // time|tag|process|module|function|text|mark|level word: the tag cut or padded to four
    // characters, the text cut to 900, the numbers signed. A line break in a function or
    // module name a client chose would split the record into two lines for every reader:
    // control characters become blanks in every field. The fields are cut two characters
    // short, so that CR LF always ends the line.
    FieldText line(buffer, static_cast<size_t>(capacity) - 2);
    line.Blanked(row->time, ARRAYSIZE(row->time)).Char(L'|');
    const size_t tagChars = wcsnlen(row->tag, 4);
    line.Blanked(row->tag, tagChars);
    for (size_t i = tagChars; i < 4; ++i) line.Char(L' ');
    line.Char(L'|').Blanked(row->process, ARRAYSIZE(row->process)).Char(L'|');
    line.Blanked(row->module, ARRAYSIZE(row->module)).Char(L'|');
    line.Blanked(row->function, ARRAYSIZE(row->function)).Char(L'|');
    line.Blanked(row->text ? row->text : L"", 900).Char(L'|');
    line.Signed(static_cast<long>(static_cast<int32_t>(row->markFlags))).Char(L'|');
    line.Signed(static_cast<long>(static_cast<int32_t>(row->levelWord)));
    int n = static_cast<int>(line.length());
    buffer[n++] = L'\r';
    buffer[n++] = L'\n';
    buffer[n] = 0;
    return n;
}

void tracewnd_SelectTraceFile() {
    {
        WriterSection lock;
        CopyCut(g_writer.fileDir, MAX_PATH, g_settings.FileDir);
        SelectLocked(nullptr);
    }
    SayGivenUp();
}

void tracewnd_WriteFileLine(const TraceRow* row) {
    if (!g_settings.EnableFile) return;
    // The row is the caller's: a fault while reading it ends the write before any lock.
    wchar_t line[kLiveLineChars + 1];
    int chars = 0;
    if (!RunGuarded([&] { chars = tracewnd_FormatFileLine(row, line, kLiveLineChars + 1); }) || chars <= 0) return;
    SYSTEMTIME seen;
    const bool haveDate = ClockLocalDate(&seen);
    const DWORD bytes = static_cast<DWORD>(chars) * sizeof(wchar_t);
    if (haveDate && !g_settings.SaveWriting && g_writer.slots.Add(line, bytes, DateKey(seen.wYear, seen.wMonth, seen.wDay))) return;
    bool openedStream = false;
    OpenReport report;
    bool written = false;
    {
        WriterSection lock;
        // No name yet: the settings are not loaded and there is no directory to use.
        if (!g_writer.current[0]) return;
        RunGuarded([&] { written = WriteLineLocked(line, chars, haveDate ? &seen : nullptr, &openedStream, &report); });
    }
    if (written) ::InterlockedIncrement(reinterpret_cast<volatile LONG*>(&g_region.apps[0].dwLineCount));
    if (openedStream) {
        if (auto refresh = Seams().refreshStatusFile) refresh();
    }
    Say(report);
    SayGivenUp();
}

void tracewnd_CloseTraceFile() {
    {
        WriterSection lock;
        CloseStreamLocked();
    }
    SayGivenUp();
}

BOOL tracewnd_TryCloseTraceFile() {
    if (!g_writerLock.TryLockExclusive()) return FALSE;
    CloseStreamLocked();
    g_writerLock.UnlockExclusive();
    SayGivenUp();
    return TRUE;
}

const wchar_t* tracewnd_CurrentTraceFile() { return g_writer.current; }

// Both readers take no lock: the window thread calls them for its status texts and must
// never wait without serving sends while intake threads write line after line. The name
// is a fixed, always terminated buffer that changes once a day; the copy is cut to fit.
void tracewnd_CopyTraceFileName(wchar_t* buffer, int capacity) {
    if (!buffer || capacity <= 0) return;
    CopyCut(buffer, static_cast<size_t>(capacity), g_writer.current);
}

BOOL tracewnd_IsTraceFileOpen() { return g_writer.stream.open() ? TRUE : FALSE; }

void tracewnd_ResetTraceFileForTesting() {
    WriterSection lock;
    CloseStreamLocked();
    g_writer.current[0] = 0;
    g_writer.lastYear = g_writer.lastMonth = g_writer.lastDay = 0;
    g_writer.lastDir[0] = 0;
    g_writer.fileDir[0] = 0;
    g_writer.openError = 0;
    g_writer.lost = 0;
    g_writer.lastMakeDirectory = 0;
}

void tracewnd_SetSlotCopyStopForTesting(void (*stop)()) { LineSlots::g_copyStop = stop; }

void tracewnd_SetSaveListMessageBox(MessageBoxFn fn) { g_saveListBox = fn ? fn : &::MessageBoxW; }

int tracewnd_SaveListToPath(HWND owner, const wchar_t* path) {
    if (!path) path = L"";
    if (const wchar_t* slash = wcsrchr(path, L'\\')) {
        const size_t dirChars = static_cast<size_t>(slash - path);
        if (dirChars < MAX_PATH) {
            wmemcpy(g_settings.LastFileDir, path, dirChars);
            g_settings.LastFileDir[dirChars] = 0;
        }
    }

    AppendFile file;
    if (!path[0] || !file.Open(path, GENERIC_WRITE, CREATE_ALWAYS)) {
        wchar_t message[MAX_PATH + 64];
        FormatCut(message, MAX_PATH + 64, L"Could not open file '%s' !", path);
        g_saveListBox(owner, message, kSaveListTitle, MB_OK | MB_ICONINFORMATION);
        return 0;
    }
    // A list of 10000 rows is some 20 MB; write it in large pieces when memory allows.
    BYTE* buffer = new (std::nothrow) BYTE[kStreamBufferBytes];
    file.SetBuffer(buffer, kStreamBufferBytes);

    HCURSOR previous = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    static const BYTE kByteOrderMark[2] = {0xFF, 0xFE};
    bool ok = file.Write(kByteOrderMark, sizeof(kByteOrderMark));
    {
        ListLock lock;
        const short store = Server().mainStore;
        const int count = store >= 0 ? rowstore_GetCount(store) : 0;
        wchar_t line[kSavedLineChars + 1];
        for (int i = 0; ok && i < count; ++i) {
            const TraceRow* row = rowstore_Get(store, i);
            if (!row) break;
            const int chars = tracewnd_FormatFileLine(row, line, kSavedLineChars + 1);
            ok = file.Write(line, static_cast<DWORD>(chars) * sizeof(wchar_t));
        }
    }
    ok = file.Close() && ok;
    delete[] buffer;
    ::SetCursor(previous ? previous : ::LoadCursorW(nullptr, IDC_ARROW));
    return ok ? 1 : 0;
}
