// Telegram decoder: a trace row whose message text begins with a process telegram (16-bit
// words as four hexadecimal digits, each followed by one separator, word i at character
// 5 * i) is shown field by field in a message box.
#pragma once

#include "client/compat.h"

constexpr int kTeleWordStride = 5;   // four digits and a separator
constexpr int kTeleWords = 15;       // words 0 to 14 are decoded
constexpr int kTeleTextChars = 512;  // each formatted part stays within 511 characters

// The telegram type: the high byte of word 0 (0 to 255); 0 for a null pointer. The
// context menu offers the decoder when this is greater than 0.
short tracewnd_GetTeleType(const wchar_t* text);

// Decodes the telegram of text and shows it in a message box owned by the main list
// view (caption "Tele Encoder: Type %d"). Nothing for a null or empty text or a type
// outside 1 to 128. A text shorter than a word's position reads that word as 0.
void tracewnd_ShowTelegram(const wchar_t* text);

namespace kv {
// Word i of a telegram text as the decoder reads it: the platform's base-16 conversion
// from character 5 * i, or 0 when the text ends before that character.
long TelegramWord(const wchar_t* text, int i) noexcept;
}  // namespace kv

// The decoder's box goes through this function; tests replace it so they never wait at
// a box. Same arguments and result as MessageBoxW; null restores MessageBoxW.
typedef int(WINAPI* TelegramBoxFn)(HWND, LPCWSTR, LPCWSTR, UINT);
void tracewnd_SetTelegramMessageBox(TelegramBoxFn fn);
