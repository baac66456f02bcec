// Fuzz target: DecodeReply of any command byte (the program's own and unknown ones) over any reply
// data of any length up to kMaxReplyData.
//
// Input: command, length (little-endian word, taken modulo kMaxReplyData + 1), then the reply
// bytes (repeated when shorter than the length), and last the bytes the readings start as.
//
// Checked: a command without a layout or a reply shorter than its layout's minimum is refused with
// the readings untouched; any other reply decodes, exactly as the copy of its first minLength
// bytes alone does (held in a buffer of that size, so ASan sees a read of the bytes beyond);
// nothing but the fields the command's table rows name changes; every decoded value keeps its
// rule's sentinels and range: a word sentinel only from its raw word, timings either a sentinel or
// 0..65533, the -12V voltage never above 1000, a copied value equal to its raw value.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "device/tester_protocol.h"
#include "fuzz/fuzz_support.h"

namespace {

// The readings as numbers: the int32 words in kReadingWords' order, then settings bytes, then powerStatus.
constexpr int kWordCount = [] { int n = 0; for (const ReadingWords& w : kReadingWords) n += w.count; return n; }();
constexpr int kFlatCount = kWordCount + kSettingsSize + 1;

template <class Visit>
void ForEachNumber(DeviceReadings& r, Visit visit)
{
    ForEachReadingWord(r, [&](ReadingField, std::atomic<int32_t>& word) { visit(word); });
    for (auto& b : r.deviceSettings) visit(b);
    visit(r.powerStatus);
}

std::vector<int64_t> Flatten(DeviceReadings& r)
{
    std::vector<int64_t> flat;
    ForEachNumber(r, [&](auto& number) { flat.push_back(number.load()); });
    return flat;
}

void Fill(DeviceReadings& r, ByteReader in)  // a copy: the same readings can be filled twice
{
    ForEachNumber(r, [&](auto& number) {
        if constexpr (sizeof number == 4) StoreWord(number, static_cast<int32_t>(in.Long()));
        else StoreByte(number, in.Byte());
    });
}

// Where field[index] lies among the numbers; -1 for a field that does not exist.
int FlatIndex(ReadingField field, int index)
{
    if (field == ReadingField::Settings) return index < kSettingsSize ? kWordCount + index : -1;
    if (field == ReadingField::PowerStatus) return index == 0 ? kWordCount + kSettingsSize : -1;
    for (int base = 0; const ReadingWords& words : kReadingWords) {
        if (words.field == field) return index < words.count ? base + index : -1;
        base += words.count;
    }
    return -1;
}

// The raw value of a row's k-th item: 0 for an unmeasured one, else read little-endian as the row's type.
int32_t RawValue(const uint8_t* reply, const DecodeRule& rule, int k)
{
    uint32_t word = 0;
    for (uint32_t i = 0; rule.scale != ScaleRule::Zero && i < RawSize(rule.type); ++i)
        word |= static_cast<uint32_t>(reply[rule.offset + k * rule.stride + i]) << (8 * i);
    return rule.type == RawType::S16 ? static_cast<int16_t>(word) : static_cast<int32_t>(word);
}

// Per sentinel rule, the one raw value each sentinel comes from.
const struct {
    SentinelRule rule;
    int32_t raw, value;
    const char* why;
} kSentinels[] = {
    {SentinelRule::MinimumUnset, 0x7FFF, kNotAvailable, "minimum sentinel only from 0x7FFF"},
    {SentinelRule::MaximumUnset, -0x8000, kNotAvailable, "maximum sentinel only from -0x8000"},
    {SentinelRule::WordUnset, 0xFFFF, kNotAvailable, "word sentinel only from 0xFFFF"},
    {SentinelRule::TimingWord, 0xFFFF, kNotAvailable, "timing N/A only from 0xFFFF"},
    {SentinelRule::TimingWord, 0xFFFE, kTimedOut, "timing T/O only from 0xFFFE"},
    {SentinelRule::ByteUnset, 0xFF, kNotAvailable, "byte sentinel only from 0xFF"},
};

void CheckValue(const DecodeRule& rule, int32_t raw, int64_t v)
{
    bool sentinel = false;
    for (const auto& s : kSentinels) {
        if (s.rule != rule.sentinel) continue;
        FUZZ_CHECK((v == s.value) == (raw == s.raw), s.why);
        sentinel = sentinel || v == s.value;
    }
    if (rule.sentinel == SentinelRule::TimingWord)
        FUZZ_CHECK(sentinel || (v >= 0 && v <= 65533), "a timing is a sentinel or 0..65533");
    if (sentinel) return;
    const bool byte = rule.field == ReadingField::PowerStatus || rule.field == ReadingField::Settings;
    const double bound = std::abs(static_cast<double>(raw)) * rule.factor + 1.0;
    switch (rule.scale) {
    case ScaleRule::Copy:
        if (byte) FUZZ_CHECK(v == (raw & 0xFF), "a byte field holds its raw byte");
        else FUZZ_CHECK(v == raw, "a copied value is its raw value");
        break;
    case ScaleRule::Zero: FUZZ_CHECK(v == 0, "an unmeasured value is 0"); break;
    case ScaleRule::Multiply:
        FUZZ_CHECK(std::abs(static_cast<double>(v)) <= bound, "a scaled value stays within raw x factor");
        FUZZ_CHECK((v >= 0) == (raw >= 0) || v == 0, "scaling keeps the sign");
        break;
    case ScaleRule::MinusTwelve:
        FUZZ_CHECK(v <= 1000, "the -12V voltage is never above 1000");
        FUZZ_CHECK(v >= -161300, "the -12V voltage stays within its 16-bit raw range");
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Every row must be reachable: its command has a layout, and the row lies within the layout's
    // minimum, which is all DecodeReply promises to read.
    uint32_t ruleCount = 0;
    const DecodeRule* rules = DecodeTable(ruleCount);
    for (const DecodeRule& rule : std::span(rules, ruleCount)) {
        const ReplyLayout* layout = FindReplyLayout(rule.command);
        FUZZ_CHECK(layout != nullptr, "a table row's command has a reply layout");
        FUZZ_CHECK(rule.scale == ScaleRule::Zero ||
                       rule.offset + (rule.count - 1u) * rule.stride + RawSize(rule.type) <= layout->minLength,
                   "a table row lies within its layout's minimum length");
        for (int k = 0; k < rule.count; ++k)
            FUZZ_CHECK(FlatIndex(rule.field, rule.firstIndex + k) >= 0, "a table row addresses an existing field");
    }
    return 0;
}

FUZZ_TARGET(in)
{
    const uint8_t command = in.Byte();
    const uint32_t length = in.Word() % (kMaxReplyData + 1);
    // The reply data in a buffer of exactly its length; its bytes from the input, repeated.
    const size_t given = std::min<size_t>(in.Remaining(), length);
    const auto reply = ExactBuffer<uint8_t>(length);
    for (uint32_t i = 0; i < length; ++i) reply[i] = given > 0 ? in.Rest()[i % given] : static_cast<uint8_t>(i);
    in.Skip(given);

    const auto readings = std::make_unique<DeviceReadings>(), fromPrefix = std::make_unique<DeviceReadings>();
    Fill(*readings, in);
    Fill(*fromPrefix, in);
    const std::vector<int64_t> before = Flatten(*readings);
    const ReplyLayout* layout = FindReplyLayout(command);
    const bool decoded = DecodeReply(command, reply.get(), length, *readings);
    const std::vector<int64_t> after = Flatten(*readings);
    if (!layout || length < layout->minLength) {
        FUZZ_CHECK(!decoded, "no layout or a short reply is refused");
        FUZZ_CHECK(after == before, "a refused reply leaves the readings untouched");
        return;
    }
    FUZZ_CHECK(decoded, "a reply of at least the minimum length decodes");

    // The same reply cut to its minimum decodes to the same readings.
    const auto prefix = ExactBuffer<uint8_t>(layout->minLength);
    std::memcpy(prefix.get(), reply.get(), layout->minLength);
    FUZZ_CHECK(DecodeReply(command, prefix.get(), layout->minLength, *fromPrefix), "the minimum-length prefix decodes");
    FUZZ_CHECK(Flatten(*fromPrefix) == after, "bytes beyond the minimum length are ignored");

    // Only the fields of the command's rows change, each to a value its rule allows.
    std::vector<bool> written(kFlatCount, false);
    uint32_t ruleCount = 0;
    const DecodeRule* rules = DecodeTable(ruleCount);
    for (const DecodeRule& rule : std::span(rules, ruleCount)) {
        for (int k = 0; rule.command == command && k < rule.count; ++k) {
            const int flat = FlatIndex(rule.field, rule.firstIndex + k);
            written[flat] = true;
            CheckValue(rule, RawValue(reply.get(), rule, k), after[flat]);
        }
    }
    for (int i = 0; i < kFlatCount; ++i)
        FUZZ_CHECK(written[i] || after[i] == before[i], "a field no row of the command names is untouched");
}
