// Readings-log rows, their verdict, the time stamps and the Save Log file layout, compared with
// golden files written from the file format's tables.
#include <gtest/gtest.h>

#include <cstring>

#include "records_test_support.h"

namespace {

std::wstring BuildRow(const CellSnapshot& cells)
{
    wchar_t row[kLogTextUnits];
    const size_t length = BuildReadingsLogRow(cells.text, cells.state, row);
    EXPECT_EQ(length, std::wcslen(row));
    return row;
}

// The grid of the golden log's rows: the 29 cells a row takes, the PCIe cells without values,
// and three values that never enter a row.
CellSnapshot MakeGoldenRowCells()
{
    CellSnapshot cells;
    const struct { int cell; const wchar_t* text; } values[] = {
        {1, L"12.05"},  {4, L"3.41"},   {6, L"41.09"},  {7, L"8.00"},   {17, L"5.02"},  {20, L"2.10"},   {22, L"10.54"},
        {23, L"12.00"}, {33, L"3.31"},  {36, L"1.50"},  {38, L"4.96"},  {39, L"9.00"},  {49, L"12.01"},  {52, L"6.20"},
        {54, L"74.46"}, {55, L"15.00"}, {65, L"-11.98"}, {81, L"5.01"}, {84, L"0.50"},  {86, L"2.50"},   {116, L"0.27"},
        {118, L"3.25"}, {132, L"0.89"}, {134, L"4.47"}, {148, L"0.12"}, {150, L"0.40"}, {0, L"11.90"},   {8, L"42"},
        {64, L"-12.10"},
    };
    for (const auto& value : values) cells.Set(value.cell, value.text, CellState::Pass);
    return cells;
}

std::string WriteLog(const Logger* logger)
{
    return WriteToTemporaryFile([logger](std::FILE* file) { EXPECT_TRUE(WriteReadingsLog(file, logger)); });
}

TEST(ReadingsLogRowTest, OnlyTheSevenVoltCellsDecideAndNotAvailablePasses)
{
    EXPECT_EQ(BuildRow(CellSnapshot()), std::wstring(32, L',') + L"PASS");  // an empty grid
    const int deciding[] = {1, 17, 33, 49, 65, 81, 97};
    for (int cell = 0; cell < kCellCount; ++cell) {
        CellSnapshot cells = MakeGoldenRowCells();
        cells.state[cell] = CellState::Fail;
        const bool decides = std::find(std::begin(deciding), std::end(deciding), cell) != std::end(deciding);
        const std::wstring row = BuildRow(cells);
        EXPECT_EQ(row.substr(row.size() - 5), decides ? L",FAIL" : L",PASS") << "cell " << cell;
    }
    // Neither PASS nor FAIL counts as N/A, as in the grid's colours (the empty grid above has every
    // deciding cell N/A).
    CellSnapshot odd = MakeGoldenRowCells();
    odd.state[49] = static_cast<CellState>(3);
    EXPECT_EQ(GetReadingsLogVerdict(odd.state), std::wstring(L"PASS"));
}

// A row that would pass the log's 299 units keeps whole fields only (no cut number) and its
// verdict; one that fits exactly (7 fields of 9 units and 25 of 8; fields 10 to 16 are cells no
// other field repeats) is kept whole; a decimal comma cannot split a column.
TEST(ReadingsLogRowTest, RowsFitTheLogWithWholeFields)
{
    CellSnapshot overfull, widest, comma;
    for (int cell = 0; cell < kCellCount; ++cell) overfull.Set(cell, L"-12345.67", CellState::Pass);
    overfull.state[49] = CellState::Fail;
    for (int field = 0; field < 32; ++field) {
        widest.Set(kReadingsLogCells[field], field >= 9 && field < 16 ? L"123456.78" : L"12345.67", CellState::Pass);
    }
    comma.Set(1, L"12,05", CellState::Pass);
    std::string rows;
    for (const CellSnapshot* cells : {&overfull, &widest, &comma}) {
        const std::wstring row = BuildRow(*cells);
        EXPECT_LE(row.size(), 299u);
        rows += std::string(row.begin(), row.end()) + "\n";
    }
    ExpectMatchesGolden(rows, "log_row_limits.txt");
}

TEST(ReadingsLogRowTest, TimerTickAddsTheGridRowAsInformation)
{
    CreateApplicationLogger();
    CellSnapshot cells = MakeGoldenRowCells();
    cells.state[65] = CellState::Fail;
    cells.Publish();
    AddReadingsLogRow();
    int32_t category = -1;
    int64_t time;
    const char16_t* text = g_logger->GetRecord(-1, category, time);
    EXPECT_EQ(category, kLogInformation);
    // The golden log's second row is this grid's, FAIL.
    const std::string golden = SplitCrLfLines(ReadGoldenFile("log_three_rows.txt")).at(6).substr(25);
    EXPECT_EQ(std::u16string(text != nullptr ? text : u""), std::u16string(golden.begin(), golden.end()));
    DestroyApplicationLogger();
}

// The classic layout in English (the golden logs pin the times of their rows, and the placeholder
// for a clock that could not be read); whatever cannot be shown in it gives the placeholder, of
// the same width: times the local time cannot convert, fields out of range, years without four digits.
TEST(TimeStampTest, ClassicLayoutInEnglishAndPlaceholdersOfTheSameWidth)
{
    UseUtcLocalTime();
    const struct { int64_t time; const char* stamp; /* nullptr: only the width is known */ } kCases[] = {
        {0, "Thu Jan  1 00:00:00 1970"}, {951782400, "Tue Feb 29 00:00:00 2000"},  // a leap day
        {INT64_MAX, nullptr}, {INT64_MIN, nullptr}, {253402300800, nullptr},  // year 10000
    };
    char stamp[kTimeStampChars + 1];
    for (const auto& c : kCases) {
        FormatTimeStamp(c.time, stamp);
        EXPECT_EQ(std::strlen(stamp), kTimeStampChars) << c.time;
        EXPECT_STREQ(stamp, c.stamp != nullptr ? c.stamp : stamp) << c.time;
    }
    const struct { int year, day; const char* stamp; } kFields[] = {
        {126, 9, "Sun Jan  9 00:00:00 2026"}, {126, 0, nullptr}, {12000, 9, nullptr}, {8099, 9, "Sun Jan  9 00:00:00 9999"},
        {8100, 9, nullptr}, {-1900, 9, "Sun Jan  9 00:00:00 0000"}, {-1901, 9, nullptr},
    };
    for (const auto& c : kFields) {
        std::tm fields{};
        fields.tm_year = c.year;
        fields.tm_mday = c.day;
        EXPECT_EQ(FormatTimeStampFields(fields, stamp), c.stamp != nullptr) << c.year << "/" << c.day;
        EXPECT_STREQ(stamp, c.stamp != nullptr ? c.stamp : kTimeStampPlaceholder) << c.year << "/" << c.day;
    }
}

TEST(ReadingsLogFileTest, MatchesTheGoldenFiles)
{
    UseUtcLocalTime();
    ExpectMatchesGolden(WriteLog(nullptr), "empty_log.txt");  // before the Logger exists
    Logger logger;
    ExpectMatchesGolden(WriteLog(&logger), "empty_log.txt");
    // Rows behind their time stamps: PASS, FAIL, and one whose clock could not be read; a record
    // without text is no row and is not counted.
    CellSnapshot cells = MakeGoldenRowCells();
    wchar_t row[kLogTextUnits];
    logger.AddRecordAt(L"", kLogInformation, 1796432775);
    for (const auto& [time, state] : {std::pair<int64_t, CellState>{1796432776, CellState::Pass},
                                      {1797379199, CellState::Fail}, {-1, CellState::Pass}}) {
        cells.state[49] = state;
        BuildReadingsLogRow(cells.text, cells.state, row);
        logger.AddRecordAt(row, kLogInformation, time);
    }
    ExpectMatchesGolden(WriteLog(&logger), "log_three_rows.txt");
    EXPECT_EQ(logger.GetRecordCount(), 4);  // saving changes nothing in the log
    // Units outside ASCII never become other bytes.
    logger.Clear();
    logger.AddRecordAt(L"12\u00b05,\u0417", kLogInformation, 1796432776);
    const std::vector<std::string> lines = SplitCrLfLines(WriteLog(&logger));
    EXPECT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines.back(), "Sat Dec  5 01:06:16 2026,12?5,?");
}

TEST(ReadingsLogFileTest, FullRingSavesTheNewest100000RowsInOrder)
{
    UseUtcLocalTime();
    Logger logger;
    for (int i = 0; i < 100002; ++i) logger.AddRecordAt(std::to_wstring(i).c_str(), kLogInformation, 1796432776 + i);
    const std::vector<std::string> lines = SplitCrLfLines(WriteLog(&logger));
    ASSERT_EQ(lines.size(), 100005u);
    EXPECT_EQ(lines[2], "Number of records logged: 100000");
    EXPECT_EQ(lines[5], "Sat Dec  5 01:06:18 2026,2");
    for (size_t i = 5; i < lines.size(); ++i) ASSERT_EQ(lines[i].substr(24), "," + std::to_string(i - 3)) << i;
}

}  // namespace
