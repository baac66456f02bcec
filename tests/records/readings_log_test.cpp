// Readings-log rows, their verdict, the time stamps and the Save Log file layout, compared with
// golden files written from the file format's tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <string>

#include "records/readings_log.h"
#include "records_test_support.h"

namespace {

std::wstring BuildRow(const CellSnapshot& cells)
{
    wchar_t row[kLogTextUnits];
    const size_t length = BuildReadingsLogRow(cells.text, cells.state, row);
    EXPECT_EQ(length, std::wcslen(row));
    return row;
}

// The grid of the golden log's rows: the 29 cells a row takes, the PCIe cells without values.
CellSnapshot MakeGoldenRowCells()
{
    CellSnapshot cells;
    const struct {
        int cell;
        const wchar_t* text;
    } values[] = {
        {1, L"12.05"},   {4, L"3.41"},   {6, L"41.09"},  {7, L"8.00"},   {17, L"5.02"},
        {20, L"2.10"},   {22, L"10.54"}, {23, L"12.00"}, {33, L"3.31"},  {36, L"1.50"},
        {38, L"4.96"},   {39, L"9.00"},  {49, L"12.01"}, {52, L"6.20"},  {54, L"74.46"},
        {55, L"15.00"},  {65, L"-11.98"}, {81, L"5.01"}, {84, L"0.50"},  {86, L"2.50"},
        {116, L"0.27"},  {118, L"3.25"}, {132, L"0.89"}, {134, L"4.47"}, {148, L"0.12"},
        {150, L"0.40"},
    };
    for (const auto& value : values) cells.Set(value.cell, value.text, CellState::Pass);
    // Values that never enter a row.
    cells.Set(0, L"11.90", CellState::Pass);
    cells.Set(8, L"42", CellState::Pass);
    cells.Set(64, L"-12.10", CellState::Pass);
    return cells;
}

class ReadingsLogFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UseUtcLocalTime();
        file_ = std::tmpfile();
        ASSERT_NE(file_, nullptr);
    }
    void TearDown() override
    {
        if (file_ != nullptr) std::fclose(file_);
    }
    std::string Write(const Logger* logger)
    {
        EXPECT_TRUE(WriteReadingsLog(file_, logger));
        return ReadBackFile(file_);
    }

    std::FILE* file_ = nullptr;
};

TEST(ReadingsLogRowTest, FieldsFollowTheColumnTable)
{
    const CellSnapshot cells = MakeGoldenRowCells();
    EXPECT_EQ(BuildRow(cells),
              L"12.05,3.41,41.09,8.00,5.02,2.10,10.54,12.00,3.31,1.50,4.96,9.00,12.01,6.20,74.46,15.00,"
              L"-11.98,5.01,0.50,2.50,,,,12.05,0.27,3.25,5.02,0.89,4.47,3.31,0.12,0.40,PASS");
}

TEST(ReadingsLogRowTest, EmptyGridGivesEmptyFieldsAndPass)
{
    const CellSnapshot cells;
    EXPECT_EQ(BuildRow(cells), std::wstring(32, L',') + L"PASS");
}

TEST(ReadingsLogRowTest, OnlyTheSevenVoltCellsDecideAndNotAvailablePasses)
{
    const int deciding[] = {1, 17, 33, 49, 65, 81, 97};
    for (int cell : deciding) {
        CellSnapshot cells = MakeGoldenRowCells();
        cells.state[cell] = CellState::Fail;
        const std::wstring row = BuildRow(cells);
        EXPECT_EQ(row.substr(row.size() - 5), L",FAIL") << "cell " << cell;
    }
    // FAIL anywhere else: Current, Power, Ripple, the SATA rows, Min/Max, timings.
    for (int cell = 0; cell < kCellCount; ++cell) {
        if (std::find(std::begin(deciding), std::end(deciding), cell) != std::end(deciding)) continue;
        CellSnapshot cells = MakeGoldenRowCells();
        cells.state[cell] = CellState::Fail;
        EXPECT_EQ(GetReadingsLogVerdict(cells.state), std::wstring(L"PASS")) << "cell " << cell;
    }
    // Neither PASS nor FAIL counts as N/A, as in the grid's colours.
    CellSnapshot odd = MakeGoldenRowCells();
    odd.state[49] = static_cast<CellState>(3);
    EXPECT_EQ(GetReadingsLogVerdict(odd.state), std::wstring(L"PASS"));
    // All deciding cells N/A: PASS, whatever fails elsewhere.
    for (int cell : deciding) odd.state[cell] = CellState::NotAvailable;
    odd.state[4] = CellState::Fail;
    EXPECT_EQ(GetReadingsLogVerdict(odd.state), std::wstring(L"PASS"));
}

