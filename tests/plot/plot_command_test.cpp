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
        {"run7.txt", "run7.svg"}, {"/home/a/logs/run7.txt", "/home/a/logs/run7.svg"},
        {"C:\\Users\\a\\Documents\\Zentarix\\Ombrelo\\OmbreloLog.txt", "C:\\Users\\a\\Documents\\Zentarix\\Ombrelo\\OmbreloLog.svg"},
        {"dir.v2/log", "dir.v2/log.svg"}, {"C:\\dir.v2\\log", "C:\\dir.v2\\log.svg"},
        {".hidden", ".hidden.svg"},       {"a.b.txt", "a.b.svg"},
    };
    for (const auto& c : kCases) EXPECT_EQ(GetDefaultChartPath(c.log), c.chart) << c.log;
}

TEST(PlotCommand, ResultCodes)
{
    const std::string folder = ::testing::TempDir(), log = folder + "plot_command_log.txt", chart = folder + "plot_command_log.svg";
    std::vector<TestRow> rows = MakeRows(20);
    rows[4].fail = true;
    const std::string one = BuildLogText({rows[0]}), oneWritten = "chart of 1 row (0 FAIL) written to " + chart;
    const struct {
        std::string logPath, logText;  // empty text: the log does not exist
        std::string chartPath;
        int result;
        std::string message;  // the whole message when written; else part of it, every file error with the system's reason
        long textAt;          // where the log's text starts in the file
    } kCases[] = {
        {log, BuildLogText(rows), chart, kPlotOk, "chart of 20 rows (1 FAIL) written to " + chart, 0},
        {log, one, chart, kPlotOk, oneWritten, 0},
        {log, BuildLogText({rows[0]}, 5), chart, kPlotOk, oneWritten + "\nnote: line 3 of the log announces 5 rows; the file holds 1", 0},
        {log, "", chart, kPlotCannotRead, "plot_command_log.txt: cannot be opened: ", 0},
        {log, one, folder + "no such folder/x.svg", kPlotCannotWrite, "x.svg: cannot be created: ", 0},
        // Nothing is written for a file that is not a log; one far larger than any log is refused unparsed.
        {log, "Time,Voltage\r\n12:00,12.0\r\n", chart, kPlotNotALog, "not a readings log", 0},
        {log, "x", chart, kPlotCannotRead, log + ": cannot be read: larger than 64 MB, far more than a readings log can hold", kMaxLogBytes},
#ifndef _WIN32
        {log, BuildLogText(rows), "/dev/full", kPlotCannotWrite, "/dev/full: could not be written completely: ", 0},
        {folder, "", chart, kPlotCannotRead, folder + ": cannot be read: Is a directory", 0},  // a folder opens here
#endif
    };
    for (const auto& c : kCases) {
        std::remove(chart.c_str());
        std::remove(log.c_str());
        if (!c.logText.empty()) {
            std::FILE* file = std::fopen(log.c_str(), "wb");
            ASSERT_NE(file, nullptr);
            std::fseek(file, c.textAt, SEEK_SET);
            std::fwrite(c.logText.data(), 1, c.logText.size(), file);
            std::fclose(file);
        }
        std::string message;
        EXPECT_EQ(PlotReadingsLogFile(c.logPath, c.chartPath, message), c.result) << message;
        EXPECT_TRUE(c.result == kPlotOk ? message == c.message : message.find(c.message) != std::string::npos)
            << message << "\n expected: " << c.message;
        EXPECT_EQ(ReadFileBytes(chart).substr(0, 5), c.result == kPlotOk ? "<?xml" : "") << c.message;
    }
    std::remove(log.c_str());
    std::remove(chart.c_str());
}

}  // namespace
