// kvtrccat.exe run as a process on files the server's writer wrote: JSON lines read back
// by a strict parser, text, time ranges, errors and following across the day change.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "kvtest.h"
#include "../tracefiles/serverlines.h"

namespace {

// --- a strict JSON parser: one value, nothing after it -------------------------------

struct Json {
    enum Kind { Null, Bool, Number, String, Object, Array } kind = Null;
    bool b = false;
    double n = 0;
    std::string s;
    std::map<std::string, Json> o;
    const Json& operator[](const char* k) const {
        static const Json missing;
        auto it = o.find(k);
        return it == o.end() ? missing : it->second;
    }
};

class JsonParser {
public:
    explicit JsonParser(const std::string& t) : t_(t) {}
    bool Parse(Json* out) { return Value(out, 0) && (Ws(), i_ == t_.size()); }

private:
    void Ws() { while (i_ < t_.size() && strchr(" \t\r\n", t_[i_])) ++i_; }
    bool Lit(const char* w) {
        if (t_.compare(i_, strlen(w), w) != 0) return false;
        i_ += strlen(w);
        return true;
    }
    bool Value(Json* v, int depth) {
        if (depth > 20) return false;
        Ws();
        if (i_ >= t_.size()) return false;
        const char c = t_[i_];
        if (c == '{') {
            v->kind = Json::Object;
            ++i_;
            Ws();
            if (i_ < t_.size() && t_[i_] == '}') return ++i_, true;
            for (;;) {
                Json key;
                Ws();
                if (!Str(&key.s)) return false;
                Ws();
                if (i_ >= t_.size() || t_[i_++] != ':') return false;
                if (v->o.count(key.s) || !Value(&v->o[key.s], depth + 1)) return false;
                Ws();
                if (i_ < t_.size() && t_[i_] == ',') { ++i_; continue; }
                return i_ < t_.size() && t_[i_++] == '}';
            }
        }
        if (c == '"') return v->kind = Json::String, Str(&v->s);
        if (Lit("true")) return v->kind = Json::Bool, v->b = true, true;
        if (Lit("false")) return v->kind = Json::Bool, true;
        if (Lit("null")) return true;
        const size_t start = i_;
        if (i_ < t_.size() && t_[i_] == '-') ++i_;
        if (i_ >= t_.size() || !isdigit(static_cast<unsigned char>(t_[i_]))) return false;
        if (t_[i_] == '0' && i_ + 1 < t_.size() && isdigit(static_cast<unsigned char>(t_[i_ + 1]))) return false;
        while (i_ < t_.size() && isdigit(static_cast<unsigned char>(t_[i_]))) ++i_;
        v->kind = Json::Number;
        v->n = atof(t_.substr(start, i_ - start).c_str());
        return true;
    }
    static void Put(std::string* s, unsigned cp) {
        if (cp < 0x80) { *s += static_cast<char>(cp); return; }
        if (cp < 0x800) { *s += static_cast<char>(0xC0 | (cp >> 6)); }
        else if (cp < 0x10000) { *s += static_cast<char>(0xE0 | (cp >> 12)); *s += static_cast<char>(0x80 | ((cp >> 6) & 63)); }
        else { *s += static_cast<char>(0xF0 | (cp >> 18)); *s += static_cast<char>(0x80 | ((cp >> 12) & 63)); *s += static_cast<char>(0x80 | ((cp >> 6) & 63)); }
        *s += static_cast<char>(0x80 | (cp & 63));
    }
    bool Hex4(unsigned* v) {
        if (i_ + 4 > t_.size()) return false;
        *v = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = t_[i_++];
            if (!isxdigit(static_cast<unsigned char>(c))) return false;
            *v = *v * 16 + (isdigit(static_cast<unsigned char>(c)) ? c - '0' : (tolower(c) - 'a' + 10));
        }
        return true;
    }
    bool Str(std::string* s) {
        if (i_ >= t_.size() || t_[i_++] != '"') return false;
        while (i_ < t_.size()) {
            const unsigned char c = static_cast<unsigned char>(t_[i_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;  // raw control characters are not allowed
            if (c != '\\') { *s += static_cast<char>(c); continue; }
            if (i_ >= t_.size()) return false;
            const char e = t_[i_++];
            const char* from = "\"\\/bfnrt";
            const char* to = "\"\\/\b\f\n\r\t";
            if (const char* k = e ? strchr(from, e) : nullptr) { *s += to[k - from]; continue; }
            if (e != 'u') return false;
            unsigned cp;
            if (!Hex4(&cp)) return false;
            if (cp >= 0xD800 && cp < 0xDC00) {
                unsigned lo;
                if (!Lit("\\u") || !Hex4(&lo) || lo < 0xDC00 || lo >= 0xE000) return false;
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            } else if (cp >= 0xDC00 && cp < 0xE000) {
                return false;
            }
            Put(s, cp);
        }
        return false;
    }
    const std::string& t_;
    size_t i_ = 0;
};

std::vector<std::string> SplitLines(const std::string& s) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i; (i = s.find('\n', start)) != std::string::npos; start = i + 1) out.push_back(s.substr(start, i - start));
    EXPECT_EQ(start, s.size()) << "output ends in a line feed";
    return out;
}

