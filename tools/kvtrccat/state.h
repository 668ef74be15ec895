// The --state file: how far each station's lines have been delivered, so that a sender
// started again goes on where it stopped.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tracefiles/tracefiles.h"

namespace kv::cat {

struct Position {
    std::wstring station;
    std::wstring file;     // name of the daily file (no directory)
    kv::trc::TraceFile::Identity identity;  // a file written anew under the same name is another file
    uint64_t lines = 0;    // lines of the file delivered
    uint64_t bytes = 0;    // where the next line starts
};

// Reads the positions; a missing file gives none. false with the reason when the file
// cannot be read or is not a state file this program wrote.
bool LoadState(const std::wstring& path, std::vector<Position>* out, std::wstring* why);
// Replaces the file as a whole (a new file renamed over the old one), so that a crash
// leaves either the old positions or the new ones. false with the system error.
bool SaveState(const std::wstring& path, const std::vector<Position>& positions, DWORD* error);

}  // namespace kv::cat
