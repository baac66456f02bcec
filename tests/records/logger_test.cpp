// The event log ring: lookups from both ends, the 100000-record limit, the text clean-up on the
// way in, clearing, and the application's instance behind LogRecord.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <memory>
#include <string>

#include "records/logger.h"

namespace {

// The text at an index, or "<null>"; no record sets category 0 and leaves the time alone.
std::u16string RecordText(const Logger& logger, int32_t index)
{
    int32_t category = 9;
    int64_t time = 77;
    const char16_t* text = logger.GetRecord(index, category, time);
    if (text != nullptr) return text;
    EXPECT_EQ(category, 0) << index;
    EXPECT_EQ(time, 77) << index;
    return u"<null>";
}

class LoggerTest : public ::testing::Test {
protected:
    // One 61 MB log for the whole group; every case starts from a cleared one.
    static void SetUpTestSuite() { s_logger = new Logger(); }
    static void TearDownTestSuite() { delete s_logger; }
    void SetUp() override { s_logger->Clear(); }

    // Adds the records numbered first to last, then checks what each index gives.
    static void AddAndExpect(int first, int last, std::initializer_list<std::pair<int32_t, const char16_t*>> texts)
    {
        for (int i = first; i <= last; ++i) s_logger->AddRecordAt(std::to_wstring(i).c_str(), kLogInformation, 1000 + i);
        EXPECT_EQ(s_logger->GetRecordCount(), std::min(last, 100000)) << last;
        for (const auto& [index, text] : texts) EXPECT_EQ(RecordText(*s_logger, index), text) << last << " @ " << index;
    }

