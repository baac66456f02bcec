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
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "records/logger.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr int32_t kReadable = kLogCapacity - 1;
constexpr size_t kMaxInputUnits = 700;
constexpr int64_t kUntouchedTime = 0x5A5A5A5A5A5A;
constexpr uint32_t kTurnPerInput = 32;

struct ModelRecord {
    bool readable;
    int32_t category;
    int64_t earliest;  // the time given, or the clock's range around a LogRecord
    int64_t latest;
    uint64_t textHash;
};

std::vector<ModelRecord> g_model(kReadable);
uint64_t g_added = 0;  // since the last Clear
uint64_t g_addedBeforeInput = 0;
int64_t g_nextTime = 1000;

void DescribeState()
{
    std::fprintf(stderr,
                 "logger state: %" PRIu64 " records added since the last Clear, %" PRIu64
                 " before this input (OMBRELO_FUZZ_LOGGER_PREFILL=%" PRIu64 " retries it alone)\n",
                 g_added, g_addedBeforeInput, g_addedBeforeInput);
}

uint64_t HashText(const char16_t* text)
{
    uint64_t hash = 1469598103934665603ull;
    for (; *text != 0; ++text) hash = (hash ^ *text) * 1099511628211ull;
    return hash;
}

int32_t ModelCount() { return static_cast<int32_t>(g_added < kReadable ? g_added : kReadable); }

void CheckCount(const Logger& logger)
{
    FUZZ_CHECK(logger.GetRecordCount() == ModelCount(), "the count follows the records added");
}