TEST(ReadingsLogRowTest, RowAlwaysFitsTheLogWithItsColumnsAndVerdict)
{
    CellSnapshot cells;
    for (int cell = 0; cell < kCellCount; ++cell) cells.Set(cell, L"-12345.67", CellState::Pass);
    cells.state[49] = CellState::Fail;
    const std::wstring row = BuildRow(cells);
    EXPECT_LE(row.size(), 299u);
    EXPECT_EQ(std::count(row.begin(), row.end(), L','), 32);
    EXPECT_EQ(row.substr(row.size() - 5), L",FAIL");
    // Whole fields or none: no field is a cut number.
    size_t start = 0;
    for (int field = 0; field < 32; ++field) {
        const size_t comma = row.find(L',', start);
        const std::wstring value = row.substr(start, comma - start);
        EXPECT_TRUE(value.empty() || value == L"-12345.67") << field;
        start = comma + 1;
    }
    // A row that fits exactly is kept whole: 7 fields of 9 and 25 of 8 make 299 units (fields 10
    // to 16 are cells that no other field repeats).
    CellSnapshot widest;
    for (int field = 0; field < 32; ++field) {
        widest.Set(kReadingsLogCells[field], field >= 9 && field < 16 ? L"123456.78" : L"12345.67",
                   CellState::Pass);
    }
    const std::wstring full = BuildRow(widest);
    EXPECT_EQ(full.size(), 299u);
    EXPECT_EQ(full.find(L",,"), std::wstring::npos);
}

TEST(ReadingsLogRowTest, DecimalCommaCannotSplitAColumn)
{
    CellSnapshot cells;
    cells.Set(1, L"12,05", CellState::Pass);
    const std::wstring row = BuildRow(cells);
    EXPECT_EQ(row.substr(0, 6), L"12.05,");
    EXPECT_EQ(std::count(row.begin(), row.end(), L','), 32);
}

TEST(ReadingsLogRowTest, TimerTickAddsTheGridRowAsInformation)
{
    CreateApplicationLogger();
    const CellSnapshot cells = MakeGoldenRowCells();
    std::copy(&cells.text[0][0], &cells.text[0][0] + kCellCount * kCellTextSize, &g_readingsTable.text[0][0]);
    std::copy(std::begin(cells.state), std::end(cells.state), std::begin(g_readingsTable.state));
    g_readingsTable.state[65] = CellState::Fail;
    AddReadingsLogRow();
    ASSERT_EQ(g_logger->GetRecordCount(), 1);
    int32_t category = -1;
    int64_t time = 0;
    const char16_t* text = g_logger->GetRecord(-1, category, time);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(category, kLogInformation);
    EXPECT_EQ(std::u16string(text),
              u"12.05,3.41,41.09,8.00,5.02,2.10,10.54,12.00,3.31,1.50,4.96,9.00,12.01,6.20,74.46,15.00,"
              u"-11.98,5.01,0.50,2.50,,,,12.05,0.27,3.25,5.02,0.89,4.47,3.31,0.12,0.40,FAIL");
    DestroyApplicationLogger();
}

TEST(TimeStampTest, ClassicLayoutInEnglishWithPaddedDay)
{
    UseUtcLocalTime();
    char stamp[kTimeStampChars + 1];
    FormatTimeStamp(1796432776, stamp);  // Saturday 5 December 2026, 01:06:16
    EXPECT_STREQ(stamp, "Sat Dec  5 01:06:16 2026");
    FormatTimeStamp(1797379199, stamp);
    EXPECT_STREQ(stamp, "Tue Dec 15 23:59:59 2026");
    FormatTimeStamp(0, stamp);
    EXPECT_STREQ(stamp, "Thu Jan  1 00:00:00 1970");
    FormatTimeStamp(951782400, stamp);  // a leap day
    EXPECT_STREQ(stamp, "Tue Feb 29 00:00:00 2000");
}

