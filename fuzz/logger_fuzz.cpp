// Fuzz target: the event log ring with any texts (unpaired surrogates, units beyond Unicode, control
// characters, empty texts, texts longer than a record) and any categories, at and past its
// capacity.
//
// The capacity is fixed at 100001 slots of 300 units and Clear() empties all 61 MB, so the one
// application Logger lives across inputs and wraps many times in a run; the target keeps a model
// of every record still readable (its sequence, category, time and a hash of the text read back
// when it was added) and checks the ring against it. Every input starts with 32 one-letter
// records, so that the ring keeps passing its capacity however the inputs look. As an input may
// need the records before it to fail again, a failure prints how many there were;
// OMBRELO_FUZZ_LOGGER_PREFILL=N adds N one-letter records before the first input, which puts the
// ring back at the same position.
//
// Input: ops until it runs out; op % 8:
//   0-2 AddRecordAt, 3 LogRecord: a category byte, then units as words until a 0 word
//       (0xFFF0 + word: a unit 0x10000 + word * 16; 0xFFF1 + word: beyond Unicode; 0xFFF2: negative);
//   4 a run of byte * 8 one-letter records (only 0x04 and 0x84, once an input; else as 0);
//   5 Clear (only 0x05 after three wraps; else a lookup by a signed word index);
//   6 look up a record near either end by a signed word; 7 copy a record's text into a wchar_t
//   buffer of byte units (+ 256 when op bit 7 is set).
//
// Checked: a text reads back as the input's characters with non-characters as U+FFFD and control
// characters as blanks (double blanks merged for ERROR and Diagnostics), at most 299 units with
// no unpaired surrogate, cut only where the next character would not fit; an empty text reads
// back as nothing; the count is min(added, 100000); every index in range finds its record with
// its category and time, every index out of range finds nothing and leaves the time alone;
// CopyRecordText joins pairs, stays within its buffer and always terminates.
#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "records/logger.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr int32_t kReadable = kLogCapacity - 1;
constexpr size_t kMaxInputUnits = 700, kMaxUnits = kLogTextUnits - 1;
constexpr int64_t kUntouchedTime = 0x5A5A5A5A5A5A;
constexpr uint32_t kTurnPerInput = 32;

struct ModelRecord {
    bool readable;
    int32_t category;
    int64_t earliest, latest;  // the time given, or the clock's range around a LogRecord
    uint64_t textHash;
};

std::vector<ModelRecord> g_model(kReadable);
uint64_t g_added = 0, g_addedBeforeInput = 0;  // since the last Clear; before this input
int64_t g_nextTime = 1000;

void DescribeState()
{
    std::fprintf(stderr,
                 "logger state: %" PRIu64 " records added since the last Clear, %" PRIu64
                 " before this input (OMBRELO_FUZZ_LOGGER_PREFILL=%" PRIu64 " retries it alone)\n",
                 g_added, g_addedBeforeInput, g_addedBeforeInput);
}

uint64_t HashText(const char16_t* text) { return std::hash<std::u16string_view>{}(text); }

int32_t ModelCount() { return static_cast<int32_t>(std::min<uint64_t>(g_added, kReadable)); }

void CheckCount(const Logger& logger)
{
    FUZZ_CHECK(logger.GetRecordCount() == ModelCount(), "the count follows the records added");
}