// --- running kvtrccat -------------------------------------------------------------------

HANDLE OpenOutput(const std::wstring& path) {
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    return ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS, 0, nullptr);
}

struct Cat {
    kvtest::TempDir out;
    HANDLE process = nullptr;
    ~Cat() {
        if (process) {
            ::TerminateProcess(process, 0);
            ::WaitForSingleObject(process, 10000);
            ::CloseHandle(process);
        }
    }
    void Start(const std::wstring& args) {
        HANDLE o = OpenOutput(out.file(L"out.txt")), e = OpenOutput(out.file(L"err.txt"));
        STARTUPINFOW si = {sizeof(si)};
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = o;
        si.hStdError = e;
        si.hStdInput = nullptr;
        PROCESS_INFORMATION pi = {};
        std::wstring cmd = kvtest::Quote(kvtest::ExeDir() + L"\\kvtrccat.exe") + L" " + args;
        ASSERT_TRUE(::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi));
        ::CloseHandle(pi.hThread);
        ::CloseHandle(o);
        ::CloseHandle(e);
        process = pi.hProcess;
    }
    DWORD Finish() {
        DWORD code = 999;
        if (::WaitForSingleObject(process, 60000) == WAIT_OBJECT_0) ::GetExitCodeProcess(process, &code);
        return code;
    }
    std::string Out() const { return kvtest::ReadBytes(out.file(L"out.txt")); }
    std::string Err() const { return kvtest::ReadBytes(out.file(L"err.txt")); }
};

std::vector<RowSpec> Monday() {
    return {
        {L"MO 10:00:00,00 [00001]", 30, L"router.exe [1234]", L"Router [5678]", L"OpenLine", L"quote \" back \\ bar | end", 0, 0xF},
        {L"MO 23:59:59,99 [00002]", -1, L"KVTrcSrv.exe [99]", L"KVS:7", L"f", L"\x00C4rger \xD83D\xDE00 \x20AC", 1, 0x5},
        {L"MO 23:59:59,99 [00003]", 15, L"p.exe [1]", L"M|x [2]", L"g", L"a|b|0|30", 0, 0},
    };
}

class KvTrcCat : public ::testing::Test {
protected:
    kvtest::TempDir dir_;
    ServerSettings saved_ = g_settings;
    void TearDown() override { g_settings = saved_; }
    void WriteDays() {
        WriteRows(dir_.path(), 2007, 3, 12, Monday());
        // The Monday row of 23:59:59 that reached the Tuesday's file after midnight.
        WriteRows(dir_.path(), 2007, 3, 13, {{L"MO 23:59:59,99 [00004]", 20, L"p.exe [1]", L"M [2]", L"h", L"late", 0, 0},
                                            {L"TU 00:00:00,01 [00005]", 40, L"p.exe [1]", L"M [2]", L"h", L"early", 0, 1}});
    }
};

TEST_F(KvTrcCat, JsonLinesCarryEveryFieldEscaped) {
    WriteDays();
    Cat cat;
    cat.Start(L"--json " + kvtest::Quote(dir_.path()));
    ASSERT_EQ(cat.Finish(), 0u) << cat.Err();
    const std::vector<std::string> lines = SplitLines(cat.Out());
    ASSERT_EQ(lines.size(), 5u) << cat.Out();
    std::vector<Json> v(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) ASSERT_TRUE(JsonParser(lines[i]).Parse(&v[i])) << lines[i];

    EXPECT_EQ(v[0]["time"].s, "2007-03-12T10:00:00.00");
    EXPECT_EQ(v[0]["seq"].n, 1);
    EXPECT_EQ(v[0]["level"].s, "info");
    EXPECT_EQ(v[0]["levelNo"].n, 30);
    EXPECT_EQ(v[0]["process"].s, "router.exe");
    EXPECT_EQ(v[0]["pid"].n, 1234);
    EXPECT_EQ(v[0]["module"].s, "Router");
    EXPECT_EQ(v[0]["tid"].n, 5678);
    EXPECT_EQ(v[0]["function"].s, "OpenLine");
    EXPECT_EQ(v[0]["text"].s, "quote \" back \\ bar | end");
    EXPECT_FALSE(v[0]["marked"].b);
    EXPECT_TRUE(v[0]["error"].b && v[0]["warning"].b && v[0]["info"].b && v[0]["diag"].b);

    EXPECT_EQ(v[1]["level"].s, "operator");
    EXPECT_EQ(v[1]["levelNo"].n, -1);
    EXPECT_EQ(v[1]["module"].s, "KVS:7");
    EXPECT_EQ(v[1]["tid"].kind, Json::Null);
    EXPECT_EQ(v[1]["text"].s, "\xC3\x84rger \xF0\x9F\x98\x80 \xE2\x82\xAC");
    EXPECT_TRUE(v[1]["marked"].b);
    EXPECT_TRUE(v[1]["error"].b == false && v[1]["warning"].b && v[1]["info"].b == false && v[1]["diag"].b);

    EXPECT_EQ(v[2]["level"].s, "");
    EXPECT_EQ(v[2]["levelNo"].n, 15);
    EXPECT_EQ(v[2]["module"].s, "M|x");
    EXPECT_EQ(v[2]["text"].s, "a|b|0|30");

    EXPECT_EQ(v[3]["time"].s, "2007-03-12T23:59:59.99");  // a Monday row in the Tuesday's file
    EXPECT_EQ(v[4]["time"].s, "2007-03-13T00:00:00.01");
}

