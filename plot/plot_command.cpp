// Reading the log file whole, drawing it and writing the chart in one piece.
#include "plot/plot_command.h"

#include <cerrno>
#include <cstring>

#include "plot/readings_chart.h"
#include "plot/readings_log_reader.h"

namespace {

size_t FindNameStart(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? 0 : slash + 1;
}

// "" when the whole file was read, else why not.
std::string ReadWholeFile(std::FILE* file, std::string& text)
{
    char buffer[64 * 1024];
    size_t got;
    errno = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        if (static_cast<long long>(text.size() + got) > kMaxLogBytes) {
            return "larger than " + std::to_string(kMaxLogBytes / (1024 * 1024)) +
                   " MB, far more than a readings log can hold";
        }
        text.append(buffer, got);
    }
    if (std::ferror(file) == 0) return "";
    return errno != 0 ? std::strerror(errno) : "read error";
}

// "1 row", "20 rows".
std::string CountRows(long long count) { return std::to_string(count) + (count == 1 ? " row" : " rows"); }

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
    errno = 0;
    std::FILE* in = OpenPlotFile(logPath, "rb");
    if (in == nullptr) {
        message = logPath + ": cannot be opened: " + std::strerror(errno);
        return kPlotCannotRead;
    }
    std::string text;
    const std::string readProblem = ReadWholeFile(in, text);
    std::fclose(in);
    if (!readProblem.empty()) {
        message = logPath + ": cannot be read: " + readProblem;
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

    errno = 0;
    std::FILE* out = OpenPlotFile(svgPath, "wb");
    if (out == nullptr) {
        message = svgPath + ": cannot be created: " + std::strerror(errno);
        return kPlotCannotWrite;
    }
    errno = 0;
    bool written = std::fwrite(chart.data(), 1, chart.size(), out) == chart.size();
    int error = errno;
    // A full disk may show only when the buffer is flushed on closing.
    if (std::fclose(out) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        message = svgPath + ": could not be written completely: " + (error != 0 ? std::strerror(error) : "write error");
        return kPlotCannotWrite;
    }
    message = "chart of " + CountRows(static_cast<long long>(log.rows.size())) + " (" +
              std::to_string(log.failCount) + " FAIL) written to " + svgPath;
    if (log.declaredCount != static_cast<long long>(log.rows.size())) {
        message += "\nnote: line 3 of the log announces " + CountRows(log.declaredCount) + "; the file holds " +
                   std::to_string(log.rows.size());
    }
    return kPlotOk;
}
