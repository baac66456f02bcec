// The event log ring: lookups from both ends, the 100000-record limit, the text clean-up on the
// way in, clearing, and the application's instance behind LogRecord.
#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <memory>
#include <string>

#include "records/logger.h"

namespace {

std::u16string ToU16(const std::wstring& text)
{
    std::u16string out;
    for (wchar_t c : text) out += static_cast<char16_t>(c);
    return out;
}

std::u16string RecordText(const Logger& logger, int32_t index)
{
    int32_t category = -1;
    int64_t time = 0;
    const char16_t* text = logger.GetRecord(index, category, time);
    return text == nullptr ? u"<null>" : std::u16string(text);
}

class LoggerTest : public ::testing::Test {
protected:
    // One 61 MB log for the whole group; every case starts from a cleared one.
    static void SetUpTestSuite() { s_logger = new Logger(); }
    static void TearDownTestSuite()
    {
        delete s_logger;
        s_logger = nullptr;
    }
    void SetUp() override { s_logger->Clear(); }

    void AddNumbered(int first, int last)
    {
        for (int i = first; i <= last; ++i) {
            s_logger->AddRecordAt(std::to_wstring(i).c_str(), kLogInformation, 1000 + i);
        }
    }

    static Logger* s_logger;
};

Logger* LoggerTest::s_logger = nullptr;

TEST_F(LoggerTest, IndicesCountFromTheOldestAndFromTheNewest)
{
    s_logger->AddRecordAt(L"R1", kLogResults, 11);
    s_logger->AddRecordAt(L"R2", kLogPass, 12);
    s_logger->AddRecordAt(L"R3", kLogMinorError, 13);
    EXPECT_EQ(s_logger->GetRecordCount(), 3);
    EXPECT_EQ(RecordText(*s_logger, 0), u"R1");
    EXPECT_EQ(RecordText(*s_logger, 2), u"R3");
    EXPECT_EQ(RecordText(*s_logger, -1), u"R3");
    EXPECT_EQ(RecordText(*s_logger, -3), u"R1");
    EXPECT_EQ(RecordText(*s_logger, 3), u"<null>");
    EXPECT_EQ(RecordText(*s_logger, -4), u"<null>");

    int32_t category = 0;
    int64_t time = 0;
    ASSERT_NE(s_logger->GetRecord(1, category, time), nullptr);
    EXPECT_EQ(category, kLogPass);
    EXPECT_EQ(time, 12);
}

TEST_F(LoggerTest, RingKeepsTheNewest100000Records)
{
    AddNumbered(1, 100000);
    EXPECT_EQ(s_logger->GetRecordCount(), 100000);
    EXPECT_EQ(RecordText(*s_logger, 0), u"1");
    EXPECT_EQ(RecordText(*s_logger, -1), u"100000");

    AddNumbered(100001, 100001);
    EXPECT_EQ(s_logger->GetRecordCount(), 100000);
    EXPECT_EQ(RecordText(*s_logger, 0), u"2");
    EXPECT_EQ(RecordText(*s_logger, -100000), u"2");
    EXPECT_EQ(RecordText(*s_logger, 99999), u"100001");
    // The slot just given up still holds record 1; it must not come back past the count.
    EXPECT_EQ(RecordText(*s_logger, 100000), u"<null>");

    AddNumbered(100002, 100002);
    EXPECT_EQ(s_logger->GetRecordCount(), 100000);
    EXPECT_EQ(RecordText(*s_logger, 0), u"3");
    EXPECT_EQ(RecordText(*s_logger, -1), u"100002");
    EXPECT_EQ(RecordText(*s_logger, 100000), u"<null>");
    EXPECT_EQ(RecordText(*s_logger, -100001), u"<null>");

    // Once round the ring and more: the order stays oldest to newest.
    AddNumbered(100003, 250000);
    EXPECT_EQ(s_logger->GetRecordCount(), 100000);
    EXPECT_EQ(RecordText(*s_logger, 0), u"150001");
    EXPECT_EQ(RecordText(*s_logger, 50000), u"200001");
    EXPECT_EQ(RecordText(*s_logger, -1), u"250000");
}

// Nothing at either end of an empty log, nor past either end of a short one; category becomes 0
// and the time is left alone.
TEST_F(LoggerTest, OutOfRangeIndicesGiveNull)
{
    for (int count : {0, 5}) {
        AddNumbered(1, count);
        for (int32_t index : {0, -1, 100001, -100001, 100000, INT_MAX, INT_MIN, INT_MIN + 1, 5, -6}) {
            if (count == 5 && (index == 0 || index == -1)) continue;
            int32_t category = 9;
            int64_t time = 77;
            EXPECT_EQ(s_logger->GetRecord(index, category, time), nullptr) << count << " records, index " << index;
            EXPECT_EQ(category, 0);
            EXPECT_EQ(time, 77);
        }
    }
}

TEST_F(LoggerTest, ControlCharactersBecomeBlanks)
{
    s_logger->AddRecord(L"a\tb\nc\rd\x01" L"e\x1f" L"f", kLogInformation);
    EXPECT_EQ(RecordText(*s_logger, 0), u"a b c d e f");
}

TEST_F(LoggerTest, ErrorAndDiagnosticsFoldRunsOfBlanks)
{
    const wchar_t* text = L"  one  two   three \t four  ";
    s_logger->AddRecord(text, kLogError);
    s_logger->AddRecord(text, kLogDiagnostics);
    s_logger->AddRecord(text, kLogInformation);
    s_logger->AddRecord(text, kLogMinorError);
    EXPECT_EQ(RecordText(*s_logger, 0), u" one two three four ");
    EXPECT_EQ(RecordText(*s_logger, 1), u" one two three four ");
    EXPECT_EQ(RecordText(*s_logger, 2), u"  one  two   three   four  ");
    EXPECT_EQ(RecordText(*s_logger, 3), u"  one  two   three   four  ");
}

TEST_F(LoggerTest, LongTextsAreCutTo299Units)
{
    std::wstring text;
    for (int i = 0; i < 400; ++i) text += static_cast<wchar_t>(L'A' + i % 26);
    s_logger->AddRecord(text.c_str(), kLogInformation);
    EXPECT_EQ(RecordText(*s_logger, 0), ToU16(text.substr(0, 299)));

    // The first 300 units are taken before folding: a folded text ends there too.
    std::wstring spaced;
    for (int i = 0; i < 200; ++i) spaced += L"x  ";
    s_logger->AddRecord(spaced.c_str(), kLogError);
    std::wstring folded;
    for (int i = 0; i < 100; ++i) folded += L"x ";
    EXPECT_EQ(RecordText(*s_logger, 1), ToU16(folded));
}

TEST_F(LoggerTest, CutNeverLeavesHalfACharacter)
{
    std::wstring text(298, L'a');
    text += L"\U0001F600";  // two UTF-16 units: the second would fall on the cut
    s_logger->AddRecord(text.c_str(), kLogInformation);
    EXPECT_EQ(RecordText(*s_logger, 0), std::u16string(298, u'a'));

    s_logger->AddRecord(L"\U0001F600!", kLogInformation);
    EXPECT_EQ(RecordText(*s_logger, 1), u"\U0001F600!");
    int32_t category;
    int64_t time;
    wchar_t back[8];
    EXPECT_EQ(CopyRecordText(s_logger->GetRecord(1, category, time), back, 8), sizeof(wchar_t) == 2 ? 3u : 2u);
    EXPECT_EQ(std::wstring(back), L"\U0001F600!");
}

TEST_F(LoggerTest, ClearStartsAgainAndHidesEverythingBefore)
{
    AddNumbered(1, 100001);
    s_logger->Clear();
    EXPECT_EQ(s_logger->GetRecordCount(), 0);
    s_logger->AddRecord(L"after", kLogFileOperation);
    EXPECT_EQ(s_logger->GetRecordCount(), 1);
    EXPECT_EQ(RecordText(*s_logger, 0), u"after");
    int readable = 0;
    for (int32_t index = -100002; index <= 100002; ++index) {
        int32_t category;
        int64_t time;
        if (s_logger->GetRecord(index, category, time) != nullptr) ++readable;
    }
    EXPECT_EQ(readable, 2);  // index 0 and index -1, both "after"
}

// Every unit of every slot is 0 on a new log and after each Clear, however far the records
// reached: a few slots, all of them but one, exactly round the ring, and well past its wrap.
TEST_F(LoggerTest, NewAndClearedLogsHaveEverySlotEmpty)
{
    const auto countWrittenSlots = [](const Logger& logger) {
        int written = 0;
        for (int32_t slot = 0; slot < kLogCapacity; ++slot) {
            if (!logger.IsSlotEmpty(slot)) ++written;
        }
        return written;
    };
    const auto fresh = std::make_unique<Logger>();
    EXPECT_EQ(countWrittenSlots(*fresh), 0) << "new log";

    for (int records : {3, 100000, 100001, 100002, 250000}) {
        AddNumbered(1, records);
        s_logger->Clear();
        EXPECT_EQ(countWrittenSlots(*s_logger), 0) << "after " << records << " records and Clear";
        EXPECT_EQ(s_logger->GetRecordCount(), 0);
    }
}

TEST_F(LoggerTest, AddRecordStampsTheClock)
{
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    s_logger->AddRecord(L"now", kLogBenchmark);
    const int64_t after = static_cast<int64_t>(std::time(nullptr));
    int32_t category = 0;
    int64_t time = 0;
    ASSERT_NE(s_logger->GetRecord(0, category, time), nullptr);
    EXPECT_EQ(category, kLogBenchmark);
    EXPECT_GE(time, before);
    EXPECT_LE(time, after);
}

TEST_F(LoggerTest, EmptyTextLeavesAnEmptySlot)
{
    s_logger->AddRecord(L"", kLogInformation);
    s_logger->AddRecord(nullptr, kLogInformation);
    s_logger->AddRecord(L"x", kLogInformation);
    EXPECT_EQ(s_logger->GetRecordCount(), 3);
    EXPECT_EQ(RecordText(*s_logger, 0), u"<null>");
    EXPECT_EQ(RecordText(*s_logger, 2), u"x");
}

TEST(LogRecordTest, AddsToTheApplicationLoggerUnderTheBusyCounter)
{
    DestroyApplicationLogger();
    LogRecord(L"nowhere", kLogInformation);  // no Logger yet: nothing, and no crash
    EXPECT_EQ(g_loggerBusy.load(), 0);

    CreateApplicationLogger();
    ASSERT_TRUE(g_logger != nullptr);
    LogRecord(L"first", kLogInformation);
    EXPECT_EQ(g_loggerBusy.load(), 0);

    // A busy counter left non-zero only delays the add once; the add still happens.
    g_loggerBusy.store(1);
    LogRecord(L"second", kLogError);
    EXPECT_EQ(g_logger->GetRecordCount(), 2);
    g_logger->Clear();
    EXPECT_EQ(g_loggerBusy.load(), 1);
    g_loggerBusy.store(0);
    LogRecord(L"third", kLogInformation);
    EXPECT_EQ(g_logger->GetRecordCount(), 1);
    EXPECT_EQ(RecordText(*g_logger, 0), u"third");
    DestroyApplicationLogger();
    EXPECT_TRUE(g_logger == nullptr);
}

TEST(LogCategoryTest, NamesAreTheSystemsOwn)
{
    EXPECT_STREQ(GetLogCategoryName(kLogInformation), "Information");
    EXPECT_STREQ(GetLogCategoryName(kLogError), "ERROR");
    EXPECT_STREQ(GetLogCategoryName(kLogFileOperation), "File op.");
    EXPECT_STREQ(GetLogCategoryName(kLogPass), "PASS");
    EXPECT_STREQ(GetLogCategoryName(9), "");
    EXPECT_STREQ(GetLogCategoryName(-1), "");
}

}  // namespace
