// Reading a saved readings log back into rows of numbers for the chart. Numbers are parsed by
// hand: the fields have one fixed shape, and no C library call may bring the locale's decimal
// separator into it.
#include "plot/readings_log_reader.h"

#include "records/readings_log_format.h"

#include <cmath>
#include <cstring>
#include <limits>

const char kMonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

const char kDayNames[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// What a cell shows when even its whole-number form does not fit: no value to plot.
constexpr char kOverflowText[] = "#########";

// Splits the text into lines; the final line may lack its end.
class LineReader {
public:
    explicit LineReader(std::string_view text) : m_text(text) {}

    bool ReadLine(std::string_view& line)
    {
        if (m_offset >= m_text.size()) return false;
        const size_t end = m_text.find('\n', m_offset);
        const size_t stop = end == std::string_view::npos ? m_text.size() : end;
        line = m_text.substr(m_offset, stop - m_offset);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        m_offset = end == std::string_view::npos ? m_text.size() : end + 1;
        ++m_number;
        return true;
    }
    int64_t GetLineNumber() const { return m_number; }

private:
    std::string_view m_text;
    size_t m_offset = 0;
    int64_t m_number = 0;
};

bool ParseTwoDigits(std::string_view text, size_t at, int& value)
{
    const char a = text[at];
    const char b = text[at + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9') return false;
    value = (a - '0') * 10 + (b - '0');
    return true;
}

int FindName(const char (*names)[4], int count, std::string_view text)
{
    for (int i = 0; i < count; ++i) {
        if (text == std::string_view(names[i], 3)) return i;
    }
    return -1;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int CountDaysInMonth(int year, int month)
{
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool FailRow(int64_t line, const char* why, std::string& message)
{
    message = "line " + std::to_string(line) + ": " + why;
    return false;
}

}  // namespace

// Howard Hinnant's days_from_civil.
int64_t CountDaysFromCivil(int year, int month, int day)
{
    const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void ConvertDaysToCivil(int64_t days, int& year, int& month, int& day)
{
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

bool ParseTimeStamp(std::string_view text, int64_t& seconds)
{
    if (text.size() != kTimeStampChars || text[3] != ' ' || text[7] != ' ' || text[10] != ' ' ||
        text[13] != ':' || text[16] != ':' || text[19] != ' ') {
        return false;
    }
    const int weekday = FindName(kDayNames, 7, text.substr(0, 3));
    const int month = FindName(kMonthNames, 12, text.substr(4, 3)) + 1;
    int day = 0;
    if (text[8] == ' ') {
        if (text[9] < '1' || text[9] > '9') return false;
        day = text[9] - '0';
    } else if (!ParseTwoDigits(text, 8, day) || day < 10) {
        return false;
    }
    int hour, minute, second, century, yearInCentury;
    if (weekday < 0 || month < 1 || !ParseTwoDigits(text, 11, hour) ||
        !ParseTwoDigits(text, 14, minute) || !ParseTwoDigits(text, 17, second) ||
        !ParseTwoDigits(text, 20, century) || !ParseTwoDigits(text, 22, yearInCentury)) {
        return false;
    }
    const int year = century * 100 + yearInCentury;
    // A leap second (60) is a valid clock reading.
    if (hour > 23 || minute > 59 || second > 60 || day > CountDaysInMonth(year, month)) return false;
    const int64_t days = CountDaysFromCivil(year, month, day);
    // 1 January 1970 was a Thursday.
    if ((((days + 4) % 7) + 7) % 7 != weekday) return false;
    seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

bool ParseLogNumber(std::string_view text, float& value)
{
    if (text.empty() || text == kOverflowText) {
        value = std::numeric_limits<float>::quiet_NaN();
        return true;
    }
    size_t at = 0;
    const bool negative = text[0] == '-';
    if (negative) ++at;
    int64_t mantissa = 0;
    int digits = 0;
    int decimals = 0;
    bool point = false;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '.' && !point && digits > 0) {
            point = true;
        } else if (c >= '0' && c <= '9') {
            // Cell texts hold at most nine characters; more digits than that is not a cell.
            if (++digits > 12) return false;
            mantissa = mantissa * 10 + (c - '0');
            if (point) ++decimals;
        } else {
            return false;
        }
    }
    if (digits == 0 || (point && decimals == 0)) return false;
    double number = static_cast<double>(mantissa);
    for (int i = 0; i < decimals; ++i) number /= 10.0;
    value = static_cast<float>(negative ? -number : number);
    return true;
}

LogReadResult ParseReadingsLog(std::string_view text, ReadingsLogData& log, std::string& message)
{
    log = ReadingsLogData{};
    LineReader reader(text);
    std::string_view line;
    // An empty file, or one whose first line is something else, is not a readings log at all.
    const bool hasLine = reader.ReadLine(line);
    if (hasLine && line == kTestReportTitle) {
        message = "this is a test report, not a readings log (Save Log writes the log)";
        return LogReadResult::NotALog;
    }
    if (!hasLine || line != kReadingsLogTitle) {
        message = "not a readings log (line 1 is not \"" + std::string(kReadingsLogTitle) + "\")";
        return LogReadResult::NotALog;
    }
    if (!reader.ReadLine(line) || line != kReadingsLogUnderline) {
        message = "not a readings log (line 2 is not the title's underline)";
        return LogReadResult::NotALog;
    }
    if (!reader.ReadLine(line) || line.substr(0, sizeof kReadingsLogCountPrefix - 1) != kReadingsLogCountPrefix) {
        message = "not a readings log (line 3 does not give the number of records)";
        return LogReadResult::NotALog;
    }
    std::string_view count = line.substr(sizeof kReadingsLogCountPrefix - 1);
    if (count.empty() || count.size() > 9) {
        message = "not a readings log (line 3 does not give the number of records)";
        return LogReadResult::NotALog;
    }
    for (char c : count) {
        if (c < '0' || c > '9') {
            message = "not a readings log (line 3 does not give the number of records)";
            return LogReadResult::NotALog;
        }
        log.declaredCount = log.declaredCount * 10 + (c - '0');
    }
    if (!reader.ReadLine(line) || !line.empty()) {
        message = "not a readings log (line 4 is not empty)";
        return LogReadResult::NotALog;
    }
    if (!reader.ReadLine(line) || line != kReadingsLogColumnHeader) {
        message = "not a readings log (line 5 is not the column header)";
        return LogReadResult::NotALog;
    }

    // One row is about 200 bytes; reserving avoids regrowing a 100,000-row vector.
    log.rows.reserve(text.size() / 160 + 1);
    int64_t lastTime = 0;
    bool anyTime = false;
    while (reader.ReadLine(line)) {
        const int64_t number = reader.GetLineNumber();
        // The file ends with a line end, so the last "line" is empty; an empty line elsewhere is
        // not something Save Log writes.
        if (line.empty()) {
            std::string_view rest;
            if (reader.ReadLine(rest)) {
                FailRow(number, "an empty line among the rows", message);
                return LogReadResult::BadRow;
            }
            break;
        }
        LogRow row{};
        if (line.size() <= kTimeStampChars || line[kTimeStampChars] != ',') {
            FailRow(number, "the row does not start with a 24-character time stamp and a comma", message);
            return LogReadResult::BadRow;
        }
        const std::string_view stamp = line.substr(0, kTimeStampChars);
        if (stamp == kTimeStampPlaceholder) {
            row.timeKnown = false;
            ++log.untimedCount;
        } else if (ParseTimeStamp(stamp, row.time)) {
            row.timeKnown = true;
        } else {
            FailRow(number, ("bad time stamp \"" + std::string(stamp) + "\"").c_str(), message);
            return LogReadResult::BadRow;
        }
        size_t at = kTimeStampChars + 1;
        int field = 0;
        for (;; ++field) {
            const size_t comma = line.find(',', at);
            const std::string_view cell =
                line.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at);
            if (comma == std::string_view::npos) {
                if (field != kLogValueFieldCount) {
                    FailRow(number,
                            ("expected 34 fields, found " + std::to_string(field + 2)).c_str(),
                            message);
                    return LogReadResult::BadRow;
                }
                if (cell == "FAIL") {
                    row.fail = true;
                } else if (cell != "PASS") {
                    FailRow(number, "the last field is neither PASS nor FAIL", message);
                    return LogReadResult::BadRow;
                }
                break;
            }
            if (field == kLogValueFieldCount) {
                FailRow(number, "more than 34 fields", message);
                return LogReadResult::BadRow;
            }
            if (!ParseLogNumber(cell, row.value[field])) {
                FailRow(number,
                        ("field " + std::to_string(field + 2) + " is not a number: \"" +
                         std::string(cell.substr(0, 20)) + "\"").c_str(),
                        message);
                return LogReadResult::BadRow;
            }
            at = comma + 1;
        }
        if (row.timeKnown) {
            lastTime = row.time;
            anyTime = true;
        } else {
            row.time = lastTime;
        }
        if (row.fail) ++log.failCount;
        log.rows.push_back(row);
    }
    // Leading rows without a clock take the first time that is known.
    if (anyTime) {
        int64_t firstTime = 0;
        for (const LogRow& row : log.rows) {
            if (row.timeKnown) {
                firstTime = row.time;
                break;
            }
        }
        for (LogRow& row : log.rows) {
            if (row.timeKnown) break;
            row.time = firstTime;
        }
    }
    message.clear();
    return LogReadResult::Ok;
}