    inline static Logger* s_logger = nullptr;
};

TEST_F(LoggerTest, IndicesCountFromTheOldestAndFromTheNewestOfTheLatest100000)
{
    const char16_t* null = u"<null>";
    // Nothing at either end of an empty log, nor past either end of a short one.
    AddAndExpect(1, 0, {{0, null}, {-1, null}});
    for (int last : {0, 5}) {
        AddAndExpect(1, last, {{5, null}, {-6, null}, {100000, null}, {100001, null}, {-100001, null},
                               {INT_MAX, null}, {INT_MIN, null}, {INT_MIN + 1, null}});
    }
    AddAndExpect(6, 5, {{0, u"1"}, {4, u"5"}, {-1, u"5"}, {-5, u"1"}});
    int32_t category = 0;
    int64_t time = 0;
    ASSERT_NE(s_logger->GetRecord(1, category, time), nullptr);
    EXPECT_EQ(category, kLogInformation);
    EXPECT_EQ(time, 1002);
    AddAndExpect(6, 100000, {{0, u"1"}, {-1, u"100000"}});
    // The slot just given up still holds record 1; it must not come back past the count.
    AddAndExpect(100001, 100001, {{0, u"2"}, {-100000, u"2"}, {99999, u"100001"}, {100000, null}});
    AddAndExpect(100002, 100002, {{0, u"3"}, {-1, u"100002"}, {100000, null}, {-100001, null}});
    // Once round the ring and more: the order stays oldest to newest.
    AddAndExpect(100003, 250000, {{0, u"150001"}, {50000, u"200001"}, {-1, u"250000"}});
}

TEST_F(LoggerTest, TextsAreCleanedOnTheWayIn)
{
    std::wstring alphabet, xs;
    std::u16string folded;
    for (int i = 0; i < 400; ++i) alphabet += static_cast<wchar_t>(L'A' + i % 26);
    for (int i = 0; i < 100; ++i) xs += L"x  ", folded += u"x ";
    xs += xs;
    const std::wstring spaced = L"  one  two   three \t four  ";
    // Lone surrogates, and numbers past U+10FFFF where wchar_t holds them, are not characters.
    const std::wstring odd = std::wstring{static_cast<wchar_t>(0xD800), L'a', static_cast<wchar_t>(0xDFFF)} +
                             (sizeof(wchar_t) == 4 ? std::wstring(1, static_cast<wchar_t>(0x110000)) : L"");
    const struct { std::wstring text; int32_t category; std::u16string stored; } kCases[] = {
        {L"a\tb\nc\rd\x01" L"e\x1f" L"f", kLogInformation, u"a b c d e f"},  // controls become blanks
        // Errors and diagnostics fold runs of blanks; other categories keep them.
        {spaced, kLogError, u" one two three four "},
        {spaced, kLogDiagnostics, u" one two three four "},
        {spaced, kLogInformation, u"  one  two   three   four  "},
        {spaced, kLogMinorError, u"  one  two   three   four  "},
        {alphabet, kLogInformation, std::u16string(alphabet.begin(), alphabet.begin() + 299)},  // cut to 299 units
        {xs, kLogError, folded},  // the first 300 units are taken before folding
        // A cut never leaves half a character: the pair's second unit would fall on it, or past it.
        {std::wstring(298, L'a') + L"\U0001F600", kLogInformation, std::u16string(298, u'a')},
        {std::wstring(299, L'a') + L"\U0001F600", kLogInformation, std::u16string(299, u'a')},
        {L"\U0001F600!", kLogInformation, u"\U0001F600!"},
        {odd, kLogInformation, sizeof(wchar_t) == 2 ? u"\xD800" u"a\xDFFF" : u"\uFFFDa\uFFFD\uFFFD"},
        {L"", kLogInformation, u"<null>"},  // an empty slot, but a record
    };
    for (const auto& c : kCases) {
        s_logger->Clear();
        s_logger->AddRecord(c.text.c_str(), c.category);
        EXPECT_EQ(s_logger->GetRecordCount(), 1);
        EXPECT_EQ(RecordText(*s_logger, 0), c.stored) << c.category << ", " << c.text.size() << " units";
    }
    // No text is an empty record too; AddRecord stamps the clock; a pair comes back as one wchar_t
    // where wchar_t is 32-bit.
    s_logger->AddRecord(nullptr, kLogInformation);
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    s_logger->AddRecord(L"\U0001F600!", kLogBenchmark);
    const int64_t after = static_cast<int64_t>(std::time(nullptr));
    EXPECT_EQ(s_logger->GetRecordCount(), 3);
    EXPECT_EQ(RecordText(*s_logger, 1), u"<null>");
    int32_t category = 0;
    int64_t time = 0;
    wchar_t back[8];
    EXPECT_EQ(CopyRecordText(s_logger->GetRecord(2, category, time), back, 8), sizeof(wchar_t) == 2 ? 3u : 2u);
    EXPECT_EQ(std::wstring(back), L"\U0001F600!");
    EXPECT_EQ(category, kLogBenchmark);
    EXPECT_TRUE(time >= before && time <= after) << before << " <= " << time << " <= " << after;
}

// Every unit of every slot is 0 on a new log and after each Clear, however far the records
// reached: a few slots, all of them but one, exactly round the ring, and well past its wrap; and
// nothing from before a Clear can be read.
TEST_F(LoggerTest, NewAndClearedLogsHaveEverySlotEmpty)
{
    const auto countWrittenSlots = [](const Logger& logger) {
        // A loop, not views::iota: clang 14 cannot build that view over libstdc++ 12's ranges.
        int32_t written = 0;
        for (int32_t slot = 0; slot < kLogCapacity; ++slot) written += logger.IsSlotEmpty(slot) ? 0 : 1;
        return written;
    };
    EXPECT_EQ(countWrittenSlots(*std::make_unique<Logger>()), 0) << "new log";
    for (int records : {3, 100000, 100001, 100002, 250000}) {
        AddAndExpect(1, records, {});
        s_logger->Clear();
        EXPECT_EQ(countWrittenSlots(*s_logger), 0) << "after " << records << " records and Clear";
        EXPECT_EQ(s_logger->GetRecordCount(), 0);
    }
    AddAndExpect(1, 100001, {});
    s_logger->Clear();
    s_logger->AddRecord(L"after", kLogFileOperation);
    int readable = 0;
    for (int32_t index = -100002; index <= 100002; ++index) readable += RecordText(*s_logger, index) != u"<null>";
    EXPECT_EQ(readable, 2);  // index 0 and index -1, both "after"
    EXPECT_EQ(RecordText(*s_logger, 0), u"after");
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
    EXPECT_EQ(RecordText(*g_logger, 0), u"third");
    EXPECT_EQ(g_logger->GetRecordCount(), 1);
    DestroyApplicationLogger();
    EXPECT_TRUE(g_logger == nullptr);
}

TEST(LogCategoryTest, NamesAreTheSystemsOwnAndNoneOutsideTheList)
{
    for (const auto& [category, name] : {std::pair<int32_t, const char*>{kLogInformation, "Information"}, {kLogError, "ERROR"},
                                         {kLogFileOperation, "File op."}, {kLogPass, "PASS"}, {9, ""}, {-1, ""}}) {
        EXPECT_STREQ(GetLogCategoryName(category), name) << category;
    }
}

}  // namespace