bool IsHigh(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
size_t Utf16Units(char32_t c) { return c > 0xFFFF ? 2 : 1; }

// The characters a text should read back as, before any cut: non-characters become U+FFFD and
// control characters blanks.
std::u32string ExpectedCharacters(const std::wstring& text)
{
    std::u32string out;
    for (const wchar_t unit : text) {
        const auto c = static_cast<char32_t>(unit);
        if (!IsScalarValue(c))
            out += U'\uFFFD';
        else if (c < 0x20)
            out += U' ';
        else
            out += c;
    }
    return out;
}

std::u32string MergeBlanks(const std::u32string& text)
{
    std::u32string out;
    for (const char32_t c : text)
        if (!(c == U' ' && !out.empty() && out.back() == U' ')) out += c;
    return out;
}

// A stored text as characters, checking its units on the way.
std::u32string ReadCharacters(const char16_t* text)
{
    std::u32string out;
    size_t units = 0;
    for (const char16_t* p = text; *p != 0; ++p, ++units) {
        FUZZ_CHECK(*p >= 0x20, "no control character is stored");
        if (IsHigh(*p)) {
            FUZZ_CHECK(IsLow(p[1]), "a high surrogate is followed by its low one");
            out += 0x10000 + ((static_cast<char32_t>(*p) - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
            ++units;
        } else {
            FUZZ_CHECK(!IsLow(*p), "no low surrogate stands alone");
            out += *p;
        }
    }
    FUZZ_CHECK(units <= kLogTextUnits - 1, "a record holds at most 299 units");
    return out;
}

size_t CountUnits(const std::u32string& text)
{
    size_t units = 0;
    for (const char32_t c : text) units += Utf16Units(c);
    return units;
}

void CheckStoredText(const std::wstring& input, int32_t category, const char16_t* stored)
{
    const std::u32string got = ReadCharacters(stored);
    const std::u32string expected = ExpectedCharacters(input);
    if (category == kLogError || category == kLogDiagnostics) {
        const std::u32string merged = MergeBlanks(expected);
        FUZZ_CHECK(merged.compare(0, got.size(), got) == 0, "the text is the input with double blanks merged");
        if (got.size() < merged.size())
            FUZZ_CHECK(CountUnits(expected) > kLogTextUnits - 1, "a text is cut only when it is too long");
        return;
    }
    FUZZ_CHECK(expected.compare(0, got.size(), got) == 0, "the text is the input, cleaned");
    if (got.size() < expected.size())
        FUZZ_CHECK(CountUnits(got) + Utf16Units(expected[got.size()]) > kLogTextUnits - 1,
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

void Remember(const ModelRecord& record)
{
    g_model[g_added % kReadable] = record;
    ++g_added;
}

std::wstring TakeText(ByteReader& in)
{
    std::wstring text;
    while (!in.Empty() && text.size() < kMaxInputUnits) {
        const uint16_t word = in.Word();
        if (word == 0) break;
        if (word == 0xFFF0)
            text += static_cast<wchar_t>(0x10000 + (in.Word() << 4));
        else if (word == 0xFFF1)
            text += static_cast<wchar_t>(0x110000 + in.Word());
        else if (word == 0xFFF2)
            text += static_cast<wchar_t>(-1 - static_cast<int>(in.Word()));
        else
            text += static_cast<wchar_t>(word);
    }
    return text;
}

void AddOne(Logger& logger, ByteReader& in, bool throughLogRecord)
{
    const auto category = static_cast<int32_t>(static_cast<int8_t>(in.Byte()));
    const std::wstring text = TakeText(in);
    ModelRecord record{};
    record.category = category;
    if (throughLogRecord) {
        record.earliest = static_cast<int64_t>(std::time(nullptr));
        LogRecord(text.c_str(), category);
        record.latest = static_cast<int64_t>(std::time(nullptr));
    } else {
        record.earliest = record.latest = g_nextTime++;
        logger.AddRecordAt(text.c_str(), category, record.earliest);
    }
    FUZZ_CHECK(g_loggerBusy.load() == 0, "the busy counter is back to zero");

    int32_t gotCategory;
    int64_t time;
    const char16_t* stored = logger.GetRecord(-1, gotCategory, time);
    record.readable = !text.empty();
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
    static const char16_t kRunText[] = u"r";
    for (uint32_t i = 0; i < count; ++i) {
        const int64_t time = g_nextTime++;
        logger.AddRecordAt(L"r", kLogInformation, time);
        Remember({true, kLogInformation, time, time, HashText(kRunText)});
    }
    CheckCount(logger);
}

void CheckCopy(const Logger& logger, int32_t index, size_t bufferUnits)
{
    int32_t category;
    int64_t time;
    const char16_t* text = logger.GetRecord(index, category, time);
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[bufferUnits]);
    const size_t written = CopyRecordText(text, buffer.get(), bufferUnits);
    if (bufferUnits == 0) {
        FUZZ_CHECK(written == 0, "nothing is copied into no room");
        return;
    }
    const std::u32string characters = text ? ReadCharacters(text) : std::u32string();
    const size_t fits = std::min(characters.size(), bufferUnits - 1);
    FUZZ_CHECK(written == fits, "as many characters as fit are copied");
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
        switch (op % 8) {
        case 0:
        case 1:
        case 2: AddOne(logger, in, false); break;
        case 3: AddOne(logger, in, true); break;
        case 4:
            // A run and a Clear are slow (2040 records, 61 MB): a few op values, one run an input.
            if ((op & 0x70) || ranRun) {
                AddOne(logger, in, false);
                break;
            }
            AddRun(logger, in.Byte() * 8u);
            ranRun = true;
            break;
        case 5:
            // Only once the ring has wrapped three times: its 61 MB memset stays rare, and the
            // positions a long recording reaches are not cleared away before they come.
            if (op != 0x05 || g_added < 3u * kLogCapacity) {
                CheckRecord(logger, static_cast<int16_t>(in.Word()));
                break;
            }
            logger.Clear();
            g_added = 0;
            FUZZ_CHECK(logger.GetRecordCount() == 0, "a cleared log is empty");
            break;
        case 6: {
            const int32_t count = ModelCount();
            const auto raw = static_cast<int16_t>(in.Word());
            // Near either end of the records and beyond, where off-by-one slips show.
            const int32_t index = (op & 0x80) ? count + raw % 4 : raw < 0 ? -count + (-raw) % 4 - 2 : raw;
            CheckRecord(logger, index);
            break;
        }
        case 7: {
            const auto index = static_cast<int32_t>(static_cast<int8_t>(in.Byte()));
            CheckCopy(logger, index, in.Byte() + (op & 0x80 ? 256u : 0u));
            break;
        }
        }
    }

    CheckCount(logger);
    const int32_t count = ModelCount();
    for (int32_t i = 0; i < 4; ++i) {
        CheckRecord(logger, i);
        CheckRecord(logger, -1 - i);
        CheckRecord(logger, count + i);
        CheckRecord(logger, -count - 1 - i);
    }
}
