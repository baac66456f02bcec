// Measures Save Log with a full log (100000 rows of 299 units, each line flushed as written)
// beside one bulk write of the same bytes in the same run, and the peak resident memory of the
// process holding the full log. Goals: Save Log <= 1 s and <= 5 x the bulk write; peak <= 70 MB.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <string>

#include <unistd.h>

#include "records/readings_log.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// VmHWM of /proc/self/status, in kB; -1 when it cannot be read.
long ReadPeakResidentKilobytes()
{
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kilobytes = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) kilobytes = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(status);
    return kilobytes;
}

long FileSize(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return -1;
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fclose(file);
    return size;
}

// The grid at its widest that still fits a row whole: 7 fields of 9 characters, 25 of 8.
void FillWidestGrid()
{
    for (int field = 0; field < kReadingsLogFieldCount; ++field) {
        const wchar_t* text = field >= 9 && field < 16 ? L"123456.78" : L"12345.67";
        std::wcsncpy(g_readingsTable.text[kReadingsLogCells[field]], text, kCellTextSize);
    }
    for (int cell = 0; cell < kCellCount; ++cell) g_readingsTable.state[cell] = CellState::Pass;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string folder;
    if (argc > 1) {
        folder = argv[1];
    } else {
        char base[] = "/tmp/ombrelo-bench-save-XXXXXX";
        if (mkdtemp(base) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        folder = base;
    }
    // The save machinery makes its output folder under the documents folder: keep it in here.
    setenv("HOME", folder.c_str(), 1);
    const std::string logPath = folder + "/bench-log.txt";
    const std::string bulkPath = folder + "/bench-bulk.txt";

    CreateApplicationLogger();
    FillWidestGrid();
    wchar_t row[kLogTextUnits];
    const size_t rowLength = BuildReadingsLogRow(g_readingsTable.text, g_readingsTable.state, row);
    // One row every ten seconds, as a long recording makes them: every time stamp differs.
    const int64_t start = 1796432776;
    for (int i = 0; i < 100000; ++i) g_logger->AddRecordAt(row, kLogInformation, start + 10LL * i);

    // Save Log as the button runs it, the prompt's answer given beforehand.
    std::wstring widePath(logPath.begin(), logPath.end());
    SetNextSaveFileName(widePath.c_str());
    Clock::time_point begin = Clock::now();
    SaveReadingsLog(nullptr);
    const double saveSeconds = SecondsSince(begin);
    const long peakKilobytes = ReadPeakResidentKilobytes();
    const long logBytes = FileSize(logPath);

    // The same bytes, formatted the same way into memory and written at once.
    begin = Clock::now();
    std::string bytes;
    bytes.reserve(static_cast<size_t>(logBytes > 0 ? logBytes : 0));
    bytes += kReadingsLogTitle;
    bytes += "\r\n";
    bytes += kReadingsLogUnderline;
    bytes += "\r\nNumber of records logged: 100000\r\n\r\n";
    bytes += kReadingsLogColumnHeader;
    bytes += "\r\n";
    char stamp[kTimeStampChars + 1];
    for (int32_t i = 0; i < g_logger->GetRecordCount(); ++i) {
        int32_t category;
        int64_t time;
        const char16_t* text = g_logger->GetRecord(i, category, time);
        FormatTimeStamp(time, stamp);
        bytes.append(stamp, kTimeStampChars);
        bytes += ',';
        for (const char16_t* p = text; *p != 0; ++p) bytes += ToFileByte(*p);
        bytes += "\r\n";
    }
    const double formatSeconds = SecondsSince(begin);
    Clock::time_point writeBegin = Clock::now();
    std::FILE* bulk = std::fopen(bulkPath.c_str(), "wb");
    if (bulk == nullptr) {
        std::perror("fopen");
        return 1;
    }
    std::fwrite(bytes.data(), 1, bytes.size(), bulk);
    std::fclose(bulk);
    const double writeSeconds = SecondsSince(writeBegin);
    const double bulkSeconds = formatSeconds + writeSeconds;

    const bool same = static_cast<long>(bytes.size()) == logBytes;
    std::printf("rows                     100000 x %zu units, file %ld bytes%s\n", rowLength, logBytes,
                same ? "" : " (bulk size differs!)");
    std::printf("save log (line by line)  %.3f s\n", saveSeconds);
    std::printf("bulk write               %.3f s (formatting %.3f s + one write %.3f s)\n", bulkSeconds,
                formatSeconds, writeSeconds);
    std::printf("ratio                    %.2f x the bulk write, %.1f x the write alone\n",
                saveSeconds / bulkSeconds, saveSeconds / writeSeconds);
    std::printf("peak resident memory     %.1f MB with the full log (VmHWM, before the bulk copy)\n",
                peakKilobytes / 1024.0);
    const bool met = saveSeconds <= 1.0 && saveSeconds <= 5.0 * bulkSeconds && peakKilobytes >= 0 &&
                     peakKilobytes <= 70 * 1024;
    std::printf("goals (<= 1 s, <= 5 x bulk, <= 70 MB): %s\n", met ? "met" : "MISSED");

    std::remove(logPath.c_str());
    std::remove(bulkPath.c_str());
    for (const char* made : {"/Documents/Zentarix/Ombrelo", "/Documents/Zentarix", "/Documents"}) {
        rmdir((folder + made).c_str());
    }
    if (argc <= 1) rmdir(folder.c_str());
    DestroyApplicationLogger();
    return 0;
}
