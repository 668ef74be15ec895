// Level switches of the application slots and the format check of trace texts.
#pragma once

namespace kv {

// Fills the four level switches of slot h from the settings file, or from the current
// profile when one is loaded with Mode 0. Slot 0 is the server entry, whose switches
// are stored as read and override the client slots' own keys.
void ReadLevelSwitches(int h) noexcept;
// Writes the four switches of slot h into its section of this process's settings file.
void WriteLevelSwitches(int h) noexcept;
// The same for a caller that already holds the data mutex; they take no lock of their
// own, so they may run inside a fault guard.
void ReadLevelSwitchesLocked(int h) noexcept;
void WriteLevelSwitchesLocked(int h) noexcept;

// Number of conversions in a trace text: every "%" counts once except a doubled "%%".
int CountConversions(const wchar_t* text) noexcept;

}  // namespace kv
