// What every fuzz target shares: a check that ends the run with a message (so libFuzzer keeps the
// input as a crash, also in a build without assertions) and a reader of the input's bytes that
// answers zeros once they run out, so that every input is a valid program for a target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

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

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size), at_(0) {}

    bool Empty() const { return at_ >= size_; }
    size_t Remaining() const { return at_ < size_ ? size_ - at_ : 0; }
    const uint8_t* Rest() const { return data_ + at_; }
    void Skip(size_t count) { at_ = count < Remaining() ? at_ + count : size_; }

    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t Word()  // little-endian, as the tester's own words
    {
        const uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    uint32_t Long()
    {
        const uint32_t low = Word();
        return low | (static_cast<uint32_t>(Word()) << 16);
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_;
};
