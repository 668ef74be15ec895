// Scaffolding of the tests that link the server core.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "client/traceapi.h"

namespace kvtest {

void SetClock(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms = 0);

// A message box stand-in (answers IDOK) that keeps "title|icon|text" of every box, from
// any thread; TakeBoxes hands out those recorded since its last call.
int WINAPI RecordBox(HWND owner, LPCWSTR text, LPCWSTR title, UINT type);
std::vector<std::wstring> TakeBoxes();

// A UTF-16 file as text (a byte-order mark stays), and split at CR LF into lines.
std::wstring ReadWide(const std::wstring& path);
std::vector<std::wstring> ReadLines(const std::wstring& path);

class Registered {  // an application registered for a scope
public:
    explicit Registered(const wchar_t* app) : handle_(traceapi_Register(app, nullptr, FALSE)) {}
    ~Registered() { traceapi_Unregister(handle_, FALSE); }
    Registered(const Registered&) = delete;
    Registered& operator=(const Registered&) = delete;
    operator short() const { return handle_; }
private:
    short handle_;
};

// A hidden owner-data report list view with a row store on it; when given a field of the
// server state (kv::Server().mainStore, ...), the store is named there for its lifetime.
class ListStore {
public:
    explicit ListStore(short* serverField = nullptr);
    ~ListStore();
    ListStore(const ListStore&) = delete;
    ListStore& operator=(const ListStore&) = delete;
    HWND list() const { return list_; }
    operator short() const { return store_; }
    // Appends a row with these columns (tag "INF", module "conveyor [12]", function
    // "run"); its index, or -1.
    int Add(const wchar_t* text, const wchar_t* time = L"MO 10:00:00,00 [00001]", const wchar_t* process = L"plant [1]");
private:
    HWND list_ = nullptr;
    short store_ = -1;
    short* field_ = nullptr;
};

}  // namespace kvtest
