// Telegram decoder: reads the words of a telegram text and shows its fields.
#include "telegram/telegram.h"

#include <stdint.h>
#include <stdlib.h>

#include "client/region.h"
#include "server/serverstate.h"

using kv::FormatCut;

namespace {

TelegramBoxFn g_box = &::MessageBoxW;

constexpr int kTeleKnownTypeMax = 128;

inline int High(long w) noexcept { return static_cast<int>((w >> 8) & 0xFF); }
inline int Low(long w) noexcept { return static_cast<int>(w & 0xFF); }

// "Sat Jan 10 13:37:04 2004\n" for t seconds after 1 January 1970 UTC (t > 0), else "-\n".
void FormatStartTime(int32_t t, wchar_t* out, size_t cap) noexcept {
    if (t <= 0) {
        FormatCut(out, cap, L"-\n");
        return;
    }
    static const wchar_t* const kDays[] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};
    static const wchar_t* const kMonths[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                             L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    const int32_t days = t / 86400;
    const int32_t secs = t % 86400;
    // Civil date from the day count (proleptic Gregorian calendar, days since 1970-01-01).
    const int32_t z = days + 719468;
    const int32_t era = z / 146097;
    const int32_t doe = z - era * 146097;
    const int32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int32_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
    const int weekday = static_cast<int>((days + 4) % 7);  // 1 January 1970 was a Thursday
    FormatCut(out, cap, L"%s %s %2.2d %2.2d:%2.2d:%2.2d %d\n", kDays[weekday], kMonths[month - 1], day,
              static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60), year);
}

}  // namespace

void tracewnd_SetTelegramMessageBox(TelegramBoxFn fn) { g_box = fn ? fn : &::MessageBoxW; }

long kv::TelegramWord(const wchar_t* text, int i) noexcept {
    if (!text || i < 0) return 0;
    // The text may be shorter than the word's position: look no further than its end.
    const int at = i * kTeleWordStride;
    for (int k = 0; k <= at; ++k)
        if (!text[k]) return 0;
    return wcstol(text + at, nullptr, 16);
}

short tracewnd_GetTeleType(const wchar_t* text) {
    if (!text) return 0;
    return static_cast<short>(High(kv::TelegramWord(text, 0)));
}

void tracewnd_ShowTelegram(const wchar_t* text) {
    if (!text || !text[0]) return;
    const int type = tracewnd_GetTeleType(text);
    if (type < 1 || type > kTeleKnownTypeMax) return;

    long w[kTeleWords];
    for (int i = 0; i < kTeleWords; ++i) w[i] = kv::TelegramWord(text, i);

    wchar_t caption[kTeleTextChars];
    FormatCut(caption, kTeleTextChars, L"Tele Encoder: Type %d", type);
    wchar_t header[kTeleTextChars];
    FormatCut(header, kTeleTextChars, L"PCU:\t%2.2d\nDate:\t%2.2d.%2.2d.%2.2d\nTime:\t%2.2d:%2.2d:%2.2d\n", Low(w[0]),
              High(w[1]), Low(w[1]), High(w[2]), Low(w[2]), High(w[3]), Low(w[3]));

    // Fields every decoded kind shares: words 4 to 7.
    const int bYear = High(w[4]), recType = Low(w[4]);
    const int recipe = static_cast<int>(w[5]);
    const long order = w[6], batch = w[7];

    wchar_t body[kTeleTextChars];
    switch (type) {
    case 3:
        FormatCut(body, kTeleTextChars,
                  L"Type:\tAlarm Tele\n%sBYear:\t%2.2d\nRecType:\t%2.2d\nRecipe:\t%2.2d\nOrder:\t%2.2ld\nBatch:\t%2.2ld\n"
                  L"MldT:\t%2.2ld\nMldN:\t%2.2ld\nSysT:\t%2.2ld\nSequ:\t%2.2d\n",
                  header, bYear, recType, recipe, order, batch, w[8], w[9], w[10], static_cast<int>(w[11]));
        break;
    case 5:
    case 8:
        FormatCut(body, kTeleTextChars,
                  L"Type:\t%s\n%sBYear:\t%2.2d\nRecType:\t%2.2d\nRecipe:\t%2.2d\nOrder:\t%2.2ld\nBatch:\t%2.2ld\n"
                  L"Sequ:\t%2.2d\n",
                  type == 5 ? L"Step Tele" : L"Recipe Request", header, bYear, recType, recipe, order, batch,
                  static_cast<int>(w[8]));
        break;
    case 9: {
        const int32_t startTime = static_cast<int32_t>((static_cast<uint32_t>(w[10]) << 16) + static_cast<uint32_t>(w[11]));
        wchar_t start[64];
        FormatStartTime(startTime, start, ARRAYSIZE(start));
        FormatCut(body, kTeleTextChars,
                  L"Type:\tCAS Update\n%sBYear:\t%2.2d\nRecType:\t%2.2d\nRecipe:\t%2.2d\nOrder:\t%2.2ld\nBatch:\t%2.2ld\n"
                  L"Sequ:\t%2.2d\nStartMd:\t%2.2d\nStartTm:\t%sCTRL:\t%4.4X\nMsg:\t%2.2d\nRecord:\t%ld",
                  header, bYear, recType, recipe, order, batch, static_cast<int>(w[8]), static_cast<int>(w[9]), start,
                  static_cast<unsigned>(w[12]), static_cast<int>(w[13]), w[14]);
        break;
    }
    case 13: {
        // Version 5 telegrams carry the sequence in the high byte of word 8.
        const bool v5 = High(w[8]) != 0;
        FormatCut(body, kTeleTextChars,
                  L"Type:\tUnit Update V%d\n%sBYear:\t%2.2d\nRecType:\t%2.2d\nRecipe:\t%2.2d\nOrder:\t%2.2ld\n"
                  L"Batch:\t%2.2ld\nSequ:\t%2.2d\nStepOld:\t%2.2d\nStepNew:\t%2.2d\nEOP:\t%2.2d\nStat0:\t%4.4X\n"
                  L"Stat2:\t%4.4X\nSync/Alt:\t%2.2d\nAltErg:\t%2.2d\n",
                  v5 ? 5 : 3, header, bYear, recType, recipe, order, batch, v5 ? High(w[8]) : static_cast<int>(w[8]),
                  static_cast<int>(w[9]), static_cast<int>(w[10]), static_cast<int>(w[11] / 10),
                  static_cast<unsigned>(w[12]), static_cast<unsigned>(w[13]), High(w[14]), Low(w[14]));
        break;
    }
    default:
        FormatCut(body, kTeleTextChars, L"Type:\t%2.2d\n%s", type, header);
        break;
    }
    g_box(kv::Server().mainList, body, caption, MB_OK);
}