bool IsHigh(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
size_t Units(char32_t c) { return c > 0xFFFF ? 2 : 1; }  // in UTF-16
size_t Units(const std::u32string& text)
{
    size_t units = 0;
    for (const char32_t c : text) units += Units(c);
    return units;
}

// A stored text as characters, checking its units on the way.
std::u32string ReadCharacters(const char16_t* text)
{
    std::u32string out;
    for (const char16_t* p = text; *p != 0; ++p) {
        char32_t c = *p;
        FUZZ_CHECK(c >= 0x20, "no control character is stored");
        FUZZ_CHECK(!IsLow(c), "no low surrogate stands alone");
        if (IsHigh(c)) {
            FUZZ_CHECK(IsLow(p[1]), "a high surrogate is followed by its low one");
            c = 0x10000 + ((c - 0xD800) << 10) + (*++p - 0xDC00);
        }
        out += c;
    }
    FUZZ_CHECK(Units(out) <= kMaxUnits, "a record holds at most 299 units");
    return out;
}

// The text read back as: non-characters become U+FFFD and control characters blanks, then for ERROR
// and Diagnostics double blanks merge; a cut keeps only whole characters that fit 299 units.
void CheckStoredText(const std::wstring& input, int32_t category, const char16_t* stored)
{
    const std::u32string got = ReadCharacters(stored);
    std::u32string expected;
    for (const wchar_t unit : input) {
        const auto c = static_cast<char32_t>(unit);
        expected += !IsScalarValue(c) ? U'\uFFFD' : c < 0x20 ? U' ' : c;
    }
    if (category == kLogError || category == kLogDiagnostics) {
        std::u32string merged = expected;
        auto blanks = [](char32_t a, char32_t b) { return a == U' ' && b == U' '; };
        merged.erase(std::unique(merged.begin(), merged.end(), blanks), merged.end());
        FUZZ_CHECK(merged.compare(0, got.size(), got) == 0, "the text is the input with double blanks merged");
        FUZZ_CHECK(got.size() == merged.size() || Units(expected) > kMaxUnits,
                   "a text is cut only when it is too long");
        return;
    }
    FUZZ_CHECK(expected.compare(0, got.size(), got) == 0, "the text is the input, cleaned");
    FUZZ_CHECK(got.size() == expected.size() || Units(got) + Units(expected[got.size()]) > kMaxUnits,
               "a text is cut only where the next character would not fit");
}

void CheckRecord(const Logger& logger, int32_t index)
{
    int32_t category = -7;
    int64_t time = kUntouchedTime;
    const char16_t* text = logger.GetRecord(index, category, time);
    const int32_t count = ModelCount();
    const bool inRange = index < count && index >= -count;
    const uint64_t sequence = g_added - count + (index >= 0 ? index : count + index);
    const ModelRecord& expected = g_model[inRange ? sequence % kReadable : 0];
    if (!inRange || !expected.readable) {
        FUZZ_CHECK(text == nullptr && category == 0 && time == kUntouchedTime,
                   inRange ? "a record with an empty text reads back as nothing"
                           : "an index outside the records finds nothing");
        return;
    }
    FUZZ_CHECK(text != nullptr, "every record in range with a text is found");
    FUZZ_CHECK(HashText(text) == expected.textHash, "a record keeps its text until it is dropped");
    FUZZ_CHECK(category == expected.category, "a record keeps its category");
    FUZZ_CHECK(time >= expected.earliest && time <= expected.latest, "a record keeps its time");
}

void Remember(const ModelRecord& record) { g_model[g_added++ % kReadable] = record; }

std::wstring TakeText(ByteReader& in)
{
    std::wstring text;
    for (uint16_t word; !in.Empty() && text.size() < kMaxInputUnits && (word = in.Word()) != 0;) {
        if (word == 0xFFF0) text += static_cast<wchar_t>(0x10000 + (in.Word() << 4));
        else if (word == 0xFFF1) text += static_cast<wchar_t>(0x110000 + in.Word());
        else if (word == 0xFFF2) text += static_cast<wchar_t>(-1 - static_cast<int>(in.Word()));
        else text += static_cast<wchar_t>(word);
    }
    return text;
}

void AddOne(Logger& logger, ByteReader& in, bool throughLogRecord)
{
    const auto category = static_cast<int32_t>(static_cast<int8_t>(in.Byte()));
    const std::wstring text = TakeText(in);
    ModelRecord record{!text.empty(), category, g_nextTime, g_nextTime, 0};
    if (throughLogRecord) {
        record.earliest = static_cast<int64_t>(std::time(nullptr));
        LogRecord(text.c_str(), category);
        record.latest = static_cast<int64_t>(std::time(nullptr));
    } else {
        logger.AddRecordAt(text.c_str(), category, g_nextTime++);
    }
    FUZZ_CHECK(g_loggerBusy.load() == 0, "the busy counter is back to zero");

    int32_t gotCategory;
    int64_t time;
    const char16_t* stored = logger.GetRecord(-1, gotCategory, time);
    if (record.readable) {
        FUZZ_CHECK(stored != nullptr, "the newest record is found at -1");
        CheckStoredText(text, category, stored);
        record.textHash = HashText(stored);
    }
    Remember(record);
    CheckCount(logger);
    CheckRecord(logger, -1);
}

void AddRun(Logger& logger, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i, ++g_nextTime) {
        logger.AddRecordAt(L"r", kLogInformation, g_nextTime);
        Remember({true, kLogInformation, g_nextTime, g_nextTime, HashText(u"r")});
    }
    CheckCount(logger);
}

