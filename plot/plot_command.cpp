// Reading the log file whole, drawing it and writing the chart in one piece.
#include "plot/plot_command.h"

#include "plot/readings_chart.h"
#include "plot/readings_log_reader.h"

namespace {

size_t FindNameStart(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? 0 : slash + 1;
}

bool ReadWholeFile(std::FILE* file, std::string& text)
{
    char buffer[64 * 1024];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        if (static_cast<long long>(text.size() + got) > kMaxLogBytes) return false;
        text.append(buffer, got);
    }
    return std::ferror(file) == 0;
}

}  // namespace

std::string GetDefaultChartPath(const std::string& logPath)
{
    const size_t nameStart = FindNameStart(logPath);
    const size_t dot = logPath.find_last_of('.');
    // A leading dot names a hidden file; it is not an extension.
    if (dot == std::string::npos || dot <= nameStart) return logPath + ".svg";
    return logPath.substr(0, dot) + ".svg";
}

int PlotReadingsLogFile(const std::string& logPath, const std::string& svgPath, std::string& message)
{
    std::FILE* in = OpenPlotFile(logPath, "rb");
    if (in == nullptr) {
        message = logPath + ": cannot be opened";
        return kPlotCannotRead;
    }
    std::string text;
    const bool read = ReadWholeFile(in, text);
    std::fclose(in);
    if (!read) {
        message = logPath + ": cannot be read, or is too large for a readings log";
        return kPlotCannotRead;
    }
    ReadingsLogData log;
    std::string why;
    if (ParseReadingsLog(text, log, why) != LogReadResult::Ok) {
        message = logPath + ": " + why;
        return kPlotNotALog;
    }
    text.clear();
    text.shrink_to_fit();
    const std::string chart = BuildReadingsChart(log, logPath.substr(FindNameStart(logPath)));

    std::FILE* out = OpenPlotFile(svgPath, "wb");
    if (out == nullptr) {
        message = svgPath + ": cannot be created";
        return kPlotCannotWrite;
    }
    const bool written = std::fwrite(chart.data(), 1, chart.size(), out) == chart.size();
    if (std::fclose(out) != 0 || !written) {
        message = svgPath + ": could not be written completely";
        return kPlotCannotWrite;
    }
    message = "chart of " + std::to_string(log.rows.size()) + " rows (" +
              std::to_string(log.failCount) + " FAIL) written to " + svgPath;
    if (log.declaredCount != static_cast<long long>(log.rows.size())) {
        message += "\nnote: line 3 of the log announces " + std::to_string(log.declaredCount) +
                   " rows; the file holds " + std::to_string(log.rows.size());
    }
    return kPlotOk;
}
