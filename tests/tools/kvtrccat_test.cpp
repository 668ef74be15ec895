// kvtrccat.exe on server-written and hand-made files: its whole output for every kind of line, name, range, merge, follow.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <algorithm>
#include <deque>
#include <future>
#include <regex>
#include <string>
#include <utility>

#include "client/errortext.h"
#include "client/owners.h"
#include "kvtest.h"
#include "../tracefiles/serverlines.h"

namespace {

// "station:text " of each line: of JSON objects, or of text lines led by "station|" (the text's last two letters).
std::string Labels(const std::string& out) {
    static const std::regex json(R"x(\{"station":"([^"]*)".*"text":"([^"]*)".*\n)x"), text(R"x(([^|\n]*)\|.*(..)\|\d+\|\d+\n)x");
    return std::regex_replace(std::regex_replace(out, json, "$1:$2 "), text, "$1:$2 ");
}

// A syslog collector on the loopback address. Plain TCP: reads each connection to its end
// and closes it. RELP (relp set): answers each frame, the syslog frames counted over all
// sessions from 1: frame `refuse` with "500 not now", a serverclose after frame
// `closeAfter`; Got() gives the messages answered "200", one a line.
struct Collector {
    explicit Collector(u_short port = 0, bool relp = false, int refuse = 0, int closeAfter = 0)
        : a{AF_INET, htons(port), {{{127, 0, 0, 1}}}} {
        ::bind(listener, reinterpret_cast<sockaddr*>(&a), n);
        ::listen(listener, 8);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n);
        got = std::async(std::launch::async, [=, l = listener] {
            std::string s;
            char b[4096];
            int frames = 0;
            for (SOCKET c; (c = ::accept(l, nullptr, nullptr)) != INVALID_SOCKET; ::closesocket(c)) {
                std::string in;
                bool ended = false;
                for (int r; !ended && (r = ::recv(c, b, sizeof b, 0)) > 0;) {
                    (relp ? in : s).append(b, r);
                    unsigned txnr;
                    size_t len;
                    char cmd[32];
                    for (int k = 0; !ended && relp && sscanf(in.c_str(), "%u %31s %zu%n", &txnr, cmd, &len, &k) == 3 &&
                                    in.size() >= k + (len ? len + 1 : 0) + 1;) {
                        const std::string data = in.substr(k + 1, len), command = cmd;
                        in.erase(0, k + (len ? len + 1 : 0) + 1);
                        const bool syslog = command == "syslog", refused = syslog && ++frames == refuse;
                        const std::string answer = command == "close" ? "" : refused ? "500 not now"
                                                   : command == "open" ? "200 OK\nrelp_version=0\ncommands=syslog" : "200 OK";
                        if (syslog && !refused) s += data + "\n";
                        ended = command == "close" || (syslog && frames == closeAfter);
                        const std::string rsp = std::to_string(txnr) + " rsp " + std::to_string(answer.size()) +
                                                (answer.empty() ? "" : " " + answer) + "\n" + (ended ? "0 serverclose 0\n" : "");
                        ::send(c, rsp.data(), static_cast<int>(rsp.size()), 0);
                    }
                }
            }
            return s;
        });
    }
    ~Collector() {
        if (listener != INVALID_SOCKET) ::closesocket(listener);
        if (got.valid()) got.wait();
        ::WSACleanup();
    }
    std::string Got() {
        ::closesocket(std::exchange(listener, INVALID_SOCKET));
        return got.get();
    }
    WSADATA wsa;
    const int started = ::WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a;
    int n = sizeof a;
    std::future<std::string> got;
};

struct Cat : kvtest::CapturedProcess {
    explicit Cat(const std::wstring& args) : CapturedProcess(kvtest::Quote(kvtest::ExeDir() + L"\\kvtrccat.exe") + L" " + args) {}
};

