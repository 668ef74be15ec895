// kvtrccat.exe run as a process on files the server's writer wrote: JSON lines read back
// by a strict parser, text, time ranges, errors and following across the day change.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "client/owners.h"
#include "kvtest.h"
#include "../tracefiles/serverlines.h"

namespace {

// A strict parser of one flat JSON object and nothing after it, giving its members as
// "key=value;" in key order: strings decoded to UTF-8 in single quotes, others as written.
struct FlatJson {
    const std::string& t;
    size_t i = 0;

    char Peek() {
        while (i < t.size() && std::string(" \t\r\n").find(t[i]) != std::string::npos) ++i;
        return i < t.size() ? t[i] : 0;
    }
    bool Eat(char c) { return Peek() == c && (++i, true); }
    bool Hex4(unsigned* v) {
        if (i + 4 > t.size() || t.find_first_not_of("0123456789abcdefABCDEF", i) < i + 4) return false;
        return *v = std::stoul(t.substr(i, 4), nullptr, 16), i += 4, true;
    }
    bool String(std::string* s) {
        static const char kEsc[] = "\"\\/bfnrt", kDecoded[] = "\"\\/\b\f\n\r\t";
        if (!Eat('"')) return false;
        while (i < t.size()) {
            const unsigned char c = t[i++];
            if (c == '"') return true;
            if (c < 0x20) return false;  // raw control characters are not allowed
            if (c != '\\') { *s += static_cast<char>(c); continue; }
            if (const char* k = t[i] ? strchr(kEsc, t[i]) : nullptr) { *s += kDecoded[k - kEsc], ++i; continue; }
            unsigned cp, lo;
            if (t[i++] != 'u' || !Hex4(&cp) || (cp >= 0xDC00 && cp < 0xE000)) return false;
            if (cp >= 0xD800 && cp < 0xDC00) {
                if (t.compare(i, 2, "\\u") != 0 || (i += 2, !Hex4(&lo)) || lo < 0xDC00 || lo >= 0xE000) return false;
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            }
            static const unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
            const int n = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
            *s += static_cast<char>(kLead[n] | (cp >> (6 * n)));
            for (int k = n - 1; k >= 0; --k) *s += static_cast<char>(0x80 | ((cp >> (6 * k)) & 63));
        }
        return false;
    }
    bool Value(std::string* v) {
        if (Peek() == '"') return String(v) && (*v = "'" + *v + "'", true);
        for (const char* w : {"true", "false", "null"})
            if (t.compare(i, strlen(w), w) == 0) return *v = w, i += strlen(w), true;
        const size_t start = i;
        if (t[i] == '-') ++i;
        if (!isdigit(static_cast<unsigned char>(t[i])) || (t[i] == '0' && isdigit(static_cast<unsigned char>(t[i + 1]))))
            return false;
        while (isdigit(static_cast<unsigned char>(t[i]))) ++i;
        return *v = t.substr(start, i - start), true;
    }
    bool Object(std::string* out) {
        std::map<std::string, std::string> members;
        if (!Eat('{')) return false;
        for (bool more = !Eat('}'); more; more = Eat(',')) {
            std::string k, v;
            if (!String(&k) || !Eat(':') || !Value(&v) || !members.emplace(k, v).second) return false;
            if (Peek() != ',' && !Eat('}')) return false;
        }
        if ((Peek(), i != t.size())) return false;
        for (const auto& m : members) *out += m.first + "=" + m.second + ";";
        return true;
    }
};
std::string Members(const std::string& line) {
    std::string out;
    EXPECT_TRUE(FlatJson{line}.Object(&out)) << line;
    return out;
}

std::vector<std::string> SplitLines(const std::string& s) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i; (i = s.find('\n', start)) != std::string::npos; start = i + 1) out.push_back(s.substr(start, i - start));
    EXPECT_EQ(start, s.size()) << "output ends in a line feed";
    return out;
}

