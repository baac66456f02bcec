// The event log ring: bounded copies into preallocated slots, lookups from either end, and the
// application's single instance with its busy-counter guarded add path.
#include "records/logger.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

std::atomic<int32_t> g_loggerBusy{0};
std::unique_ptr<Logger> g_logger;

namespace {

constexpr char16_t kBlank = 0x20;

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Step 1 of an add: at most kLogTextUnits UTF-16 units of text, terminated at unit 300.
void CopyToWorkingText(const wchar_t* text, char16_t* working)
{
    size_t units = 0;
    if (text != nullptr) {
        for (const wchar_t* p = text; *p != 0 && units < kLogTextUnits; ++p) {
            const char32_t c = static_cast<char32_t>(*p);
            if constexpr (sizeof(wchar_t) == 2) {
                working[units++] = static_cast<char16_t>(c);
            } else if (c > 0xFFFF && c <= 0x10FFFF) {
                if (units + 2 > static_cast<size_t>(kLogTextUnits)) break;
                const char32_t v = c - 0x10000;
                working[units++] = static_cast<char16_t>(0xD800 + (v >> 10));
                working[units++] = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
            } else if (c > 0x10FFFF || IsHighSurrogate(c) || IsLowSurrogate(c)) {
                // Not a character: keep the position, never an unpaired surrogate.
                working[units++] = 0xFFFD;
            } else {
                working[units++] = static_cast<char16_t>(c);
            }
        }
    }
    working[units] = 0;
}

int64_t ReadSystemTime()
{
    const std::time_t now = std::time(nullptr);
    return now == static_cast<std::time_t>(-1) ? -1 : static_cast<int64_t>(now);
}

// Yields once when another add or clear is under way, then proceeds regardless.
void EnterBusy()
{
    if (g_loggerBusy.load(std::memory_order_relaxed) != 0) std::this_thread::yield();
    g_loggerBusy.fetch_add(1, std::memory_order_relaxed);
}

void LeaveBusy() { g_loggerBusy.fetch_sub(1, std::memory_order_relaxed); }

}  // namespace

const char* GetLogCategoryName(int32_t category)
{
    static const char* const kNames[] = {"Information", "Loopback",    "Benchmark",
                                         "ERROR",       "Diagnostics", "File op.",
                                         "Results",     "Minor Error", "PASS"};
    if (category < 0 || category >= static_cast<int32_t>(sizeof(kNames) / sizeof(kNames[0]))) return "";
    return kNames[category];
}

// The texts come zeroed from the system (fresh pages that nothing touches until a record lands
// there), so an empty log costs neither start-up time nor resident memory for its 61 MB.
Logger::Logger()
    : capacity(kLogCapacity),
      texts(static_cast<char16_t*>(std::calloc(static_cast<size_t>(kLogCapacity) * kLogTextUnits, sizeof(char16_t)))),
      categories(new int32_t[kLogCapacity]),
      times(new int64_t[kLogCapacity]),
      head(0),
      oldest(0),
      count(0),
      highWater(0)
{
    // The same out-of-memory end as the arrays' new[] below.
    if (texts == nullptr) throw std::bad_alloc();
    Clear();
}

Logger::~Logger()
{
    std::free(texts);
    delete[] categories;
    delete[] times;
}

void Logger::AddRecord(const wchar_t* text, int32_t category)
{
    AddRecordAt(text, category, ReadSystemTime());
}

void Logger::AddRecordAt(const wchar_t* text, int32_t category, int64_t time)
{
    char16_t working[kLogTextUnits + 1];
    CopyToWorkingText(text, working);

    // Control characters would break the one-line-per-record files built from these texts.
    for (char16_t* p = working; *p != 0; ++p) {
        if (*p < kBlank) *p = kBlank;
    }

    if (category == kLogError || category == kLogDiagnostics) {
        char16_t* out = working;
        for (const char16_t* in = working; *in != 0; ++in) {
            if (*in == kBlank && in[1] == kBlank) continue;
            *out++ = *in;
        }
        *out = 0;
    }

    StoreWorkingText(working, category, time);
}

void Logger::StoreWorkingText(const char16_t* working, int32_t category, int64_t time)
{
    char16_t* slot = texts + static_cast<size_t>(head) * kLogTextUnits;
    size_t units = 0;
    while (units < static_cast<size_t>(kLogTextUnits) && working[units] != 0) {
        slot[units] = working[units];
        ++units;
    }
    if (units < static_cast<size_t>(kLogTextUnits)) slot[units] = 0;
    slot[kLogTextUnits - 1] = 0;
    // A pair cut in half at the limit would leave half a character behind.
    if (IsHighSurrogate(slot[kLogTextUnits - 2])) slot[kLogTextUnits - 2] = 0;

    categories[head] = category;
    times[head] = time;
    if (head >= highWater) highWater = head + 1;

    ++head;
    if (head == capacity) head = 0;
    if (head == oldest) {
        ++oldest;
        if (oldest == capacity) oldest = 0;
    }
    if (count < capacity - 1) ++count;
}

void Logger::Clear()
{
    EnterBusy();
    // Only slots below the high-water mark were written since the last clear (all of them once
    // the ring has wrapped); the rest are still zero.
    std::memset(texts, 0, static_cast<size_t>(highWater) * kLogTextUnits * sizeof(char16_t));
    highWater = 0;
    head = 0;
    oldest = 0;
    count = 0;
    LeaveBusy();
}

const char16_t* Logger::GetRecord(int32_t index, int32_t& category, int64_t& time) const
{
    category = 0;
    // Bounded by the readable records, not only by the capacity: when the ring is full the slot
    // at head still holds the record just dropped, which must not come back at index count.
    if (index >= count || index < -count) return nullptr;
    int32_t slot;
    if (index >= 0) {
        slot = oldest + index;
        if (slot >= capacity) slot -= capacity;
    } else {
        slot = head + index;
        if (slot < 0) slot += capacity;
    }
    const char16_t* text = texts + static_cast<size_t>(slot) * kLogTextUnits;
    if (text[0] == 0) return nullptr;
    category = categories[slot];
    time = times[slot];
    return text;
}

bool Logger::IsSlotEmpty(int32_t slot) const
{
    if (slot < 0 || slot >= capacity) return true;
    const char16_t* text = texts + static_cast<size_t>(slot) * kLogTextUnits;
    for (int unit = 0; unit < kLogTextUnits; ++unit) {
        if (text[unit] != 0) return false;
    }
    return true;
}

void CreateApplicationLogger()
{
    g_logger.reset();
    g_logger = std::make_unique<Logger>();
}

void DestroyApplicationLogger() { g_logger.reset(); }

void LogRecord(const wchar_t* text, int32_t category)
{
    if (!g_logger) return;
    EnterBusy();
    g_logger->AddRecord(text, category);
    LeaveBusy();
}

size_t CopyRecordText(const char16_t* text, wchar_t* buffer, size_t bufferUnits)
{
    if (buffer == nullptr || bufferUnits == 0) return 0;
    size_t out = 0;
    if (text != nullptr) {
        for (const char16_t* p = text; *p != 0 && out + 1 < bufferUnits; ++p) {
            char32_t c = *p;
            if constexpr (sizeof(wchar_t) == 4) {
                if (IsHighSurrogate(c) && IsLowSurrogate(p[1])) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(p[1]) - 0xDC00);
                    ++p;
                }
            }
            buffer[out++] = static_cast<wchar_t>(c);
        }
    }
    buffer[out] = 0;
    return out;
}
