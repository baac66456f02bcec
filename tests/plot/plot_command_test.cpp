// The command behind ombrelo-plot: the default chart path beside the log, and the result codes
// for files that cannot be read or written.
#include <gtest/gtest.h>

#include <cstdio>

#include "plot/plot_command.h"
#include "plot_test_support.h"

namespace {

TEST(PlotCommand, DefaultChartPathIsBesideTheLog)
{
    const struct { const char* log; const char* chart; } kCases[] = {
        {"run7.txt", "run7.svg"},
        {"/home/a/logs/run7.txt", "/home/a/logs/run7.svg"},
        {"C:\\Users\\a\\Documents\\Zentarix\\Ombrelo\\OmbreloLog.txt", "C:\\Users\\a\\Documents\\Zentarix\\Ombrelo\\OmbreloLog.svg"},
        {"dir.v2/log", "dir.v2/log.svg"},
        {"C:\\dir.v2\\log", "C:\\dir.v2\\log.svg"},
        {".hidden", ".hidden.svg"},
        {"a.b.txt", "a.b.svg"},
    };
    for (const auto& c : kCases) EXPECT_EQ(GetDefaultChartPath(c.log), c.chart) << c.log;
}

TEST(PlotCommand, ResultCodes)
{
    const std::string folder = ::testing::TempDir();
    const std::string log = folder + "plot_command_log.txt";
    const std::string chart = folder + "plot_command_log.svg";
    std::vector<TestRow> rows = MakeRows(20);
    rows[4].fail = true;
    const struct {
        std::string logText;  // empty: the log does not exist
        std::string chartPath;
        int result;
        std::string message;  // part of the message; every file error gives the system's reason
    } kCases[] = {
        {BuildLogText(rows), chart, kPlotOk, "chart of 20 rows (1 FAIL) written to " + chart},
        {BuildLogText({rows[0]}), chart, kPlotOk, "chart of 1 row (0 FAIL) written to " + chart},
        {"", chart, kPlotCannotRead, "plot_command_log.txt: cannot be opened: "},
        {BuildLogText({rows[0]}), folder + "no such folder/x.svg", kPlotCannotWrite, "x.svg: cannot be created: "},
        {BuildLogText({rows[0]}, 5), chart, kPlotOk,
         "chart of 1 row (0 FAIL) written to " + chart + "\nnote: line 3 of the log announces 5 rows; the file holds 1"},
        // Nothing is written for a file that is not a log.
        {"Time,Voltage\r\n12:00,12.0\r\n", chart, kPlotNotALog, "not a readings log"},
#ifndef _WIN32
        {BuildLogText(rows), "/dev/full", kPlotCannotWrite, "/dev/full: could not be written completely: "},
#endif
    };
    for (const auto& c : kCases) {
        std::remove(chart.c_str());
        std::remove(log.c_str());
        if (!c.logText.empty()) {
            std::FILE* file = std::fopen(log.c_str(), "wb");
            ASSERT_NE(file, nullptr);
            std::fwrite(c.logText.data(), 1, c.logText.size(), file);
            std::fclose(file);
        }
        std::string message;
        EXPECT_EQ(PlotReadingsLogFile(log, c.chartPath, message), c.result) << message;
        if (c.result == kPlotOk) {
            EXPECT_EQ(message, c.message);
        } else {
            EXPECT_NE(message.find(c.message), std::string::npos) << message;
        }
        EXPECT_EQ(ReadFileBytes(chart).substr(0, 5), c.result == kPlotOk ? "<?xml" : "") << c.message;
    }
    // A file far larger than any log is refused unparsed; a failed read gives the system's reason.
    std::FILE* file = std::fopen(log.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fseek(file, kMaxLogBytes, SEEK_SET);
    std::fputc('x', file);
    std::fclose(file);
    std::string message;
    EXPECT_EQ(PlotReadingsLogFile(log, chart, message), kPlotCannotRead);
    EXPECT_EQ(message, log + ": cannot be read: larger than 64 MB, far more than a readings log can hold");
#ifndef _WIN32
    EXPECT_EQ(PlotReadingsLogFile(folder, chart, message), kPlotCannotRead);  // a folder opens here
    EXPECT_EQ(message, folder + ": cannot be read: Is a directory");
#endif
    std::remove(log.c_str());
    std::remove(chart.c_str());
}

}  // namespace