std::wstring Line(const wchar_t* time, const wchar_t* text, const wchar_t* end = L"\r\n") {
    return std::wstring(time) + L"|INF |p [1]|m [2]|f|" + text + L"|0|30" + end;
}
std::string J(const char* time, int seq, const std::string& text, const char* level = "info", int levelNo = 30) {
    return std::string(R"({"time":")") + time + R"(","seq":)" + std::to_string(seq) + R"(,"level":")" + level +
           R"(","levelNo":)" + std::to_string(levelNo) + R"(,"process":"p","pid":1,"module":"m","tid":2,"function":"f","text":")" +
           text + R"(","marked":false,"error":false,"warning":false,"info":false,"diag":false})";
}
// The night summer time ends (Sunday 2007-10-28 in Europe): 02:00 to 03:00 twice, in file order.
std::wstring BackHour() {
    return Line(L"SU 01:59:59,00 [1]", L"b1") + Line(L"SU 02:30:00,00 [2]", L"b2") + Line(L"SU 02:00:10,00 [3]", L"b3") +
           L"no time here\r\n" + Line(L"SU 03:00:00,00 [4]", L"b4");
}
// A line that cannot be split: its whole text, nothing else.
std::string N(const std::string& text) {
    return R"({"time":null,"seq":null,"level":null,"levelNo":null,"process":"","pid":null,"module":"","tid":null,"function":"",)"
           R"("text":")" + text + R"(","marked":false,"error":null,"warning":null,"info":null,"diag":null})";
}

using KvTrcCat = ServerLinesTest;