void CheckCopy(const Logger& logger, int32_t index, size_t bufferUnits)
{
    int32_t category;
    int64_t time;
    const char16_t* text = logger.GetRecord(index, category, time);
    const auto buffer = ExactBuffer<wchar_t>(bufferUnits);
    const size_t written = CopyRecordText(text, buffer.get(), bufferUnits);
    if (bufferUnits == 0) return FUZZ_CHECK(written == 0, "nothing is copied into no room");
    const std::u32string characters = text ? ReadCharacters(text) : std::u32string();
    FUZZ_CHECK(written == std::min(characters.size(), bufferUnits - 1), "as many characters as fit are copied");
    FUZZ_CHECK(buffer[written] == 0, "the copy is terminated");
    for (size_t i = 0; i < written; ++i)
        FUZZ_CHECK(static_cast<char32_t>(buffer[i]) == characters[i], "the copy joins pairs into characters");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    CreateApplicationLogger();
    g_describeFuzzState = DescribeState;
    if (const char* prefill = std::getenv("OMBRELO_FUZZ_LOGGER_PREFILL"))
        AddRun(*g_logger, static_cast<uint32_t>(std::strtoul(prefill, nullptr, 10)));
    return 0;
}

FUZZ_TARGET(in)
{
    Logger& logger = *g_logger;
    g_addedBeforeInput = g_added;
    // Keeps the ring turning whatever the inputs do: past its capacity every 3000 inputs or so.
    AddRun(logger, kTurnPerInput);
    bool ranRun = false;
    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        const int32_t count = ModelCount();
        // A run and a Clear are slow (2040 records, 61 MB): a few op values, a run once an input, a
        // Clear only once the ring has wrapped three times, so that the positions a long recording
        // reaches are not cleared away before they come.
        const bool run = op % 8 == 4 && !(op & 0x70) && !ranRun;
        const bool clear = op == 0x05 && g_added >= 3u * kLogCapacity;
        if (op % 8 <= 2 || (op % 8 == 4 && !run)) {
            AddOne(logger, in, false);
        } else if (op % 8 == 3) {
            AddOne(logger, in, true);
        } else if (run) {
            AddRun(logger, in.Byte() * 8u);
            ranRun = true;
        } else if (clear) {
            logger.Clear();
            g_added = 0;
            FUZZ_CHECK(logger.GetRecordCount() == 0, "a cleared log is empty");
        } else if (op % 8 == 5) {
            CheckRecord(logger, static_cast<int16_t>(in.Word()));
        } else if (op % 8 == 6) {
            // Near either end of the records and beyond, where off-by-one slips show.
            const auto raw = static_cast<int16_t>(in.Word());
            CheckRecord(logger, (op & 0x80) ? count + raw % 4 : raw < 0 ? -count + (-raw) % 4 - 2 : raw);
        } else {
            const auto index = static_cast<int32_t>(static_cast<int8_t>(in.Byte()));
            CheckCopy(logger, index, in.Byte() + (op & 0x80 ? 256u : 0u));
        }
    }

    CheckCount(logger);
    for (int32_t i = 0, count = ModelCount(); i < 4; ++i) {
        CheckRecord(logger, i);
        CheckRecord(logger, -1 - i);
        CheckRecord(logger, count + i);
        CheckRecord(logger, -count - 1 - i);
    }
}
