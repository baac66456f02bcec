// The harness every fuzz target shares: a check that ends the run with a message (so libFuzzer keeps
// the input as a crash, also in a build without assertions), a reader of the input's bytes that
// answers zeros once they run out (so that every input is a valid program for a target), the entry
// point built on that reader, buffers of an exact size for ASan, and the tables and text helpers
// more than one target needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "device/tester_protocol.h"

// A target whose state outlives one input says here what state a failure happened in.
inline void (*g_describeFuzzState)() = nullptr;

[[noreturn]] inline void FailCheck(const char* file, int line, const char* condition, const char* why)
{
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s (%s)\n", file, line, condition, why);
    if (g_describeFuzzState) g_describeFuzzState();
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(condition, why) \
    ((condition) ? static_cast<void>(0) : FailCheck(__FILE__, __LINE__, #condition, why))

// The input consumed from the front, as FuzzedDataProvider does, little-endian like the tester's words.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }
    size_t Remaining() const { return at_ < size_ ? size_ - at_ : 0; }
    const uint8_t* Rest() const { return data_ + at_; }
    void Skip(size_t count) { at_ = count < Remaining() ? at_ + count : size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t Word() { const uint16_t low = Byte(); return static_cast<uint16_t>(low | (Byte() << 8)); }
    uint32_t Long() { const uint32_t low = Word(); return low | (static_cast<uint32_t>(Word()) << 16); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// FUZZ_TARGET(in) { ... } is the target's body, run once an input with `in` reading its bytes.
#define FUZZ_TARGET(reader)                                                  \
    static void RunFuzzInput(ByteReader& reader);                            \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) \
    {                                                                        \
        ByteReader input(data, size);                                        \
        RunFuzzInput(input);                                                 \
        return 0;                                                            \
    }                                                                        \
    static void RunFuzzInput(ByteReader& reader)

// A heap buffer of exactly `count` elements, so that ASan sees a read or write of one more.
template <class T>
std::unique_ptr<T[]> ExactBuffer(size_t count) { return std::unique_ptr<T[]>(new T[count]); }

// The int32 fields of DeviceReadings in their order, with the ReadingField that addresses each.
struct ReadingWords {
    ReadingField field;
    std::atomic<int32_t>* (*first)(DeviceReadings&);
    int count;
};

inline constexpr ReadingWords kReadingWords[] = {
    {ReadingField::TotalPower, [](DeviceReadings& r) { return &r.totalPower; }, 1},
    {ReadingField::VoltageMin, [](DeviceReadings& r) { return r.voltageMin; }, kVoltageMinMaxChannels},
    {ReadingField::Voltage, [](DeviceReadings& r) { return r.voltage; }, kChannelCount},
    {ReadingField::VoltageMax, [](DeviceReadings& r) { return r.voltageMax; }, kVoltageMinMaxChannels},
    {ReadingField::Ripple, [](DeviceReadings& r) { return r.ripple; }, kRippleChannels},
    {ReadingField::CurrentMin, [](DeviceReadings& r) { return r.currentMin; }, kChannelCount},
    {ReadingField::Current, [](DeviceReadings& r) { return r.current; }, kChannelCount},
    {ReadingField::CurrentMax, [](DeviceReadings& r) { return r.currentMax; }, kChannelCount},
    {ReadingField::Timing, [](DeviceReadings& r) { return &r.timing[0][0]; }, kTimedChannels * kTimingsPerChannel},
    {ReadingField::SlewRate, [](DeviceReadings& r) { return r.slewRate; }, kTimedChannels},
    {ReadingField::TurnOnSlope, [](DeviceReadings& r) { return r.turnOnSlope; }, kTimedChannels},
    {ReadingField::VoltageSequence, [](DeviceReadings& r) { return r.voltageSequence; }, kTimedChannels},
    {ReadingField::TimeSequence, [](DeviceReadings& r) { return r.timeSequence; }, kTimedChannels},
};

// visit(field, word) for every int32 word of r, in the table's order.
template <class Visit>
void ForEachReadingWord(DeviceReadings& r, Visit visit)
{
    for (const ReadingWords& words : kReadingWords)
        for (int i = 0; i < words.count; ++i) visit(words.field, words.first(r)[i]);
}

// A Unicode scalar value: a character a text may hold, neither a surrogate nor beyond U+10FFFF.
constexpr bool IsScalarValue(uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

// The pieces between separators; a text ending in the separator ends in an empty piece.
inline std::vector<std::string> Split(const std::string& text, const std::string& separator)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + separator.size())
        pieces.push_back(text.substr(start, end - start));
    pieces.push_back(text.substr(start));
    return pieces;
}