TEST(TimeStampTest, UnconvertibleTimesKeepTheWidth)
{
    UseUtcLocalTime();
    char stamp[kTimeStampChars + 1];
    FormatTimeStamp(-1, stamp);
    EXPECT_STREQ(stamp, "??? ??? ?? ??:??:?? ????");
    EXPECT_EQ(std::strlen(kTimeStampPlaceholder), kTimeStampChars);
    for (int64_t time : {INT64_MAX, INT64_MIN, static_cast<int64_t>(253402300800)}) {  // the last: year 10000
        FormatTimeStamp(time, stamp);
        EXPECT_EQ(std::strlen(stamp), kTimeStampChars) << time;
    }
    std::tm broken{};
    broken.tm_mday = 0;
    EXPECT_FALSE(FormatTimeStampFields(broken, stamp));
    EXPECT_STREQ(stamp, kTimeStampPlaceholder);
    broken.tm_mday = 9;
    broken.tm_year = 12000;
    EXPECT_FALSE(FormatTimeStampFields(broken, stamp));
    broken.tm_year = 126;
    EXPECT_TRUE(FormatTimeStampFields(broken, stamp));
    EXPECT_STREQ(stamp, "Sun Jan  9 00:00:00 2026");
}

TEST_F(ReadingsLogFileTest, EmptyLogIsFiveLines)
{
    Logger logger;
    const std::string bytes = Write(&logger);
    EXPECT_EQ(bytes, ReadGoldenFile("empty_log.txt"));
    const std::vector<std::string> lines = SplitCrLfLines(bytes);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], "Number of records logged: 0");
    // Before the Logger exists the file is the same.
    std::FILE* other = std::tmpfile();
    ASSERT_NE(other, nullptr);
    WriteReadingsLog(other, nullptr);
    EXPECT_EQ(ReadBackFile(other), bytes);
    std::fclose(other);
}

TEST_F(ReadingsLogFileTest, RowsBehindTheirTimeStampsMatchTheGoldenFile)
{
    Logger logger;
    CellSnapshot cells = MakeGoldenRowCells();
    wchar_t row[kLogTextUnits];
    BuildReadingsLogRow(cells.text, cells.state, row);
    logger.AddRecordAt(row, kLogInformation, 1796432776);
    cells.state[49] = CellState::Fail;
    BuildReadingsLogRow(cells.text, cells.state, row);
    logger.AddRecordAt(row, kLogInformation, 1797379199);
    cells.state[49] = CellState::Pass;
    BuildReadingsLogRow(cells.text, cells.state, row);
    logger.AddRecordAt(row, kLogInformation, -1);  // the clock could not be read

    const std::string bytes = Write(&logger);
    EXPECT_EQ(bytes, ReadGoldenFile("log_three_rows.txt"));
    const std::vector<std::string> lines = SplitCrLfLines(bytes);
    ASSERT_EQ(lines.size(), 8u);
    for (size_t i = 5; i < lines.size(); ++i) {
        EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), ','), 33) << i;
        EXPECT_EQ(lines[i][24], ',');
    }
    // Saving changes nothing in the log.
    EXPECT_EQ(logger.GetRecordCount(), 3);
}

TEST_F(ReadingsLogFileTest, FullRingSavesTheNewest100000Rows)
{
    Logger logger;
    const CellSnapshot cells = MakeGoldenRowCells();
    wchar_t row[kLogTextUnits];
    const size_t length = BuildReadingsLogRow(cells.text, cells.state, row);
    for (int i = 0; i < 100002; ++i) {
        // The first field carries the row's number, so that order and gaps show.
        std::wstring numbered = std::to_wstring(i) + (row + std::wcslen(L"12.05"));
        ASSERT_LT(numbered.size(), length + 8);
        logger.AddRecordAt(numbered.c_str(), kLogInformation, 1796432776 + i);
    }
    const std::vector<std::string> lines = SplitCrLfLines(Write(&logger));
    ASSERT_EQ(lines.size(), 100005u);
    EXPECT_EQ(lines[2], "Number of records logged: 100000");
    EXPECT_EQ(lines[5].substr(0, 27), "Sat Dec  5 01:06:18 2026,2,");
    EXPECT_EQ(lines[100004].substr(25, 7), "100001,");
    for (size_t i = 5; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        ASSERT_EQ(std::count(line.begin(), line.end(), ','), 33) << i;
        ASSERT_EQ(line.compare(25, std::to_string(i - 3).size() + 1, std::to_string(i - 3) + ","), 0) << i;
    }
}

TEST_F(ReadingsLogFileTest, NonAsciiUnitsNeverBecomeOtherBytes)
{
    Logger logger;
    logger.AddRecordAt(L"12\u00b05,\u0417", kLogInformation, 1796432776);
    const std::vector<std::string> lines = SplitCrLfLines(Write(&logger));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[5], "Sat Dec  5 01:06:16 2026,12?5,?");
}

}  // namespace