// kvtrccat.exe running with its output and errors in files.
struct Cat : kvtest::CapturedProcess {
    explicit Cat(const std::wstring& args) : CapturedProcess(kvtest::Quote(kvtest::ExeDir() + L"\\kvtrccat.exe") + L" " + args) {}
};

const std::vector<RowSpec> kMonday = {
    {L"MO 10:00:00,00 [00001]", 30, L"router.exe [1234]", L"Router [5678]", L"OpenLine", L"quote \" back \\ bar | end", 0, 0xF},
    {L"MO 23:59:59,99 [00002]", -1, L"KVTrcSrv.exe [99]", L"KVS:7", L"f", L"\x00C4rger \xD83D\xDE00 \x20AC", 1, 0x5},
    {L"MO 23:59:59,99 [00003]", 15, L"p.exe [1]", L"M|x [2]", L"g", L"a|b|0|30", 0, 0},
};

using KvTrcCat = ServerLinesTest;

TEST_F(KvTrcCat, JsonTextRangesAndErrors) {
    WriteRows(dir_.path(), 2007, 3, 12, kMonday);
    // The Monday row of 23:59:59 that reached the Tuesday's file after midnight.
    WriteRows(dir_.path(), 2007, 3, 13, {{L"MO 23:59:59,99 [00004]", 20, L"p.exe [1]", L"M [2]", L"h", L"late", 0, 0},
                                        {L"TU 00:00:00,01 [00005]", 40, L"p.exe [1]", L"M [2]", L"h", L"early", 0, 1}});
    const std::wstring d = kvtest::Quote(dir_.path());
    const struct {
        std::wstring args;
        DWORD exit;
        size_t lines;
        const char* stderrHas;
        std::string second;  // the second line, when given
    } cases[] = {
        {L"--json " + d, 0, 5, ""},
        {d, 0, 5, ""},
        {L"--since 2007-03-12T23:59:59.99 " + d, 0, 4, ""},
        {L"--since 2007-03-13 " + d, 0, 1, ""},
        {L"--until 2007-03-12 " + d, 0, 4, ""},
        {L"--since \"2007-03-12 10:00\" --until 2007-03-12T10:00 " + d, 0, 1, ""},
        // One file: the text as written, in UTF-8.
        {kvtest::Quote(dir_.file(L"TS070312.txt")), 0, 3, "",
         "MO 23:59:59,99 [00002]|OPR |KVTrcSrv.exe [99]|KVS:7|f|\xC3\x84rger \xF0\x9F\x98\x80 \xE2\x82\xAC|1|393215"},
        {L"--since 2007-02-30 " + d, 2, 0, "bad time"},
        {L"--until 12:00 " + d, 2, 0, "bad time"},
        {L"--since 2007-03-15T-1:-5 " + d, 2, 0, "bad time"},  // no signs in a time
        {kvtest::Quote(dir_.file(L"missing")), 1, 0, "does not exist"},
    };
    std::vector<std::string> json;  // the first case's lines
    for (const auto& c : cases) {
        SCOPED_TRACE(kvtest::Narrow(c.args));
        Cat cat(c.args);
        EXPECT_EQ(cat.Finish(), c.exit) << cat.Err();
        const std::vector<std::string> lines = SplitLines(cat.Out());
        EXPECT_EQ(lines.size(), c.lines);
        EXPECT_NE(cat.Err().find(c.stderrHas), std::string::npos) << cat.Err();
        if (!c.second.empty() && lines.size() > 1) { EXPECT_EQ(lines[1], c.second); }
        if (&c == cases) json = lines;
    }
    ASSERT_EQ(json.size(), 5u);
    EXPECT_EQ(Members(json[0]),
              "diag=true;error=true;function='OpenLine';info=true;level='info';levelNo=30;marked=false;module='Router';"
              "pid=1234;process='router.exe';seq=1;text='quote \" back \\ bar | end';tid=5678;"
              "time='2007-03-12T10:00:00.00';warning=true;");
    EXPECT_EQ(Members(json[1]),
              "diag=true;error=false;function='f';info=false;level='operator';levelNo=-1;marked=true;module='KVS:7';"
              "pid=99;process='KVTrcSrv.exe';seq=2;text='\xC3\x84rger \xF0\x9F\x98\x80 \xE2\x82\xAC';tid=null;"
              "time='2007-03-12T23:59:59.99';warning=true;");
    EXPECT_EQ(Members(json[2]),
              "diag=false;error=false;function='g';info=false;level='';levelNo=15;marked=false;module='M|x';pid=1;"
              "process='p.exe';seq=3;text='a|b|0|30';tid=2;time='2007-03-12T23:59:59.99';warning=false;");
    EXPECT_NE(Members(json[3]).find("time='2007-03-12T23:59:59.99'"), std::string::npos) << "Monday's, in Tuesday's file";
    EXPECT_NE(Members(json[4]).find("time='2007-03-13T00:00:00.01'"), std::string::npos);
    // A file another program holds without sharing: reported, the other days still written.
    HANDLE locked = ::CreateFileW(dir_.file(L"TS070312.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    Cat cat(d);
    EXPECT_EQ(cat.Finish(), 1u);
    ::CloseHandle(locked);
    EXPECT_NE(cat.Err().find("cannot open"), std::string::npos) << cat.Err();
    EXPECT_EQ(SplitLines(cat.Out()).size(), 2u);
}

// Damaged files, however long their only line: exactly what they hold, and no crash.
TEST_F(KvTrcCat, StationsMergedByTimeAcrossTheDayChange) {
    const std::wstring north = dir_.file(L"north"), south = dir_.file(L"south");
    auto row = [](const wchar_t* time, const wchar_t* text) {
        return RowSpec{time, 30, L"p.exe [1]", L"m [2]", L"f", text, 0, 0};
    };
    // Interleaved, equal stamps (n2 and s2; n3 and n4, one in each day's file), a midnight.
    WriteRows(north, 2007, 3, 12, {row(L"MO 10:00:00,00 [00001]", L"n1"), row(L"MO 10:00:01,00 [00002]", L"n2"),
                                   row(L"MO 23:59:59,99 [00003]", L"n3")});
    WriteRows(north, 2007, 3, 13, {row(L"MO 23:59:59,99 [00004]", L"n4"), row(L"TU 00:00:01,00 [00005]", L"n5")});
    WriteRows(south, 2007, 3, 12, {row(L"MO 09:59:59,00 [00001]", L"s1"), row(L"MO 10:00:01,00 [00002]", L"s2")});
    WriteRows(south, 2007, 3, 13, {row(L"TU 00:00:00,50 [00003]", L"s3"), row(L"TU 00:00:01,00 [00004]", L"s4")});
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
        {L"--state " + kvtest::Quote(dir_.file(L"north\\TS070312.txt")) + L" " + nn, 1, "state file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(kvtest::Narrow(c.args));
        Cat cat(c.args);
        EXPECT_EQ(cat.Finish(), c.exit) << cat.Err();
        if (c.exit) {
            EXPECT_NE(cat.Err().find(c.lines), std::string::npos) << cat.Err();
            continue;
        }
        std::string got;
        for (const std::string& line : SplitLines(cat.Out())) {
            if (line[0] == '{') {
                const std::string m = Members(line);
                const size_t st = m.find("station='") + 9, tx = m.find("text='") + 6;
                got += m.substr(st, m.find('\'', st) - st) + ":" + m.substr(tx, m.find('\'', tx) - tx) + " ";
            } else {
                got += line.substr(0, line.find('|')) + ":" + line.substr(line.rfind('|', line.rfind('|') - 1) - 2, 2) + " ";
            }
        }
        EXPECT_EQ(got, c.lines);
    }
}

TEST_F(KvTrcCat, DamagedFilesAreWrittenAsWhatTheyHold) {
    std::vector<std::wstring> lines;
    for (const DamagedFile& f : DamagedFiles()) {
        kvtest::WriteBytes(dir_.file(f.name), f.bytes);
        for (const std::wstring& l : LinesOf(f.bytes)) lines.push_back(l);
    }
    std::string text;
    for (const std::wstring& l : lines) text += kvtest::Narrow(l) + "\n";
    for (const wchar_t* mode : {L"", L"--json "}) {
        Cat cat(mode + kvtest::Quote(dir_.path()));
        EXPECT_EQ(cat.Finish(), 0u) << cat.Err();
        if (!*mode) {
            EXPECT_TRUE(cat.Out() == text) << "the text as the files hold it";
            continue;
        }
        const std::vector<std::string> out = SplitLines(cat.Out());
        ASSERT_EQ(out.size(), lines.size());
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_TRUE(Members(out[i]) == "diag=null;error=null;function='';info=null;level=null;levelNo=null;marked=false;"
                                           "module='';pid=null;process='';seq=null;text='" + kvtest::Narrow(lines[i]) +
                                           "';tid=null;time=null;warning=null;") << "line " << i;
    }
}

TEST_F(KvTrcCat, FollowGoesOnIntoTheNextDaysFileThroughFailuresAndRewrites) {
    WriteRows(dir_.path(), 2007, 3, 12, kMonday);
    Cat cat(L"--json --follow " + kvtest::Quote(dir_.path()));
    auto lines = [&](size_t n) {
        return kvtest::PumpUntil([&] { return !cat.Out().empty() && SplitLines(cat.Out()).size() == n; }, 30000);
    };
    auto text = [&](size_t i) { return Members(SplitLines(cat.Out())[i]); };
    EXPECT_TRUE(lines(3)) << cat.Out();
    WriteRows(dir_.path(), 2007, 3, 12, {{L"MO 23:59:59,99 [00004]", 20, L"p.exe [1]", L"M [2]", L"h", L"later", 0, 0}});
    EXPECT_TRUE(lines(4)) << cat.Out();
    // Midnight: the server moves on to the Tuesday's file.
    WriteRows(dir_.path(), 2007, 3, 13, {{L"TU 00:00:00,01 [00005]", 40, L"p.exe [1]", L"M [2]", L"h", L"next day", 0, 1}});
    EXPECT_TRUE(lines(5)) << cat.Out();
    EXPECT_NE(text(4).find("text='next day';tid=2;time='2007-03-13T00:00:00.01'"), std::string::npos) << text(4);

    // Held without sharing by another program: the failed poll is reported, and what is
    // written once it lets go still comes.
    const std::wstring tuesday = dir_.file(L"TS070313.txt");
    {
        kv::UniqueHandle held(::CreateFileW(tuesday.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.valid());
        EXPECT_TRUE(kvtest::PumpUntil([&] { return cat.Err().find("cannot read") != std::string::npos; }, 30000));
    }
    WriteRows(dir_.path(), 2007, 3, 13, Day(L"TU", 6, 1));
    EXPECT_TRUE(lines(6)) << cat.Err();
    // Cut short and written again, longer than before: exactly the new lines follow.
    kvtest::WriteBytes(tuesday, "");
    WriteRows(dir_.path(), 2007, 3, 13, Day(L"SA", 1, 3));
    EXPECT_TRUE(lines(9)) << cat.Out();
    for (size_t i = 6; i < 9; ++i) EXPECT_NE(text(i).find("seq=" + std::to_string(i - 5) + ";"), std::string::npos) << text(i);
    EXPECT_NE(cat.Err().find("reading it again from its start"), std::string::npos) << cat.Err();
    EXPECT_EQ(::WaitForSingleObject(cat.pi.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "still following";
}

}  // namespace
