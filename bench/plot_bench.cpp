// Measures ombrelo-plot on full logs of 100000 rows written by Save Log itself: the time to read,
// check, reduce and draw a log into its SVG file beside the time Save Log took to write it in the
// same run, and the size of the SVG. Two logs: a burn-in (noise, a few sags, a drift) and the
// worst case for size (every voltage in and out of its band on every row).
// Goals: <= 1 s per chart, SVG < 2 MB.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <string>

#include <unistd.h>

#include "plot/plot_command.h"
#include "plot/readings_chart.h"
#include "plot/readings_log_reader.h"
#include "records/readings_log.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
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

// Fills the logger with 100000 rows, one every 10 s, as a long recording makes them.
void FillLog(bool worstCase)
{
    g_logger->Clear();
    const int64_t start = 1796432776;
    unsigned seed = 12345;
    auto noise = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return static_cast<double>((seed >> 16) & 0x7FFF) / 16383.5 - 1.0;
    };
    char text[400];
    wchar_t row[kLogTextUnits];
    for (int i = 0; i < 100000; ++i) {
        const double load = 1.0 + 0.3 * std::sin(i / 700.0);
        double v12 = 12.05 - 0.1 * (load - 1.0) + 0.03 * noise();
        double v5 = 5.02 + 0.02 * noise() + (i > 90000 ? (i - 90000) * 0.00003 : 0.0);
        double v33 = 3.31 + 0.01 * noise();
        double vm12 = -11.98 + 0.03 * noise();
        double vsb = 5.01 + 0.02 * noise();
        if (i % 9973 == 5000) v12 = 11.1;
        if (worstCase && i % 2 == 0) {
            v12 = i % 4 == 0 ? 13.0 : 11.0;
            v5 = 5.9;
            v33 = 2.9;
            vm12 = -9.0;
            vsb = 4.0;
        }
        const bool fail = v12 < 11.4 || v12 > 12.6 || v5 < 4.75 || v5 > 5.25 || v33 < 3.14 || v33 > 3.47;
        std::snprintf(text, sizeof text,
                      "%.2f,%.2f,%.2f,8.00,%.2f,%.2f,%.2f,12.00,%.2f,%.2f,%.2f,9.00,%.2f,%.2f,%.2f,15.00,"
                      "%.2f,%.2f,0.50,%.2f,%.2f,%.2f,%.2f,%.2f,0.27,%.2f,%.2f,0.89,%.2f,%.2f,0.12,%.2f,%s",
                      v12, 3.4 * load, v12 * 3.4 * load, v5, 2.1 * load, v5 * 2.1 * load, v33, 1.5 * load,
                      v33 * 1.5 * load, v12 - 0.02, 6.2 * load, (v12 - 0.02) * 6.2 * load, vm12, vsb,
                      vsb * 0.5, v12 + 0.01, 4.0 * load, (v12 + 0.01) * 4.0 * load, v12, v12 * 0.27, v5,
                      v5 * 0.89, v33, v33 * 0.12, fail ? "FAIL" : "PASS");
        size_t n = 0;
        for (; text[n] != 0 && n + 1 < static_cast<size_t>(kLogTextUnits); ++n) row[n] = static_cast<wchar_t>(text[n]);
        row[n] = 0;
        g_logger->AddRecordAt(row, kLogInformation, start + 10LL * i);
    }
}

bool MeasureOne(const char* name, bool worstCase, const std::string& folder)
{
    FillLog(worstCase);
    const std::string logPath = folder + "/bench-" + name + ".txt";
    const std::string svgPath = folder + "/bench-" + name + ".svg";
    std::wstring widePath(logPath.begin(), logPath.end());
    SetNextSaveFileName(widePath.c_str());
    Clock::time_point begin = Clock::now();
    SaveReadingsLog(nullptr);
    const double saveSeconds = SecondsSince(begin);

    // Best of three whole runs, as the tool does it: read, check, reduce, draw, write.
    double plotSeconds = 1e9;
    std::string message;
    for (int run = 0; run < 3; ++run) {
        begin = Clock::now();
        const int result = PlotReadingsLogFile(logPath, svgPath, message);
        plotSeconds = std::min(plotSeconds, SecondsSince(begin));
        if (result != kPlotOk) {
            std::printf("%s: %s\n", name, message.c_str());
            return false;
        }
    }
    // The drawing alone, from rows already parsed.
    ReadingsLogData log;
    std::string text;
    {
        std::FILE* file = std::fopen(logPath.c_str(), "rb");
        char buffer[65536];
        size_t got;
        while (file != nullptr && (got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
        if (file != nullptr) std::fclose(file);
    }
    begin = Clock::now();
    ParseReadingsLog(text, log, message);
    const double parseSeconds = SecondsSince(begin);
    begin = Clock::now();
    const std::string chart = BuildReadingsChart(log, name);
    const double drawSeconds = SecondsSince(begin);

    const long logBytes = FileSize(logPath);
    const long svgBytes = FileSize(svgPath);
    std::printf("\n%s log: %zu rows (%lld FAIL), %ld bytes\n", name, log.rows.size(),
                static_cast<long long>(log.failCount), logBytes);
    std::printf("  save log (line by line)   %.3f s\n", saveSeconds);
    std::printf("  plot (whole tool)         %.3f s  = %.2f x Save Log (parse %.3f s, draw %.3f s)\n",
                plotSeconds, plotSeconds / saveSeconds, parseSeconds, drawSeconds);
    std::printf("  svg                       %ld bytes (%.2f MB), %.1f bytes per row\n", svgBytes,
                svgBytes / 1048576.0, static_cast<double>(svgBytes) / 100000.0);
    const bool met = plotSeconds <= 1.0 && svgBytes > 0 && svgBytes < 2L * 1024 * 1024;
    std::printf("  goals (<= 1 s, < 2 MB): %s\n", met ? "met" : "MISSED");
    std::remove(logPath.c_str());
    std::remove(svgPath.c_str());
    return met;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string folder;
    if (argc > 1) {
        folder = argv[1];
    } else {
        char base[] = "/tmp/ombrelo-bench-plot-XXXXXX";
        if (mkdtemp(base) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        folder = base;
    }
    // The save machinery makes its output folder under the documents folder: keep it in here.
    setenv("HOME", folder.c_str(), 1);
    CreateApplicationLogger();
    MeasureOne("burn-in", false, folder);
    MeasureOne("worst-case", true, folder);
    for (const char* made : {"/Documents/Zentarix/Ombrelo", "/Documents/Zentarix", "/Documents"}) {
        rmdir((folder + made).c_str());
    }
    if (argc <= 1) rmdir(folder.c_str());
    return 0;
}