TEST_F(KvTrcCat, TextRangesAndErrors) {
    WriteDays();
    const std::wstring d = kvtest::Quote(dir_.path());
    struct {
        std::wstring args;
        DWORD exit;
        size_t lines;
        const char* stderrHas;
    } cases[] = {
        {d, 0, 5, ""},
        {L"--since 2007-03-12T23:59:59.99 " + d, 0, 4, ""},
        {L"--since 2007-03-13 " + d, 0, 1, ""},
        {L"--until 2007-03-12 " + d, 0, 4, ""},
        {L"--since \"2007-03-12 10:00\" --until 2007-03-12T10:00 " + d, 0, 1, ""},
        {kvtest::Quote(dir_.file(L"TS070313.txt")), 0, 2, ""},
        {L"--since 2007-02-30 " + d, 2, 0, "bad time"},
        {L"--until 12:00 " + d, 2, 0, "bad time"},
        {kvtest::Quote(dir_.file(L"missing")), 1, 0, "does not exist"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(kvtest::Narrow(c.args));
        Cat cat;
        cat.Start(c.args);
        EXPECT_EQ(cat.Finish(), c.exit) << cat.Err();
        EXPECT_EQ(SplitLines(cat.Out()).size(), c.lines);
        EXPECT_NE(cat.Err().find(c.stderrHas), std::string::npos) << cat.Err();
    }
    {
        Cat cat;  // the text as written, in UTF-8
        cat.Start(kvtest::Quote(dir_.file(L"TS070312.txt")));
        ASSERT_EQ(cat.Finish(), 0u);
        EXPECT_EQ(SplitLines(cat.Out())[1], "MO 23:59:59,99 [00002]|OPR |KVTrcSrv.exe [99]|KVS:7|f|\xC3\x84rger \xF0\x9F\x98\x80 \xE2\x82\xAC|1|393215");
    }
    // A file another program holds without sharing: reported, the other days still written.
    HANDLE locked = ::CreateFileW(dir_.file(L"TS070312.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    Cat cat;
    cat.Start(d);
    EXPECT_EQ(cat.Finish(), 1u);
    ::CloseHandle(locked);
    EXPECT_NE(cat.Err().find("cannot open"), std::string::npos) << cat.Err();
    EXPECT_EQ(SplitLines(cat.Out()).size(), 2u);
}

TEST_F(KvTrcCat, FollowGoesOnIntoTheNextDaysFile) {
    WriteRows(dir_.path(), 2007, 3, 12, Monday());
    Cat cat;
    cat.Start(L"--json --follow " + kvtest::Quote(dir_.path()));
    auto lines = [&] { return cat.Out().empty() ? 0 : SplitLines(cat.Out()).size(); };
    EXPECT_TRUE(kvtest::PumpUntil([&] { return lines() == 3; }, 30000)) << cat.Out();
    WriteRows(dir_.path(), 2007, 3, 12, {{L"MO 23:59:59,99 [00004]", 20, L"p.exe [1]", L"M [2]", L"h", L"later", 0, 0}});
    EXPECT_TRUE(kvtest::PumpUntil([&] { return lines() == 4; }, 30000)) << cat.Out();
    // Midnight: the server moves on to the Tuesday's file.
    WriteRows(dir_.path(), 2007, 3, 13, {{L"TU 00:00:00,01 [00005]", 40, L"p.exe [1]", L"M [2]", L"h", L"next day", 0, 1}});
    EXPECT_TRUE(kvtest::PumpUntil([&] { return lines() == 5; }, 30000)) << cat.Out();
    Json last;
    ASSERT_TRUE(JsonParser(SplitLines(cat.Out()).back()).Parse(&last));
    EXPECT_EQ(last["text"].s, "next day");
    EXPECT_EQ(last["time"].s, "2007-03-13T00:00:00.01");
    EXPECT_EQ(::WaitForSingleObject(cat.process, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "still following";
}

}  // namespace
