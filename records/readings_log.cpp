// Readings-log rows (built from the grid's texts) and the Save Log file writer.
#include "records/readings_log.h"

#include <charconv>
#include <cstring>

const int kReadingsLogCells[kReadingsLogFieldCount] = {
    1,  4,  6,  7,          // 12V1
    17, 20, 22, 23,         // 5V
    33, 36, 38, 39,         // 3.3V
    49, 52, 54, 55,         // 12V CPU
    65,                     // -12V
    81, 84, 86,             // 5VSB
    97, 100, 102,           // 12V PCIe
    1,  116, 118,           // 12V SATA: its voltage is the 12V1 voltage
    17, 132, 134,           // 5V SATA
    33, 148, 150,           // 3.3V SATA
};

const int kReadingsLogVerdictCells[kReadingsLogVerdictCellCount] = {1, 17, 33, 49, 65, 81, 97};

namespace {

constexpr char kLineEnd[] = "\r\n";

// Units of a cell text; a buffer without terminator counts only its own units.
size_t MeasureCellText(const wchar_t (&text)[kCellTextSize])
{
    size_t length = 0;
    while (length < static_cast<size_t>(kCellTextSize) && text[length] != 0) ++length;
    return length;
}

void PutTwoDigits(char* out, int value)
{
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
}

// False when any part of the line did not reach the file: a short write, or a flush the
// system refused (a full disk shows only there, the line being buffered until then).
bool WriteLine(std::FILE* file, const char* text, size_t length)
{
    const bool written = std::fwrite(text, 1, length, file) == length &&
                         std::fwrite(kLineEnd, 1, 2, file) == 2;
    return std::fflush(file) == 0 && written;
}

bool WriteLine(std::FILE* file, const char* text) { return WriteLine(file, text, std::strlen(text)); }

}  // namespace

const wchar_t* GetReadingsLogVerdict(const CellStateArray& states)
{
    for (int cell : kReadingsLogVerdictCells) {
        if (states[cell] == CellState::Fail) return L"FAIL";
    }
    return L"PASS";
}

size_t BuildReadingsLogRow(const CellTextArray& texts, const CellStateArray& states, wchar_t* row)
{
    const wchar_t* verdict = GetReadingsLogVerdict(states);
    // 32 commas and the four-letter verdict always get their room.
    const size_t fieldBudget = static_cast<size_t>(kLogTextUnits - 1) - kReadingsLogFieldCount - 4;
    size_t fieldUnits = 0;
    size_t length = 0;
    for (int field = 0; field < kReadingsLogFieldCount; ++field) {
        const wchar_t(&text)[kCellTextSize] = texts[kReadingsLogCells[field]];
        const size_t textLength = MeasureCellText(text);
        if (fieldUnits + textLength <= fieldBudget) {
            for (size_t i = 0; i < textLength; ++i) row[length++] = text[i] == L',' ? L'.' : text[i];
            fieldUnits += textLength;
        }
        row[length++] = L',';
    }
    for (const wchar_t* p = verdict; *p != 0; ++p) row[length++] = *p;
    row[length] = 0;
    return length;
}

void AddReadingsLogRow()
{
    wchar_t row[kLogTextUnits];
    BuildReadingsLogRow(g_readingsTable.text, g_readingsTable.state, row);
    LogRecord(row, kLogInformation);
}

bool FormatTimeStampFields(const std::tm& local, char (&out)[kTimeStampChars + 1])
{
    static const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // Every field must keep its width, including a four-digit year.
    if (local.tm_year < -1900 || local.tm_year > 9999 - 1900 || local.tm_wday < 0 ||
        local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11 ||
        local.tm_mday < 1 || local.tm_mday > 31 || local.tm_hour < 0 || local.tm_hour > 23 ||
        local.tm_min < 0 || local.tm_min > 59 || local.tm_sec < 0 || local.tm_sec > 60) {
        std::memcpy(out, kTimeStampPlaceholder, sizeof out);
        return false;
    }
    const int year = local.tm_year + 1900;
    char* p = out;
    std::memcpy(p, kDays[local.tm_wday], 3);
    p[3] = ' ';
    std::memcpy(p + 4, kMonths[local.tm_mon], 3);
    p[7] = ' ';
    p[8] = local.tm_mday < 10 ? ' ' : static_cast<char>('0' + local.tm_mday / 10);
    p[9] = static_cast<char>('0' + local.tm_mday % 10);
    p[10] = ' ';
    PutTwoDigits(p + 11, local.tm_hour);
    p[13] = ':';
    PutTwoDigits(p + 14, local.tm_min);
    p[16] = ':';
    PutTwoDigits(p + 17, local.tm_sec);
    p[19] = ' ';
    PutTwoDigits(p + 20, year / 100);
    PutTwoDigits(p + 22, year % 100);
    p[24] = 0;
    return true;
}

void FormatTimeStamp(int64_t time, char (&out)[kTimeStampChars + 1])
{
    std::tm local{};
    if (time == -1 || !ConvertToLocalTime(time, local)) {
        std::memcpy(out, kTimeStampPlaceholder, sizeof out);
        return;
    }
    FormatTimeStampFields(local, out);
}

bool WriteReadingsLog(std::FILE* file, const Logger* logger)
{
    const int32_t stored = logger != nullptr ? logger->GetRecordCount() : 0;
    // A slot whose text is empty cannot be read back; count only rows that will be written so
    // that line 3 always matches the lines below it.
    int32_t readable = 0;
    for (int32_t i = 0; i < stored; ++i) {
        int32_t category;
        int64_t time;
        if (logger->GetRecord(i, category, time) != nullptr) ++readable;
    }

    char countLine[64] = {};
    std::memcpy(countLine, kReadingsLogCountPrefix, sizeof kReadingsLogCountPrefix);
    const size_t prefix = std::strlen(countLine);
    const auto converted = std::to_chars(countLine + prefix, countLine + sizeof countLine - 1, readable);
    // Once a line is lost the file is incomplete whatever follows, so writing stops there.
    if (!WriteLine(file, kReadingsLogTitle) || !WriteLine(file, kReadingsLogUnderline) ||
        !WriteLine(file, countLine, static_cast<size_t>(converted.ptr - countLine)) ||
        !WriteLine(file, "", 0) || !WriteLine(file, kReadingsLogColumnHeader)) {
        return false;
    }

    char line[kTimeStampChars + 1 + kLogTextUnits + 2];
    char stamp[kTimeStampChars + 1];
    int64_t stampTime = -1;
    FormatTimeStamp(stampTime, stamp);
    for (int32_t i = 0; i < stored; ++i) {
        int32_t category;
        int64_t time = -1;
        const char16_t* text = logger->GetRecord(i, category, time);
        if (text == nullptr) continue;
        // Rows come at most once a second, but equal neighbours are cheap to spot.
        if (time != stampTime) {
            FormatTimeStamp(time, stamp);
            stampTime = time;
        }
        std::memcpy(line, stamp, kTimeStampChars);
        size_t length = kTimeStampChars;
        line[length++] = ',';
        for (const char16_t* p = text; *p != 0; ++p) line[length++] = ToFileByte(*p);
        if (!WriteLine(file, line, length)) return false;
    }
    return true;
}

bool SaveReadingsLog(WindowHandle owner)
{
    if (!ChooseSaveFile(owner)) return false;
    std::FILE* file = OpenFileForWriting(g_savePath);
    if (file == nullptr) return false;
    const bool written = WriteReadingsLog(file, g_logger.get());
    return std::fclose(file) == 0 && written;
}
