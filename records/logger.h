// The program's in-memory event log: a fixed ring of up to 100000 timestamped text records, each
// with a category. All storage is reserved once, so a long recording never grows memory. Texts are
// kept as 16-bit units on every platform (61.2 MB in all) and converted from wchar_t on the way in.
// The texts start as zero pages from the system and Clear empties only the slots written since the
// last clear, so the storage costs time and resident memory only as far as records have reached.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

enum LogCategory : int32_t {
    kLogInformation = 0,
    kLogLoopback = 1,
    kLogBenchmark = 2,
    kLogError = 3,
    kLogDiagnostics = 4,
    kLogFileOperation = 5,
    kLogResults = 6,
    kLogMinorError = 7,
    kLogPass = 8,
};

// The category's own name ("Information", "ERROR", ...); "" for a value outside the list.
const char* GetLogCategoryName(int32_t category);

// UTF-16 units of one record's text, terminator included.
constexpr int kLogTextUnits = 300;
// Slots allocated; one more than can be read, so a full ring never has head == oldest.
constexpr int32_t kLogCapacity = 100001;

class Logger {
public:
    // Allocates all three arrays (an allocation failure ends the program), then clears.
    Logger();
    virtual ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Stores text (any length; cut to 299 units) with the clock's current time, -1 when the
    // clock cannot be read.
    void AddRecord(const wchar_t* text, int32_t category);
    // The same with a given time; replays and tests use it.
    void AddRecordAt(const wchar_t* text, int32_t category, int64_t time);
    // Empties every slot under the busy counter: every unit of every slot written since the last
    // clear (the whole ring once it has wrapped) is set to 0.
    void Clear();
    int32_t GetRecordCount() const { return count; }
    // index 0 is the oldest record, -1 the newest. Null (and category 0, time untouched) for an
    // index outside the readable records; the pointer lives until the slot is overwritten.
    const char16_t* GetRecord(int32_t index, int32_t& category, int64_t& time) const;
    // Whether every unit of a slot's text is 0, whatever the readable records; true outside the
    // ring. For checks of what Clear leaves behind.
    bool IsSlotEmpty(int32_t slot) const;

private:
    void StoreWorkingText(const char16_t* working, int32_t category, int64_t time);

    int32_t capacity;
    char16_t* texts;
    int32_t* categories;
    int64_t* times;
    int32_t head;
    int32_t oldest;
    int32_t count;
    // One past the highest slot written since the last clear.
    int32_t highWater;
};

// Guard of the add and clear paths: a plain counter, not a lock. Written by whichever thread adds
// or clears (the UI thread in the program).
extern std::atomic<int32_t> g_loggerBusy;

// The application's Logger; empty until CreateApplicationLogger. UI thread (or the console
// monitor's main thread) only.
extern std::unique_ptr<Logger> g_logger;
// Called by the main window's initialisation (and the console monitor). Replaces any earlier one.
void CreateApplicationLogger();
// Called when the main window is destroyed.
void DestroyApplicationLogger();

// Adds one record to the application's Logger under the busy counter; nothing when there is no
// Logger yet.
void LogRecord(const wchar_t* text, int32_t category);

// Copies a record's text into a wchar_t buffer (surrogate pairs joined where wchar_t is 32-bit),
// always terminated; returns the units written without the terminator.
size_t CopyRecordText(const char16_t* text, wchar_t* buffer, size_t bufferUnits);
