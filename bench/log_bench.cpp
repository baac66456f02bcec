// Measures the event log: creating it, 100000 readings-log rows added one by one (each add timed)
// into the new log and again after Clear Log, Clear Log on the full log, and the resident memory
// (VmRSS) of the process empty and full. Baselines of the same run: clearing the whole 61.2 MB
// ring, as a clear without a high-water mark must, and the adds into storage already touched.
// Goals: Clear Log on the full log <= 30 ms; p99 of the adds into the new log <= 10 us; the new
// log adds <= 1 MB resident memory.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

#include "measurement/readings_table.h"
#include "records/logger.h"
#include "records/readings_log.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRows = 100000;

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A field of /proc/self/status ("VmRSS:", "VmHWM:"), in kB; -1 when it cannot be read.
long ReadStatusKilobytes(const char* field)
{
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kilobytes = -1;
    const size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, field, length) == 0) kilobytes = std::strtol(line + length, nullptr, 10);
    }
    std::fclose(status);
    return kilobytes;
}

struct AddTimes {
    double p50 = 0;
    double p99 = 0;
    double max = 0;
};

// Adds kRows copies of row, one every ten seconds of log time, and times each add in microseconds.
AddTimes AddRows(Logger& logger, const wchar_t* row)
{
    std::vector<double> took(kRows);
    const int64_t start = 1796432776;
    for (int i = 0; i < kRows; ++i) {
        const Clock::time_point begin = Clock::now();
        logger.AddRecordAt(row, kLogInformation, start + 10LL * i);
        took[i] = std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
    }
    std::sort(took.begin(), took.end());
    return {took[kRows / 2], took[kRows * 99 / 100], took.back()};
}

}  // namespace

int main()
{
    // The widest row the readings log makes.
    for (int field = 0; field < kReadingsLogFieldCount; ++field) {
        const wchar_t* text = field >= 9 && field < 16 ? L"123456.78" : L"12345.67";
        std::wcsncpy(g_readingsTable.text[kReadingsLogCells[field]], text, kCellTextSize);
    }
    wchar_t row[kLogTextUnits];
    const size_t rowLength = BuildReadingsLogRow(g_readingsTable.text, g_readingsTable.state, row);

    const long residentBefore = ReadStatusKilobytes("VmRSS:");
    Clock::time_point begin = Clock::now();
    auto logger = std::make_unique<Logger>();
    const double createMs = MillisecondsSince(begin);
    const long residentEmpty = ReadStatusKilobytes("VmRSS:");

    const AddTimes fresh = AddRows(*logger, row);
    const long residentFull = ReadStatusKilobytes("VmRSS:");

    begin = Clock::now();
    logger->Clear();
    const double clearMs = MillisecondsSince(begin);
    begin = Clock::now();
    logger->Clear();
    const double clearEmptyMs = MillisecondsSince(begin);

    const AddTimes warm = AddRows(*logger, row);

    // Baseline: every unit of the ring set to 0, as a clear that does not know where records
    // reached must do, on storage already touched.
    const size_t ringBytes = static_cast<size_t>(kLogCapacity) * kLogTextUnits * sizeof(char16_t);
    std::vector<char16_t> ring(ringBytes / sizeof(char16_t), u'x');
    begin = Clock::now();
    std::memset(ring.data(), 0, ringBytes);
    const double wholeRingMs = MillisecondsSince(begin);
    volatile char16_t keep = ring[ring.size() / 2];
    (void)keep;

    std::printf("rows                           %d x %zu units\n", kRows, rowLength);
    std::printf("create the log                 %8.3f ms\n", createMs);
    std::printf("resident memory                %8.1f MB before, %.1f MB with the empty log, %.1f MB full\n",
                residentBefore / 1024.0, residentEmpty / 1024.0, residentFull / 1024.0);
    std::printf("add a row, new log             p50 %6.3f us  p99 %6.3f us  max %8.1f us\n", fresh.p50, fresh.p99,
                fresh.max);
    std::printf("add a row, after Clear Log     p50 %6.3f us  p99 %6.3f us  max %8.1f us (baseline)\n", warm.p50,
                warm.p99, warm.max);
    std::printf("Clear Log, full log            %8.3f ms\n", clearMs);
    std::printf("Clear Log, empty log           %8.3f ms\n", clearEmptyMs);
    std::printf("zero the whole ring            %8.3f ms (baseline: %.1f MB)\n", wholeRingMs, ringBytes / 1e6);
    const bool clearMet = clearMs <= 30.0;
    const bool addMet = fresh.p99 <= 10.0;
    const bool memoryMet = residentBefore >= 0 && residentEmpty - residentBefore <= 1024;
    std::printf("goal Clear Log on the full log <= 30 ms: %s\n", clearMet ? "met" : "NOT met");
    std::printf("goal p99 of 100000 adds into the new log <= 10 us: %s\n", addMet ? "met" : "NOT met");
    std::printf("goal the empty log adds <= 1 MB resident: %s\n", memoryMet ? "met" : "NOT met");
    return clearMet && addMet && memoryMet ? 0 : 1;
}