TEST_F(KvTrcCat, WholeOutputOfEveryKindOfLineFileAndRange) {
    auto put = [&](const wchar_t* name, const std::wstring& text) { kvtest::WriteBytes(dir_.file(name), Utf16(text)); };
    put(L"riviveda.txt", Line(L"MO 10:00:00,00 [1]", L"fallback"));
    put(L"TS991231.txt", Line(L"FR 10:00:00,00 [1]", L"y99"));
    put(L"TS000101.txt", Line(L"SA 10:00:00,00 [2]", L"y00"));
    put(L"TS070101.txt", Line(L"SU 23:59:59,99 [3]", L"eve"));  // a Monday's file, a Sunday row
    put(L"TS071028.txt", BackHour());
    for (const wchar_t* name : {L"notes.txt", L"TS0703.txt", L"TS071399.txt", L"TS070315.txt.bak"})
        put(name, Line(L"TH 10:00:00,00 [9]", L"not a day's file"));
    ::CreateDirectoryW(dir_.file(L"TS070316.txt").c_str(), nullptr);
    WriteRows(dir_.path(), 2007, 3, 12, {
        {L"MO 10:00:00,00 [00001]", 30, L"router.exe [1234]", L"Router [5678]", L"OpenLine", L"quote \" back \\ bar | end", 0, 0xF},
        {L"MO 10:00:00,01 [00002]", -1, L"KVTrcSrv.exe [99]", L"KVS:7", L"f", L"\x00C4rger \xD83D\xDE00 \x20AC", 1, 0x5},
        {L"MO 10:00:00,02 [00003]", 15, L"p.exe [1]", L"Mod|ule [42]", L"g", L"a|b||c|0|30", 0, 0x2},
        {L"MO 10:00:00,03 [123456]", 0, L"averyveryverylongprocessname.exe [4242]", L"M [2]", L"", L"|", 1, 0x8},
        {L"MO 10:00:00,04 [00005]", 40, L"p.exe [1]", L"ModuleModuleModuleMod [1234567]", std::wstring(49, L'g').c_str(),
         std::wstring(1000, L'x'), 0, 0x1},
        {L"MO 23:59:59,99 [00006]", 10, L"p [1]", L"m [2]", L"f", L"last of the day", 0, 0}});
    // The Monday row of 23:59:59 that reached the Tuesday's file after midnight.
    WriteRows(dir_.path(), 2007, 3, 13, {{L"MO 23:59:59,99 [00007]", 20, L"p [1]", L"m [2]", L"f", L"late", 0, 0},
                                        {L"TU 00:00:00,00 [00001]", 30, L"p [1]", L"m [2]", L"f", L"first", 0, 0}});
    // By hand: a byte-order mark, LF alone, a level the tag does not name, a lone CR, a cut tail.
    put(L"ts070315.TXT", L"\xFEFF" + Line(L"TH 10:00:00,00 [1]", L"lf only", L"\n") +
                             L"WE 23:59:59,99 [2]|ERR |p [1]|m [2]|f|abc|0|30\r\nline\rwith a lone cr\t\x01\r\n" +
                             L"\r\na|b|c\r\n|||||||\r\nTH 10:00:00,00 [4]|INF |p [1]|m [2]\r\nTH 10:00:00,00 [5]|INF|p|m|f|t|0|30\r\n" +
                             Line(L"TH 10:00:01,00 [3]", L"cut", L""));
    const std::vector<std::string> all = {
        J("10:00:00.00", 1, "fallback"), J("1999-12-31T10:00:00.00", 1, "y99"), J("2000-01-01T10:00:00.00", 2, "y00"),
        J("2006-12-31T23:59:59.99", 3, "eve"),
        R"({"time":"2007-03-12T10:00:00.00","seq":1,"level":"info","levelNo":30,"process":"router.exe","pid":1234,)"
        R"("module":"Router","tid":5678,"function":"OpenLine","text":"quote \" back \\ bar | end","marked":false,)"
        R"("error":true,"warning":true,"info":true,"diag":true})",
        R"({"time":"2007-03-12T10:00:00.01","seq":2,"level":"operator","levelNo":-1,"process":"KVTrcSrv.exe","pid":99,)"
        R"("module":"KVS:7","tid":null,"function":"f","text":")" "\xC3\x84rger \xF0\x9F\x98\x80 \xE2\x82\xAC"
        R"(","marked":true,"error":false,"warning":true,"info":false,"diag":true})",
        R"({"time":"2007-03-12T10:00:00.02","seq":3,"level":"","levelNo":15,"process":"p.exe","pid":1,"module":"Mod|ule",)"
        R"("tid":42,"function":"g","text":"a|b||c|0|30","marked":false,"error":false,"warning":false,"info":true,"diag":false})",
        R"({"time":"2007-03-12T10:00:00.03","seq":123456,"level":"server","levelNo":0,"process":"averyveryverylongprocessname.ex",)"
        R"("pid":null,"module":"M","tid":2,"function":"","text":"|","marked":true,"error":true,"warning":false,"info":false,"diag":false})",
        R"({"time":"2007-03-12T10:00:00.04","seq":5,"level":"diagnose","levelNo":40,"process":"p.exe","pid":1,)"
        R"("module":"ModuleModuleModuleMod","tid":1234567,"function":")" + std::string(49, 'g') + R"(","text":")" +
            std::string(877, 'x') + R"(","marked":false,"error":null,"warning":null,"info":null,"diag":null})",
        J("2007-03-12T23:59:59.99", 6, "last of the day", "error", 10), J("2007-03-12T23:59:59.99", 7, "late", "warning", 20),
        J("2007-03-13T00:00:00.00", 1, "first"), J("2007-03-15T10:00:00.00", 1, "lf only"),
        R"({"time":"2007-03-14T23:59:59.99","seq":2,"level":"error","levelNo":10,"process":"p","pid":1,"module":"m","tid":2,)"
        R"("function":"f","text":"abc|0|30","marked":false,"error":null,"warning":null,"info":null,"diag":null})",
        N(R"(line\rwith a lone cr\t\u0001)"), N(""), N("a|b|c"), N("|||||||"), N("TH 10:00:00,00 [4]|INF |p [1]|m [2]"),
        N("TH 10:00:00,00 [5]|INF|p|m|f|t|0|30"),
        J("2007-03-15T10:00:01.00", 3, "cut"),
        J("2007-10-28T01:59:59.00", 1, "b1"), J("2007-10-28T02:30:00.00", 2, "b2"), J("2007-10-28T02:00:10.00", 3, "b3"),
        N("no time here"), J("2007-10-28T03:00:00.00", 4, "b4")};
    const std::wstring d = kvtest::Quote(dir_.path());
    const struct {
        std::wstring args;
        std::vector<int> lines;  // of all; {-1}: the first line as text
        DWORD exit;
        std::string err;
        bool locked;  // another program holds the Monday's file without sharing: the other days still written
    } cases[] = {
        {L"--json " + d, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25}},
        {L"--json --since 2007-10-28T02:00 --until 2007-10-28T02:59 " + d, {22, 23, 24}},  // the hour twice
        {L"--json --until 2007-03-12T23:59 " + d, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},  // the whole last minute
        {L"--json --since 2007-03-12T23:59:59.99 --until 2007-03-13T00:00 " + d, {9, 10, 11}},
        {L"--json --since 2007-03-13 --until 2007-03-15T10:00:00.99 " + d, {11, 12, 13, 14, 15, 16, 17, 18, 19}},  // no time: the one before
        {L"--json --until 2006-12-31 " + d, {1, 2, 3}},
        {L"--json --since \"2007-03-12 10:00\" --until 2007-03-12T10:00:00,01 " + d, {4, 5}},
        {kvtest::Quote(dir_.file(L"riviveda.txt")), {-1}},
        {L"--since 2007-02-29 " + d, {}, 2, "bad time"},
        {L"--until 12:00 " + d, {}, 2, "bad time"},
        {L"--since 2007-03-15T-1:-5 " + d, {}, 2, "bad time"},
        {L"--until 2007-03-15T24:00 " + d, {}, 2, "bad time"},
        {kvtest::Quote(dir_.file(L"missing")), {}, 1, "does not exist (" + kvtest::Narrow(kv::ErrorText(2)) + ")"},  // the suite's wording
        {L"--since 2007-03-13 --until 2007-03-12T23:59 " + d, {}, 2, "--since is later than --until"},
        {L"--follow --new " + d, {}, 2, "--follow and --new together"},
        {L"--json " + d, {0, 1, 2, 3, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25}, 1, "cannot read", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(kvtest::Narrow(c.args));
        kv::UniqueHandle locked(c.locked ? ::CreateFileW(dir_.file(L"TS070312.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) : nullptr);
        Cat cat(c.args);
        EXPECT_EQ(cat.Finish(), c.exit) << cat.Err();
        std::string want;
        for (int i : c.lines) want += (i < 0 ? "MO 10:00:00,00 [1]|INF |p [1]|m [2]|f|fallback|0|30" : all[i]) + "\n";
        EXPECT_EQ(cat.Out(), want);
        EXPECT_NE(cat.Err().find(c.err), std::string::npos) << cat.Err();
    }
}

// Damaged files, however long their lines: written out whole by kvtrccat, read line by line (cut, NULs as blanks).
TEST_F(KvTrcCat, DamagedFilesAreWrittenAndReadAsWhatTheyHold) {
    std::string text;
    const std::wstring nuls(400000, L'\0'), big(1 << 19, L'y'), line = L"MO 10:00:00,00 [1]|INF |p [1]|m [2]|f|one|0|30";
    const struct {
        const wchar_t* name;
        std::string bytes;
        std::vector<std::wstring> lines;  // split after each LF, without CR LF, a lone last byte as U+FFFD
    } files[] = {
        {L"TS070301.txt", Utf16(big + L"\r\nafter"), {big, L"after"}},  // a line after one too long for the short distances
        {L"TS070302.txt", Utf16(L"before the power loss\r\n" + nuls), {L"before the power loss", nuls}},
        {L"TS070303.txt", Utf16(L"abc\r\nd\xDFF6") + "x", {L"abc", L"d\xDFF6\xFFFD"}},  // an odd length, a lone surrogate
        {L"TS070305.txt", Utf16(std::wstring(L"a\0b\rc\n\r\n\r\n", 10) + line), {std::wstring(L"a\0b\rc", 5), L"", L"", line}},
        {L"TS070306.txt", "", {}},
    };
    for (const auto& f : files) {
        kvtest::WriteBytes(dir_.file(f.name), f.bytes);
        kv::trc::TraceFile file;
        ASSERT_TRUE(file.Open(dir_.file(f.name), nullptr) && file.Index());
        ASSERT_EQ(file.LineCount(), f.lines.size());
        for (size_t i = 0; i < f.lines.size(); ++i) {
            text += kvtest::Narrow(f.lines[i]) + "\n";
            std::wstring shown = f.lines[i].substr(0, kv::trc::kMaxLineChars), got(kv::trc::kMaxLineChars + 1, L'?');
            std::replace(shown.begin(), shown.end(), L'\0', L' ');
            size_t n = 0;
            EXPECT_TRUE(file.ReadLine(i, &got[0], got.size(), &n) && got.substr(0, n) == shown) << kvtest::Narrow(f.name) << " " << i;
        }
    }
    Cat cat(kvtest::Quote(dir_.path()));
    EXPECT_EQ(cat.Finish(), 0u) << cat.Err();
    EXPECT_TRUE(cat.Out() == text) << "the text as the files hold it";
}

TEST_F(KvTrcCat, StationsMergedByTimeAcrossTheDayChange) {
    const std::wstring north = dir_.file(L"north"), south = dir_.file(L"south");
    WriteStations(north, south);
    const std::wstring n = kvtest::Quote(north), s = kvtest::Quote(south);
    const std::wstring nn = kvtest::Quote(L"N=" + north), ss = kvtest::Quote(L"S=" + south);
    const struct {
        std::wstring args;
        DWORD exit;
        const char* lines;  // station:text of each line, or what stderr says
    } cases[] = {
        {s + L" " + n, 0, "south:s1 north:n1 south:s2 north:n2 north:n3 north:n4 south:s3 south:s4 north:n5 "},
        {L"--json " + nn + L" " + ss, 0, "S:s1 N:n1 N:n2 S:s2 N:n3 N:n4 S:s3 N:n5 S:s4 "},
        {L"--since 2007-03-12T10:00:01 --until 2007-03-13T00:00:00.50 " + nn + L" " + ss, 0, "N:n2 S:s2 N:n3 N:n4 S:s3 "},
        {n + L" " + n, 2, "two stations named 'north'"},
        {L".x=" + n, 2, "bad station name"},
        {L"--send [::1]:65535 --state " + kvtest::Quote(dir_.file(L"north\\TS070312.txt")) + L" " + nn, 1, "state file"},
        {L"--send relp://127.0.0.1:65536 " + nn, 2, "bad collector"},
        {L"--utc-offset +1:00 " + nn, 2, "bad offset"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(kvtest::Narrow(c.args));
        Cat cat(c.args);
        EXPECT_EQ(cat.Finish(), c.exit) << cat.Err();
        if (c.exit)
            EXPECT_NE(cat.Err().find(c.lines), std::string::npos) << cat.Err();
        else
            EXPECT_EQ(Labels(cat.Out()), c.lines);
    }
}

// The offset from UTC of this machine's zone: Europe/Berlin's (with summer time) where the
// tests run in it, else UTC's.
std::string Offset(bool summer) {
    TIME_ZONE_INFORMATION tz;
    ::GetTimeZoneInformation(&tz);
    return tz.Bias == -60 ? (summer ? "+02:00" : "+01:00") : "+00:00";
}

// A run goes on where the state file says the last stopped, written or sent; a file written
// anew is read from its start. Sent: framed messages with the stations' offsets from UTC;
// over RELP a refused line and one the collector closed on are sent again, nothing is lost.
TEST_F(KvTrcCat, GoesOnWhereTheStateFileSaysAndSendsFramedLines) {
    const std::wstring north = dir_.file(L"north"), state = L" --state " + kvtest::Quote(dir_.file(L"state")) + L" ";
    // A collector that never answers, from the start: a run without --follow gives up on it.
    WSADATA wsa;
    ::WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET bound = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at{AF_INET, 0, {{{127, 0, 0, 1}}}};
    int atSize = sizeof at;
    ::bind(bound, reinterpret_cast<sockaddr*>(&at), atSize);
    ::getsockname(bound, reinterpret_cast<sockaddr*>(&at), &atSize);
    const std::wstring nobody = L"relp://127.0.0.1:" + std::to_wstring(ntohs(at.sin_port));
    Cat gone(L"--send " + nobody + L" " + kvtest::Quote(L"G=" + dir_.file(L"north")));
    WriteRows(north, 2007, 3, 12, {Row(L"MO 10:00:00,00 [00001]", L"n1"), Row(L"MO 10:00:01,00 [00002]", L"n2")});
    // A quiet station beside it has no position to save.
    const std::wstring stations = kvtest::Quote(L"N=" + north) + L" " + kvtest::Quote(L"Q=" + dir_.file(L"quiet"));
    ::CreateDirectoryW(dir_.file(L"quiet").c_str(), nullptr);
    auto run = [&](const std::wstring& args, const std::string& out, const char* err = "") {
        Cat cat(args + state + stations);
        EXPECT_EQ(cat.Finish(), 0u) << cat.Err();
        EXPECT_EQ(Labels(cat.Out()), out);
        EXPECT_NE(cat.Err().find(err), std::string::npos) << cat.Err();
    };
    run(L"", "N:n1 N:n2 ");
    // The position past the last line: the file's identity, its lines and its end.
    {
        kv::UniqueHandle f(::CreateFileW((north + L"\\TS070312.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        BY_HANDLE_FILE_INFORMATION i = {};
        ::GetFileInformationByHandle(f.get(), &i);
        char want[160];
        snprintf(want, sizeof want, "kvtrccat state 1\nN\tTS070312.txt\t%lx:%llx\t2\t%lu\n", i.dwVolumeSerialNumber,
                 (static_cast<unsigned long long>(i.nFileIndexHigh) << 32) | i.nFileIndexLow, i.nFileSizeLow);
        EXPECT_EQ(kvtest::ReadBytes(dir_.file(L"state")), want);
    }
    run(L"", "");
    std::wstring port;
    {
        Collector c;
        port = std::to_wstring(ntohs(c.a.sin_port));
        WriteRows(north, 2007, 3, 12, {{L"MO 10:00:02,12 [00003]", 10, L"p [1]", L"m [2]", L"f", L"n3", 0, 0}});
        run(L"--send tcp://127.0.0.1:" + port, "kvtrccat: 1 lines sent to tcp://127.0.0.1:" + kvtest::Narrow(port) + ": N 1, Q 0\n");
        // One octet-counted message, its time with the offset of the station's zone.
        const std::string msg = "<131>1 2007-03-12T10:00:02.120" + Offset(false) + " N kvtrace - - - " +
                                R"({"station":"N",)" + J("2007-03-12T10:00:02.12", 3, "n3", "error", 10).substr(1);
        EXPECT_EQ(c.Got(), std::to_string(msg.size()) + " " + msg);
    }
    // The offsets of sent times: summer, winter, the hour repeated when summer time ends (the
    // second time after the change), a line without a time with the one before it; or fixed.
    const std::wstring dst = dir_.file(L"dst");
    ::CreateDirectoryW(dst.c_str(), nullptr);
    kvtest::WriteBytes(dst + L"\\TS070715.txt", Utf16(Line(L"SU 12:00:00,00 [1]", L"summer")));
    kvtest::WriteBytes(dst + L"\\TS071028.txt", Utf16(BackHour()));
    auto stamps = [](const std::string& s, const std::string& w) {
        return "2007-07-15T12:00:00.000" + s + " 2007-10-28T01:59:59.000" + s + " 2007-10-28T02:30:00.000" + s +
               " 2007-10-28T02:00:10.000" + w + " 2007-10-28T02:00:10.000" + w + " 2007-10-28T03:00:00.000" + w + " ";
    };
    const struct {
        const wchar_t* options;
        std::string stamps;
    } offsets[] = {{L"", stamps(Offset(true), Offset(false))}, {L"--utc-offset -03:30 ", stamps("-03:30", "-03:30")}};
    for (const auto& o : offsets) {
        Collector c;
        Cat cat(std::wstring(o.options) + L"--send 127.0.0.1:" + std::to_wstring(ntohs(c.a.sin_port)) + L" " + kvtest::Quote(L"D=" + dst));
        EXPECT_EQ(cat.Finish(), 0u) << cat.Err();
        // Octet-counted messages: the time is the second word of each.
        std::string got = c.Got(), seen;
        for (size_t at = 0, sp; (sp = got.find(' ', at)) != std::string::npos; at = sp + 1 + std::stoul(got.substr(at, sp - at))) {
            const size_t time = got.find(' ', sp + 1) + 1;
            seen += got.substr(time, got.find(' ', time) - time + 1);
        }
        EXPECT_EQ(seen, o.stamps);
    }
    // The collector gone: said in words, and tried again from the last confirmed line until it is back.
    WriteRows(north, 2007, 3, 12, {Row(L"MO 10:00:03,00 [00004]", L"n4")});
    {
        Cat away(L"--send 127.0.0.1:" + port + state + kvtest::Quote(L"N=" + north));
        EXPECT_TRUE(kvtest::PumpUntil([&] { return away.Err().find("(error 10061: ") != std::string::npos &&
                                                   away.Err().find("from the first line it did not confirm") != std::string::npos; },
                                      30000)) << away.Err();
        Collector back(static_cast<u_short>(std::stoi(port)));
        EXPECT_EQ(away.Finish(), 0u) << away.Err();
        const std::string got = back.Got();
        EXPECT_TRUE(got.find(R"("text":"n4")") != std::string::npos && got.find(R"("text":"n3")") == std::string::npos) << got;
    }
    run(L"", "");
    kvtest::WriteBytes(north + L"\\TS070312.txt", "");
    WriteRows(north, 2007, 3, 12, {Row(L"MO 11:00:00,00 [00001]", L"r1")});
    run(L"", "N:r1 ", "is not the file the state file names");

    // RELP: line 2 refused at first, a serverclose after the fifth frame answered. A line of
    // 16,000 control characters is cut to fit 8,000 bytes, with a mark.
    const std::wstring relp = dir_.file(L"relp");
    ::CreateDirectoryW(relp.c_str(), nullptr);
    kvtest::WriteBytes(relp + L"\\TS070312.txt", Utf16(Line(L"MO 10:00:00,00 [1]", L"t1") + Line(L"MO 10:00:00,00 [2]", L"t2") +
                                                      Line(L"MO 10:00:00,00 [3]", std::wstring(16000, L'\x01').c_str()) +
                                                      Line(L"MO 10:00:00,00 [4]", L"t4")));
    {
        Collector c(0, true, 2, 5);
        const std::string url = "relp://127.0.0.1:" + std::to_string(ntohs(c.a.sin_port));
        Cat cat(L"--send " + std::wstring(url.begin(), url.end()) + state + kvtest::Quote(L"R=" + relp));
        EXPECT_EQ(cat.Finish(), 0u) << cat.Err();
        EXPECT_EQ(cat.Out(), "kvtrccat: 4 lines sent to " + url + ": R 4\n");
        EXPECT_NE(cat.Err().find("refused line 2 of 'TS070312.txt' of station R (500 not now); sending it again"), std::string::npos) << cat.Err();
        std::string texts, got = c.Got();
        for (size_t at = 0, nl; (nl = got.find('\n', at)) != std::string::npos; at = nl + 1) {
            const std::string m = got.substr(at, nl - at);
            const size_t text = m.find(R"("text":")") + 8, end = m.find('"', text);
            const bool cut = m.compare(end - 12, 12, "\\u0001 [cut]") == 0 && m.size() <= 8000 && m.size() > 8000 - 6;
            texts += (cut ? "cut" : m.substr(text, end - text)) + " ";
        }
        EXPECT_EQ(texts, "t1 cut t4 t2 cut t4 ");
    }
    EXPECT_EQ(gone.Finish(), 3u) << gone.Err();
    EXPECT_EQ(gone.Out(), "kvtrccat: 0 lines sent to " + kvtest::Narrow(nobody) + ": G 0\n");
    EXPECT_NE(gone.Err().find("giving up"), std::string::npos) << gone.Err();
    ::closesocket(bound);
    ::WSACleanup();
}

// A followed file that cannot be read for a while loses nothing: a start-over is news until
// a poll delivered its lines; at midnight, held by another program, the old day's last lines
// come before the next day's file is taken; a file deleted at midnight is left for the next.
TEST_F(KvTrcCat, AFollowedFileThatCannotBeReadForAWhileLosesNothing) {
    struct Sink : kv::trc::FollowSink {
        std::string seen;
        bool fail = false;
        std::deque<kv::trc::TraceFile> days;
        bool Lines(kv::trc::TraceFile& f, bool over, bool final) override {
            seen += (over ? "over:" : "") + std::to_string(f.LineCount()) + (final ? "! " : " ");
            return !std::exchange(fail, false);
        }
        kv::trc::TraceFile* NextDay(const kv::trc::DayFile& d) override {
            seen += "next ";
            days.emplace_back().Open(d.path, nullptr);
            return &days.back();
        }
        void Failed(const std::wstring&, DWORD error) override { seen += "failed:" + std::to_string(error) + " "; }
    } sink;
    const std::wstring path = dir_.file(L"TS070312.txt");
    kvtest::WriteBytes(path, Utf16(Line(L"MO 10:00:00,00 [1]", L"a") + Line(L"MO 10:00:00,00 [2]", L"b")));
    kv::trc::TraceFile file;
    file.Open(path, nullptr);
    kv::trc::Follower follower;
    follower.Follow(&file, dir_.path(), kv::trc::Date{2007, 3, 12});
    ULONGLONG now = 0;
    auto poll = [&](int times) {
        while (times--) follower.Poll(sink, now += 1000000);
    };
    poll(1);
    kvtest::WriteBytes(path, Utf16(Line(L"MO 11:00:00,00 [1]", L"c")));
    sink.fail = true;
    poll(2);
    {
        // Readers locked out, the server still writing: its last line of the day, then the next day's file.
        kv::UniqueHandle held(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        WriteRows(dir_.path(), 2007, 3, 12, {Row(L"MO 23:59:59,99 [00002]", L"d")});
        WriteRows(dir_.path(), 2007, 3, 13, {Row(L"TU 00:00:00,00 [00001]", L"e")});
        poll(2);
    }
    poll(1);
    ::DeleteFileW(dir_.file(L"TS070313.txt").c_str());
    WriteRows(dir_.path(), 2007, 3, 14, {Row(L"WE 00:00:00,00 [00001]", L"f")});
    poll(1);
    EXPECT_EQ(sink.seen, "2 over:1 failed:0 over:1 failed:32 2 2! next 1 failed:2 next 1 ");
}

// Two stations followed from a time on past midnight, through files held by another
// program, one rewritten and one deleted. Each line is written once the one before it is
// seen: lines far behind the clock go out as they are read, not by their time.
TEST_F(KvTrcCat, FollowsStationsFromATimeOnIntoTheNextDayThroughFailuresAndRewrites) {
    const std::wstring north = dir_.file(L"north"), south = dir_.file(L"south"), tuesday = north + L"\\TS070313.txt";
    WriteRows(north, 2007, 3, 12, {Row(L"MO 23:59:58,99 [00001]", L"early"), Row(L"MO 23:59:59,00 [00002]", L"n1")});
    WriteRows(south, 2007, 3, 12, {Row(L"MO 23:59:59,50 [00001]", L"s1")});
    WriteRows(south, 2007, 3, 13, {Row(L"TU 00:00:00,01 [00002]", L"s2")});
    // Readers locked out, the server still writing (a reader's poll may have the file open this very moment).
    auto hold = [](const std::wstring& path) {
        kv::UniqueHandle h;
        EXPECT_TRUE(kvtest::PumpUntil([&] {
            h.reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
            return h.valid();
        }, 30000));
        return h;
    };
    auto said = [](Cat& c, const char* what) {
        EXPECT_TRUE(kvtest::PumpUntil([&] { return c.Err().find(what) != std::string::npos; }, 30000)) << c.Err();
    };
    const std::wstring stations = kvtest::Quote(L"N=" + north) + L" " + kvtest::Quote(L"S=" + south);
    // A day's file before the one followed, held at the start: read once it can be, not skipped.
    kv::UniqueHandle held = hold(south + L"\\TS070312.txt");
    Cat cat(L"--json --follow --since 2007-03-12T23:59:59 " + stations);
    auto seen = [&](const std::string& want) {
        EXPECT_TRUE(kvtest::PumpUntil([&] { return Labels(cat.Out()) == want; }, 30000)) << Labels(cat.Out()) << cat.Err();
    };
    said(cat, "TS070312.txt' (error 32: ");
    held.reset();
    seen("N:n1 S:s1 S:s2 ");
    // Started now, it may still miss the next lines: the end of what the other shows, never the start.
    Cat fresh(L"--json --new " + stations);
    WriteRows(north, 2007, 3, 12, {Row(L"MO 23:59:59,99 [00003]", L"n2")});
    seen("N:n1 S:s1 S:s2 N:n2 ");
    // Midnight: the server moves on to the Tuesday's file.
    WriteRows(north, 2007, 3, 13, {Row(L"TU 00:00:00,02 [00004]", L"n3")});
    seen("N:n1 S:s1 S:s2 N:n2 N:n3 ");
    // Both follow the Tuesday's file once they say they cannot read it.
    held = hold(tuesday);
    said(cat, "TS070313.txt' (error 32: ");
    said(fresh, "TS070313.txt' (error 32: ");
    held.reset();
    // Cut short and written again, longer than before: exactly the new lines follow.
    kvtest::WriteBytes(tuesday, "");
    WriteRows(north, 2007, 3, 13, {Row(L"TU 00:00:01,00 [00001]", L"r1"), Row(L"TU 00:00:01,00 [00002]", L"r2")});
    seen("N:n1 S:s1 S:s2 N:n2 N:n3 N:r1 N:r2 ");
    EXPECT_NE(cat.Err().find("reading it again from its start"), std::string::npos) << cat.Err();
    // Deleted, and the server on in the Wednesday's file.
    ::DeleteFileW(tuesday.c_str());
    WriteRows(north, 2007, 3, 14, {Row(L"WE 00:00:00,00 [00001]", L"w1")});
    const std::string all = "N:n1 S:s1 S:s2 N:n2 N:n3 N:r1 N:r2 N:w1 ";
    seen(all);
    EXPECT_EQ(::WaitForSingleObject(cat.pi.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "still following";
    std::string news;
    EXPECT_TRUE(kvtest::PumpUntil([&] { return all.rfind(news = Labels(fresh.Out())) == all.size() - news.size() && all.find(news) > 14; }, 30000))
        << news << fresh.Err();
}

}  // namespace
