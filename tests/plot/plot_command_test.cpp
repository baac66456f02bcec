// The command behind ombrelo-plot: the default chart path beside the log, and the result codes
// for files that cannot be read or written.
#include <gtest/gtest.h>

#include <cstdio>

#include "plot/plot_command.h"
#include "plot_test_support.h"

namespace {

TEST(PlotCommand, DefaultChartPathIsBesideTheLog)
{
    struct Case {
        const char* log;
        const char* chart;
    };
    const Case kCases[] = {
        {"run7.txt", "run7.svg"},
        {"/home/a/logs/run7.txt", "/home/a/logs/run7.svg"},
        {"C:\\Users\\a\\Documents\\Zentarix\\Ombrelo\\OmbreloLog.txt",
         "C:\\Users\\a\\Documents\\Zentarix\\Ombrelo\\OmbreloLog.svg"},
        {"dir.v2/log", "dir.v2/log.svg"},
        {"C:\\dir.v2\\log", "C:\\dir.v2\\log.svg"},
        {".hidden", ".hidden.svg"},
        {"a.b.txt", "a.b.svg"},
    };
    for (const Case& c : kCases) EXPECT_EQ(GetDefaultChartPath(c.log), c.chart) << c.log;
}

TEST(PlotCommand, ResultCodes)
{
    const std::string folder = ::testing::TempDir();
    const std::string log = folder + "plot_command_log.txt";
    const std::string chart = folder + "plot_command_log.svg";
    std::vector<TestRow> rows;
    for (int i = 0; i < 20; ++i) rows.push_back(MakeNominalRow(kTestStart + i));
    rows[4].fail = true;
    std::FILE* file = std::fopen(log.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const std::string text = BuildLogText(rows);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);

    std::string message;
    EXPECT_EQ(PlotReadingsLogFile(log, chart, message), kPlotOk) << message;
    EXPECT_EQ(message, "chart of 20 rows (1 FAIL) written to " + chart);
    EXPECT_EQ(ReadTextFile(chart).substr(0, 5), "<?xml");

    // One row is "1 row"; every file error gives the system's reason.
    file = std::fopen(log.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const std::string oneRow = BuildLogText({rows[0]});
    std::fwrite(oneRow.data(), 1, oneRow.size(), file);
    std::fclose(file);
    EXPECT_EQ(PlotReadingsLogFile(log, chart, message), kPlotOk) << message;
    EXPECT_EQ(message, "chart of 1 row (0 FAIL) written to " + chart);
    EXPECT_EQ(PlotReadingsLogFile(folder + "no such log.txt", chart, message), kPlotCannotRead);
    EXPECT_NE(message.find("no such log.txt: cannot be opened: "), std::string::npos) << message;
    EXPECT_EQ(PlotReadingsLogFile(log, folder + "no such folder/x.svg", message), kPlotCannotWrite);
    EXPECT_NE(message.find("x.svg: cannot be created: "), std::string::npos) << message;

    file = std::fopen(log.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("Time,Voltage\r\n12:00,12.0\r\n", file);
    std::fclose(file);
    std::remove(chart.c_str());
    EXPECT_EQ(PlotReadingsLogFile(log, chart, message), kPlotNotALog);
    EXPECT_NE(message.find("not a readings log"), std::string::npos) << message;
    // Nothing is written for a file that is not a log.
    EXPECT_TRUE(ReadTextFile(chart).empty());
    std::remove(log.c_str());
}

}  // namespace
