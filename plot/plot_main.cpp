// ombrelo-plot: draws a saved readings log as an SVG chart beside it (or where -o says).
//   ombrelo-plot LOG [-o OUT.svg]
// Exit codes: 0 written, 1 not a readings log, 2 usage, 3 log unreadable, 4 chart unwritable.
#include <cstdio>
#include <string>
#include <vector>

#include "plot/plot_files.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

void PrintUsage()
{
    std::fputs("usage: ombrelo-plot LOG [-o OUT.svg]\n"
               "Draws a readings log saved by Ombrelo as one SVG chart: each rail's voltage over\n"
               "time against its supply-on limits, the currents and the total power.\n"
               "Without -o the chart is written beside the log, as LOG with the extension .svg.\n"
               "Exit codes: 0 written, 1 not a readings log, 2 usage, 3 the log cannot be read,\n"
               "4 the chart cannot be written.\n",
               stdout);
}

// One line that names the problem, and where the help is.
int ReportUsageError(const std::string& problem)
{
    std::fprintf(stderr, "ombrelo-plot: %s\nTry 'ombrelo-plot --help' for more information.\n", problem.c_str());
    return kPlotUsage;
}

int RunPlot(const std::vector<std::string>& args)
{
    std::string logPath;
    std::string svgPath;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            PrintUsage();
            return kPlotOk;
        }
        if (arg == "-o") {
            if (i + 1 >= args.size() || args[i + 1].empty()) return ReportUsageError("-o needs a file name");
            if (!svgPath.empty()) return ReportUsageError("-o given twice");
            svgPath = args[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            return ReportUsageError("unknown option '" + arg + "'");
        } else if (arg.empty()) {
            return ReportUsageError("an empty LOG name");
        } else if (!logPath.empty()) {
            return ReportUsageError("one LOG only: '" + logPath + "' and '" + arg + "'");
        } else {
            logPath = arg;
        }
    }
    if (logPath.empty()) return ReportUsageError("no LOG given (a readings log saved by Ombrelo)");
    if (svgPath.empty()) svgPath = GetDefaultChartPath(logPath);
    std::string message;
    const int result = PlotReadingsLogFile(logPath, svgPath, message);
    std::fprintf(result == kPlotOk ? stdout : stderr, "%s%s\n", result == kPlotOk ? "" : "ombrelo-plot: ",
                 message.c_str());
    return result;
}

}  // namespace

#ifdef _WIN32
// The wide command line: a dropped log's path may hold any character.
int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(bytes > 0 ? static_cast<size_t>(bytes - 1) : 0, '\0');
        if (bytes > 1) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, arg.data(), bytes, nullptr, nullptr);
        args.push_back(arg);
    }
    const int result = RunPlot(args);
    if (result != kPlotOk) HoldConsoleAfterError();
    return result;
}
#else
int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    return RunPlot(args);
}
#endif
