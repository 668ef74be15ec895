// main() of every test executable: a registered helper when started as one, else the tests.
#include <gtest/gtest.h>

#include <map>

#include "kvtest.h"

#include <shellapi.h>

namespace kvtest {
namespace {
std::map<std::wstring, HelperFn>& Helpers() {
    static std::map<std::wstring, HelperFn> helpers;
    return helpers;
}
}  // namespace

bool RegisterHelper(const wchar_t* name, HelperFn fn) {
    Helpers()[name] = fn;
    return true;
}
}  // namespace kvtest

int main(int argc, char** argv) {
    int wargc = 0;
    LPWSTR* wargv = ::CommandLineToArgvW(::GetCommandLineW(), &wargc);
    if (wargv && wargc >= 3 && wcscmp(wargv[1], L"--kv-helper") == 0) {
        auto it = kvtest::Helpers().find(wargv[2]);
        return it == kvtest::Helpers().end() ? 250 : it->second(std::vector<std::wstring>(wargv + 3, wargv + wargc));
    }
    if (wargv) ::LocalFree(wargv);
    // A failing test must never wait at an error box.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
