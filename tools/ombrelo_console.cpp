// ombrelo-console: the tester from a terminal (Linux) or a console window (Windows). "--once
// DEVICE" reads every measurement one time and prints it; "DEVICE" connects through the
// connection worker and, playing the main window's part, shows the readings twice a second, keeps
// the readings log on timer 2 and takes single-key commands, among them saving the readings log
// and the test report. "--test DEVICE" runs one unattended test for a test bench: connect,
// optionally switch the supply, let the readings settle for a number of poll cycles, judge, write
// the report and the log, and end with an exit code that tells the verdict. "--json" puts one
// JSON object per poll cycle on stdout; "--plot FILE" draws each saved log as an SVG chart.
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <thread>

#include "device/tester_device.h"
#include "device/utf8_text.h"
#include "measurement/cell_text.h"
#include "measurement/connection_worker.h"
#include "measurement/handshake.h"
#include "measurement/readings_table.h"
#include "ombrelo_version.h"
#include "records/logger.h"
#include "plot/plot_command.h"
#include "records/readings_log.h"
#include "records/test_report.h"
#include "tools/console_json.h"
#include "tools/console_platform.h"
#include "tools/console_screen.h"
#include "tools/console_test_run.h"
#include "tools/console_window_ops.h"

namespace {

constexpr auto kLoopStep = std::chrono::milliseconds(50);
// The test run watches the cycle count closely: it must ask the worker to stop within the
// 500 ms pause after the last settle cycle, so that no further cycle is made.
constexpr auto kTestLoopStep = std::chrono::milliseconds(10);
constexpr uint32_t kDefaultSettleCycles = 4;
constexpr uint32_t kMaxSettleCycles = 10000;
// Cycles the tester may take to offer the power switch before the test gives up on it.
constexpr uint32_t kPowerOfferCycles = 10;
// Into the worker's 500 ms pause: when the test asks for the minima and maxima reset.
constexpr auto kResetDelay = std::chrono::milliseconds(250);
constexpr auto kScreenPeriod = std::chrono::milliseconds(500);
// After WaitForWorkerExit: the worker may still be closing the port (at most about 2 s).
constexpr int kWorkerEndWaitMs = 5000;

// Written by the signal handler, read by the loop.
volatile std::sig_atomic_t g_signalled = 0;

// A stand-in for the main window: only its address is used.
int g_consoleWindow;

void OnSignal(int) { g_signalled = 1; }

// File and device names come from the command line and the keyboard as UTF-8 and go back out
// the same way, whatever the locale; bytes that are not UTF-8 pass through unchanged.
std::wstring DecodeFileName(const std::string& name)
{
    std::wstring wide;
    DecodeUtf8(name.c_str(), wide);
    return wide;
}

void PrintUsage(std::FILE* stream)
{
    fputs("usage: ombrelo-console [--cpu-cable] [--pcie-cable] [--log-interval S] [--json] [--plot FILE]\n"
          "                       [--reconnect] DEVICE\n"
          "       ombrelo-console --once DEVICE\n"
          "       ombrelo-console --test [--power on|off] [--settle N] [--report FILE] [--log FILE]\n"
          "                       [--plot FILE] [--force] [--cpu-cable] [--pcie-cable] [--log-interval S]\n"
          "                       [--json] DEVICE\n",
          stream);
    fputs(kDeviceHelpLine, stream);
    fputs("--log-interval S: a readings-log row every S seconds (1, 10, 30 or 60; default 10).\n"
          "--cpu-cable, --pcie-cable: declare the 12V CPU / 12V PCIe cable connected (its voltages can FAIL).\n"
          "--json: one JSON object per poll cycle on stdout instead of the screen (see the README).\n"
          "--reconnect: when the connection ends (lost, no answer, device gone), try the same DEVICE again\n"
          "every second instead of ending; for unattended monitoring.\n"
          "--plot FILE: after each saved log (the l key, or --test's --log) draw it as an SVG chart into\n"
          "FILE (see ombrelo-plot).\n"
          "Files: a name without a folder (or with a relative one) is taken from the current folder, in\n"
          "every mode; the full path of every file written is printed. No file is replaced unasked: the\n"
          "monitor asks (y/n, n by default) and, with keys from a pipe, refuses; --test refuses an\n"
          "existing --report, --log or --plot file unless --force is given.\n"
          "Monitor keys: p power on/off, r reset min/max, c toggle 12V CPU cable, e toggle 12V PCIe cable,\n"
          "l save the readings log, t save the test report, x clear the log, q quit.\n"
          "Saving asks for a file name (empty: the last one saved, first OmbreloLog.txt for the log and\n"
          "OmbreloReport.txt for the report; .txt is added to a name without an extension). From a\n"
          "pipe: one key per line, a file name after the key (\"l run7.txt\").\n"
          "--test: connect (identify, firmware check); with --power switch the supply first; wait N poll\n"
          "cycles (--settle, default 4) for the readings to settle; judge; write the test report and the\n"
          "readings log (which ends with a row of the judged readings) to the files given; end. Every\n"
          "file is checked before the tester is touched.\n"
          "PASS: no cell FAIL, the tester's voltages verdict PASS and its timings verdict not FAIL.\n"
          "On FAIL the failing cells are listed on stderr (\"5V Volt.\"); with --json a summary object ends\n"
          "the output.\n"
          "Exit codes (every mode): 0 PASS (or a normal end), 1 connection lost, 2 usage (also a file that\n"
          "--test may not write), 3 device cannot be opened (missing, no permission, busy), 4 no tester\n"
          "answers (Device not found!), 5 firmware needs an update, 6 --once: a request went unanswered,\n"
          "7 FAIL, 8 --report, --log or the --plot chart could not be written, 9 the tester refused or did\n"
          "not offer the --power switch.\n"
          "--version: print the version and end.\n",
          stream);
}

int64_t GetEpochMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The grid's texts and verdicts from the present values, as the window's display update makes them.
void RefreshGrid()
{
    FormatDisplayedCellTexts(g_readingsTable);
    g_readingsTable.Evaluate();
}

// The worker's account of the requests behind the latest cycle, when it is that cycle's: the line
// is written right after the count moved, and the next account comes a 500 ms pause later.
bool ReadLinkStats(JsonLinkStats& link)
{
    uint32_t latest = g_pollCycleCount.load(std::memory_order_acquire);
    if (g_pollCycleStats.cycle.load(std::memory_order_acquire) != latest)
        return false;
    link.requests = g_pollCycleStats.requests.load(std::memory_order_relaxed);
    link.failedRequests = g_pollCycleStats.failedRequests.load(std::memory_order_relaxed);
    link.longestReadMs = g_pollCycleStats.longestReadMs.load(std::memory_order_relaxed);
    link.longestOtherMs = g_pollCycleStats.longestOtherMs.load(std::memory_order_relaxed);
    link.steadyMs = g_pollCycleStats.endMs.load(std::memory_order_relaxed);
    return true;
}

void WriteCycleJson(uint32_t cycle)
{
    JsonCycleInput input;
    JsonLinkStats link;
    if (ReadLinkStats(link))
        input.link = &link;
    input.cycle = cycle;
    input.timeMs = GetEpochMs();
    input.table = &g_readingsTable;
    input.powerStatus = LoadByte(g_testerDevice.readings.powerStatus);
    input.totalPowerMw = static_cast<uint32_t>(LoadWord(g_testerDevice.readings.totalPower));
    input.cpu12vConnected = LoadByte(g_testerDevice.readings.deviceSettings[kSettingCpu12vCable]) != 0;
    input.pcie12vConnected = LoadByte(g_testerDevice.readings.deviceSettings[kSettingPcie12vCable]) != 0;
    WriteConsoleJsonLine(BuildCycleJson(input));
}

// A device the user cannot open is told apart from one where no tester answers, and a missing
// permission names the group and the udev rule that grant it.
bool CheckDeviceBeforeConnecting(const std::string& device)
{
    int error = CheckDeviceAccess(device);
    if (error == 0)
        return true;
    fprintf(stderr, "ombrelo-console: %s\n", DescribeDeviceOpenFailure(device, error).c_str());
    return false;
}

// After the worker ended by itself: when its open of the port failed (a port another program
// holds passes the access check above), why; "" when the port opened and no tester answered.
std::string DescribeWorkerOpenFailure(const std::string& device)
{
    int error = g_testerDevice.LastOpenError();
    return error == 0 ? std::string() : DescribeDeviceOpenFailure(device, error);
}

// ---- --once ----------------------------------------------------------------------------------

int RunOnce(const std::string& device)
{
    TesterDevice& tester = g_testerDevice;
    if (tester.Open(DecodeFileName(device).c_str()) != kSerialOpenOk) {
        int error = tester.LastOpenError();
        fprintf(stderr, "ombrelo-console: %s\n",
                error ? DescribeDeviceOpenFailure(device, error).c_str() : ("cannot open " + device).c_str());
        return kExitNoDevice;
    }
    uint8_t first = 0;
    uint8_t second = 0;
    if (!tester.Identify(first, second)) {
        tester.Close();
        fprintf(stderr, "ombrelo-console: no tester answers on %s (Device not found!)\n", device.c_str());
        return kExitNoTester;
    }
    printf("Tester on %s, firmware version bytes %u %u\n", device.c_str(), first, second);
    if (second == kFirmwareNeedsUpdate) {
        tester.Close();
        fprintf(stderr, "ombrelo-console: Device firmware needs to be updated!\n");
        return kExitFirmware;
    }
    struct Request {
        const char* name;
        bool (TesterDevice::*read)();
    };
    const Request requests[] = {
        {"settings", &TesterDevice::ReadSettings},   {"status", &TesterDevice::ReadStatus},
        {"voltages", &TesterDevice::ReadVoltages},   {"ripple", &TesterDevice::ReadRipple},
        {"currents", &TesterDevice::ReadCurrents},   {"timings", &TesterDevice::ReadTimings},
        {"slew and sequencing", &TesterDevice::ReadSlewAndSequence},
        {"voltage minima/maxima", &TesterDevice::ReadVoltageMinMax},
        {"current minima/maxima", &TesterDevice::ReadCurrentMinMax},
    };
    std::string unanswered;
    for (const Request& request : requests)
        if (!(tester.*request.read)())
            unanswered += unanswered.empty() ? request.name : std::string(", ") + request.name;
    tester.Close();

    g_readingsTable.CopyFromDevice(tester.readings);
    FormatDisplayedCellTexts(g_readingsTable);
    g_readingsTable.Evaluate();
    ScreenStyle style{IsTerminalOutput()};
    std::string screen = FormatStatusLines(tester.readings) + FormatSettingsLine(tester.readings) + "\n" +
                         FormatReadingsGrids(style);
    fputs(screen.c_str(), stdout);
    if (!unanswered.empty()) {
        fprintf(stderr, "ombrelo-console: the tester did not answer: %s\n", unanswered.c_str());
        return kExitNoAnswer;
    }
    return kExitOk;
}

// ---- monitor ---------------------------------------------------------------------------------

class TerminalMode {
public:
    void Enter() { changed = EnterKeyMode(); }
    void Restore()
    {
        if (changed)
            LeaveKeyMode();
        changed = false;
    }
    ~TerminalMode() { Restore(); }

private:
    bool changed = false;
};

struct Monitor {
    std::string device;
    // Timer 2 of the window, as the console's loop runs it.
    uint32_t logPeriodMs = 0;
    std::chrono::steady_clock::time_point nextLogRow;
    bool presetCpuCable = false;
    bool presetPcieCable = false;
    bool presetsApplied = false;
    bool quit = false;
    bool colour = false;
    bool terminal = false;
    bool json = false;
    uint32_t lastCycle = 0;
    // --plot: the chart drawn after every saved log.
    std::string plotName;
    // Charts this run has drawn: replaced by the next saved log's chart without asking.
    std::set<std::string> drawnCharts;
    // --reconnect: when the next try to connect again is due (none while connected).
    bool reconnect = false;
    std::chrono::steady_clock::time_point nextReconnect;
    // Keys come from a terminal, where someone can answer a question; the mode to leave for it.
    bool keysFromTerminal = false;
    TerminalMode* terminalMode = nullptr;
    // The names the two save keys offer: the last one saved, each kind its own.
    std::string logName = kDefaultLogName;
    std::string reportName = kDefaultReportName;
    // The answer to the last key, kept on the screen's status line until the next one.
    std::string status;
    // The count of worker messages when the present connection was started.
    int firstMessage = 0;
};

// What --test was asked to do.
struct TestOptions {
    bool enabled = false;
    int powerTarget = -1;  // -1: leave the supply as it is; 1 on; 0 off
    uint32_t settleCycles = kDefaultSettleCycles;
    std::string reportPath;
    std::string logPath;
    std::string chartPath;  // --plot, drawn from the --log file
    bool force = false;     // existing files may be replaced
};

// The answer to a key: printed at once (a pipe or a log keeps it) and kept on the status line of
// the screen, which a terminal redraws twice a second.
void Tell(Monitor& monitor, const std::string& text)
{
    monitor.status = text;
    WriteConsoleText(text + "\n");
}

// The Configure command's effect for one cable flag: edit the settings block, then ask the
// worker to write it.
void ToggleCable(Monitor& monitor, int settingsByte, const char* name)
{
    if (!IsConsoleControlEnabled(kConfigureButtonId) || g_workerRunning.load() == 0) {
        Tell(monitor, std::string("(not connected: ") + name + " cable flag unchanged)");
        return;
    }
    std::atomic<uint8_t>& flag = g_testerDevice.readings.deviceSettings[settingsByte];
    StoreByte(flag, LoadByte(flag) ? 0 : 1);
    g_settingsChangedEvent.Signal();
    Tell(monitor, std::string(name) + " cable: " + (LoadByte(flag) ? "connected" : "not connected"));
}

void PressPower(Monitor& monitor)
{
    // As the window's button: only while the worker offers it.
    if (!IsConsoleControlEnabled(kPowerButtonId) || g_workerRunning.load() == 0) {
        Tell(monitor, "(power switch not available now)");
        return;
    }
    RequestPowerSwitch(g_mainWindow);
    Tell(monitor, "power switch requested");
}

void PressResetMinMax(Monitor& monitor)
{
    if (!IsConsoleControlEnabled(kResetMinMaxButtonId) || g_workerRunning.load() == 0) {
        Tell(monitor, "(reset not available now)");
        return;
    }
    g_resetMinMaxEvent.Signal();
    Tell(monitor, "min/max reset requested");
}

void PressCpuCable(Monitor& monitor) { ToggleCable(monitor, kSettingCpu12vCable, "12V CPU"); }
void PressPcieCable(Monitor& monitor) { ToggleCable(monitor, kSettingPcie12vCable, "12V PCIe"); }
void PressQuit(Monitor& monitor) { monitor.quit = true; }

std::string TrimText(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// One line from the terminal, in its ordinary line mode. The screen waits meanwhile, as the
// window does behind its modal save dialog.
std::string AskLine(Monitor& monitor, const std::string& question)
{
    monitor.terminalMode->Restore();
    WriteConsoleText(question);
    std::string line;
    ReadInputLine(line);
    monitor.terminalMode->Enter();
    return TrimText(line);
}

// Whether path may be written now. A folder and the like are refused with the reason. An existing
// file is replaced only when the user at the terminal says so (n by default); with keys from a
// pipe nobody can say so, and the file stays.
bool MayWrite(Monitor& monitor, const std::string& path, const std::string& what)
{
    bool exists = false;
    std::string problem = CheckOutputPath(path, true, exists);
    if (!problem.empty()) {
        Tell(monitor, what + " not saved: " + problem);
        return false;
    }
    if (!exists)
        return true;
    if (!monitor.keysFromTerminal) {
        Tell(monitor, what + " not saved: " + path + " exists, and with keys from a pipe nobody can confirm "
                      "replacing it (give another name)");
        return false;
    }
    std::string answer = AskLine(monitor, path + " exists. Replace it? [y/N] ");
    if (answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes")
        return true;
    Tell(monitor, what + " not saved: " + path + " kept as it was");
    return false;
}

// Writes one file by the program's own writer, in both modes. "" when all of it was written,
// else why not in the system's words. Exclusive: a file that appeared meanwhile is not replaced.
std::string WriteOutputFile(const std::string& path, bool exclusive, const std::function<bool(std::FILE*)>& write)
{
    errno = 0;
    std::FILE* file = OpenOutputFile(path, exclusive);
    if (!file)
        return std::strerror(errno);
    errno = 0;
    bool ok = write(file);
    int error = errno;
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok)
        return "";
    return error != 0 ? std::strerror(error) : "not all of it was written";
}

bool WriteLogFile(std::FILE* file) { return WriteReadingsLog(file, g_logger.get()); }

bool WriteReportFile(std::FILE* file)
{
    std::string report = BuildTestReport(g_readingsTable.text, g_readingsTable.state,
                                         LoadByte(g_testerDevice.readings.powerStatus),
                                         static_cast<uint32_t>(LoadWord(g_testerDevice.readings.totalPower)));
    return WriteTestReport(file, report);
}

// Both save keys: the name typed (empty: the one offered) stands in for the save dialog's answer.
// Returns the full path written, or "" when nothing was.
std::string SaveFile(Monitor& monitor, const std::string& typed, std::string& offeredName, const std::string& what,
                     bool (*write)(std::FILE*))
{
    std::string name = typed.empty() ? offeredName : AddTextExtension(typed);
    std::string path = ResolveOutputPath(name, GetCurrentFolder());
    if (!MayWrite(monitor, path, what))
        return "";
    std::string problem = WriteOutputFile(path, false, write);
    if (!problem.empty()) {
        Tell(monitor, what + " could not be written to " + path + ": " + problem);
        return "";
    }
    offeredName = name;
    Tell(monitor, what + " saved to " + path);
    return path;
}

// Draws a saved log into its chart; message says what was written or why nothing was.
bool WriteChartOfLog(const std::string& logPath, const std::string& chartPath, std::string& message)
{
    // The same name for both would leave a chart where the log was.
    if (chartPath == logPath) {
        message = "the chart would replace the log " + logPath;
        return false;
    }
    return PlotReadingsLogFile(logPath, chartPath, message) == kPlotOk;
}

void PressSaveLog(Monitor& monitor, const std::string& name)
{
    std::string path = SaveFile(monitor, name, monitor.logName, "readings log", WriteLogFile);
    if (!path.empty() && !monitor.plotName.empty()) {
        std::string chart = ResolveOutputPath(monitor.plotName, GetCurrentFolder());
        std::string message;
        if (monitor.drawnCharts.count(chart) != 0 || chart == path || MayWrite(monitor, chart, "chart")) {
            bool drawn = WriteChartOfLog(path, chart, message);
            if (drawn)
                monitor.drawnCharts.insert(chart);
            Tell(monitor, drawn ? message : "chart not written: " + message);
        }
    }
    // As the window's Save Log: the tester's minima and maxima start afresh afterwards.
    g_resetMinMaxEvent.Signal();
}

void PressSaveReport(Monitor& monitor, const std::string& name)
{
    SaveFile(monitor, name, monitor.reportName, "test report", WriteReportFile);
}

void PressClearLog(Monitor& monitor)
{
    if (g_logger)
        g_logger->Clear();
    Tell(monitor, "readings log cleared");
}

// Every key of the monitor; new commands are added here. A key with a file name takes it from
// the rest of its line (from a pipe) or asks for it (on a terminal).
struct MonitorKey {
    char key;
    const char* help;
    void (*press)(Monitor&);
    void (*pressWithName)(Monitor&, const std::string&);
    std::string Monitor::*offeredName;  // the name an empty answer stands for
};

const MonitorKey kMonitorKeys[] = {
    {'p', "power on/off", PressPower, nullptr, nullptr},
    {'r', "reset min/max", PressResetMinMax, nullptr, nullptr},
    {'c', "12V CPU cable", PressCpuCable, nullptr, nullptr},
    {'e', "12V PCIe cable", PressPcieCable, nullptr, nullptr},
    {'l', "save log", nullptr, PressSaveLog, &Monitor::logName},
    {'t', "save report", nullptr, PressSaveReport, &Monitor::reportName},
    {'x', "clear log", PressClearLog, nullptr, nullptr},
    {'q', "quit", PressQuit, nullptr, nullptr},
};

const MonitorKey* FindKey(char key)
{
    for (const MonitorKey& k : kMonitorKeys)
        if (k.key == key)
            return &k;
    return nullptr;
}

std::string KeyHelp()
{
    std::string out = "keys:";
    for (const MonitorKey& k : kMonitorKeys)
        out += std::string(" ") + k.key + " " + k.help + ",";
    out.back() = '\n';
    return out;
}

// Keys from stdin: every byte from a terminal, the first character of every line from a pipe.
class KeyReader {
public:
    explicit KeyReader(bool fromTerminal) : terminal(fromTerminal) {}

    // Calls press for each key available now, without waiting.
    void ReadKeys(Monitor& monitor)
    {
        while (open) {
            char buffer[64];
            int n = ReadAvailableInput(buffer, sizeof buffer);
            if (n == 0)
                return;
            if (n < 0) {
                open = false;  // end of the pipe: keep monitoring without keys
                return;
            }
            for (int i = 0; i < n; ++i)
                Take(monitor, buffer[i]);
        }
    }

private:
    void Take(Monitor& monitor, char c)
    {
        if (terminal) {
            const MonitorKey* key = FindKey(c);
            if (key && key->press)
                key->press(monitor);
            else if (key)
                key->pressWithName(monitor, AskLine(monitor, "\nFile name [" + monitor.*key->offeredName + "]: "));
            return;
        }
        if (c != '\n') {
            line += c;
            return;
        }
        std::string command = TrimText(line);
        line.clear();
        const MonitorKey* key = command.empty() ? nullptr : FindKey(command[0]);
        if (key && key->press)
            key->press(monitor);
        else if (key)
            key->pressWithName(monitor, TrimText(command.substr(1)));
    }

    bool terminal;
    bool open = true;
    std::string line;
};

void ShowScreen(const Monitor& monitor)
{
    FormatDisplayedCellTexts(g_readingsTable);
    g_readingsTable.Evaluate();
    std::string screen;
    if (monitor.terminal)
        screen += "\x1b[H\x1b[2J";
    else
        screen += "\n";
    std::string state = g_workerRunning.load() ? "connected" : "connecting";
    screen += "Ombrelo monitor on " + monitor.device + " (" + state + ")\n";
    screen += FormatStatusLines(g_testerDevice.readings) + "\n";
    screen += FormatReadingsGrids(ScreenStyle{monitor.colour});
    int rows = g_logger ? g_logger->GetRecordCount() : 0;
    screen += "Readings log: " + std::to_string(rows) + " rows";
    if (monitor.logPeriodMs)
        screen += ", one every " + std::to_string(monitor.logPeriodMs / 1000) + " s";
    screen += "\n";
    std::vector<std::string> messages = GetConsoleMessages();
    for (const std::string& m : messages)
        screen += "! " + m + "\n";
    // A terminal's screen is redrawn in place: the last answer stays on it. Elsewhere every
    // answer is a line of its own already.
    if (monitor.terminal && !monitor.status.empty())
        screen += "> " + monitor.status + "\n";
    screen += KeyHelp();
    WriteConsoleText(screen);
}

// Cable flags from the command line: applied once the worker has read the tester's settings,
// which it shows by offering Configure (a missed read is tried again in the next cycles).
void ApplyPresets(Monitor& monitor)
{
    if (monitor.presetsApplied || g_workerRunning.load() == 0 || GetConsoleControlText(kPowerButtonId).empty() ||
        !IsConsoleControlEnabled(kConfigureButtonId))
        return;
    monitor.presetsApplied = true;
    if (!monitor.presetCpuCable && !monitor.presetPcieCable)
        return;
    if (monitor.presetCpuCable)
        StoreByte(g_testerDevice.readings.deviceSettings[kSettingCpu12vCable], 1);
    if (monitor.presetPcieCable)
        StoreByte(g_testerDevice.readings.deviceSettings[kSettingPcie12vCable], 1);
    g_settingsChangedEvent.Signal();
}

bool WaitForWorkerEnd(int timeoutMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (g_workerThreads.load(std::memory_order_acquire) != 0) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Timer 2: a readings-log row per period while the worker keeps the timer running. Rows take
// the texts and verdicts of the last screen, as the window's rows take the grid's.
void RunLogTimer(Monitor& monitor, std::chrono::steady_clock::time_point now)
{
    uint32_t period = GetConsoleLogTimerPeriod();
    if (period != monitor.logPeriodMs) {
        monitor.logPeriodMs = period;
        monitor.nextLogRow = now + std::chrono::milliseconds(period);
        return;
    }
    if (period == 0 || now < monitor.nextLogRow)
        return;
    AddReadingsLogRow();
    monitor.nextLogRow += std::chrono::milliseconds(period);
    if (monitor.nextLogRow < now)
        monitor.nextLogRow = now + std::chrono::milliseconds(period);
}

// The worker's messages since a connection began, read to tell why it ended.
bool HasMessageSince(int firstMessage, const char* text)
{
    std::vector<std::string> messages = GetConsoleMessages();
    int total = CountConsoleMessages();
    // The kept messages are the newest ones; those before firstMessage are skipped.
    int skip = firstMessage - (total - static_cast<int>(messages.size()));
    for (int i = skip < 0 ? 0 : skip; i < static_cast<int>(messages.size()); ++i)
        if (messages[i].find(text) != std::string::npos)
            return true;
    return false;
}

// Exit code and reason of a connection the worker ended by itself.
int ClassifyWorkerEnd(const std::string& device, int firstMessage, std::string& reason)
{
    reason = DescribeWorkerOpenFailure(device);
    if (!reason.empty())
        return kExitNoDevice;
    if (HasMessageSince(firstMessage, NarrowText(kFirmwareUpdateText).c_str())) {
        reason = NarrowText(kFirmwareUpdateText);
        return kExitFirmware;
    }
    if (HasMessageSince(firstMessage, NarrowText(kDeviceNotFoundText).c_str())) {
        reason = NarrowText(kDeviceNotFoundText);
        return kExitNoTester;
    }
    reason = "Connection lost";
    return kExitConnectionEnded;
}

// The line that says why a connection ended, for the reason ClassifyWorkerEnd gave.
std::string DescribeWorkerEnd(int exitCode, const std::string& device, const std::string& reason)
{
    return exitCode == kExitNoTester ? DescribeDeviceOpenFailure(device, 0) : reason;
}

// --reconnect, for unattended monitoring: a connection that ended (lost, no tester answering,
// the device gone for a moment) is tried again on the same device path every second, as a user
// pressing Connect would. A tester that needs a firmware update is not tried again.
constexpr auto kReconnectPeriod = std::chrono::seconds(1);

// Called while no worker runs. False when the monitor should end instead, with exitCode and
// reason telling why the connection ended.
bool ReconnectWhenDue(Monitor& monitor, std::chrono::steady_clock::time_point now, int& exitCode,
                      std::string& reason)
{
    if (monitor.nextReconnect == std::chrono::steady_clock::time_point{}) {
        std::string why;
        int code = ClassifyWorkerEnd(monitor.device, monitor.firstMessage, why);
        if (!monitor.reconnect || code == kExitFirmware) {
            exitCode = code;
            reason = why;
            return false;
        }
        fprintf(stderr, "ombrelo-console: %s; trying %s again every second\n",
                DescribeWorkerEnd(code, monitor.device, why).c_str(), monitor.device.c_str());
        monitor.nextReconnect = now + kReconnectPeriod;
        return true;
    }
    if (now < monitor.nextReconnect)
        return true;
    monitor.nextReconnect = now + kReconnectPeriod;
    if (CheckDeviceAccess(monitor.device) != 0)
        return true;  // not back yet
    EnableControl(g_mainWindow, kConnectButtonId, false);
    EnableControl(g_mainWindow, kRefreshButtonId, false);
    monitor.firstMessage = CountConsoleMessages();
    if (StartConnectionWorker(g_mainWindow))
        monitor.nextReconnect = {};
    return true;
}

int RunMonitor(Monitor& monitor)
{
    CatchStopSignals(OnSignal);

    monitor.terminal = IsTerminalOutput() && !monitor.json;
    monitor.colour = monitor.terminal;
    if (monitor.json)
        RouteConsoleTextToStderr();
    if (!CheckDeviceBeforeConnecting(monitor.device))
        return kExitNoDevice;
    TerminalMode terminalMode;
    terminalMode.Enter();
    monitor.terminalMode = &terminalMode;
    monitor.keysFromTerminal = IsTerminalInput();
    KeyReader keys(monitor.keysFromTerminal);
    CreateApplicationLogger();

    g_mainWindow = &g_consoleWindow;
    g_stopRequested.store(1);
    DisableDeviceControls(g_mainWindow);
    SetConsolePortName(monitor.device);
    EnableControl(g_mainWindow, kConnectButtonId, false);
    EnableControl(g_mainWindow, kRefreshButtonId, false);
    monitor.lastCycle = g_pollCycleCount.load(std::memory_order_acquire);
    monitor.firstMessage = CountConsoleMessages();
    StartConnectionWorker(g_mainWindow);

    int exitCode = kExitOk;
    std::string reason;
    auto nextScreen = std::chrono::steady_clock::now();
    while (!monitor.quit && !g_signalled) {
        keys.ReadKeys(monitor);
        ApplyPresets(monitor);
        auto now = std::chrono::steady_clock::now();
        // The worker ended by itself: refused, not found or lost.
        if (g_workerThreads.load(std::memory_order_acquire) == 0 && !ReconnectWhenDue(monitor, now, exitCode, reason))
            break;
        if (monitor.json) {
            uint32_t cycle = g_pollCycleCount.load(std::memory_order_acquire);
            if (cycle != monitor.lastCycle) {
                monitor.lastCycle = cycle;
                RefreshGrid();
                WriteCycleJson(cycle);
            }
        } else if (now >= nextScreen) {
            ShowScreen(monitor);
            nextScreen = now + kScreenPeriod;
        }
        RunLogTimer(monitor, now);
        std::this_thread::sleep_for(kLoopStep);
    }

    WaitForWorkerExit();
    bool ended = WaitForWorkerEnd(kWorkerEndWaitMs);
    terminalMode.Restore();
    // Said once, here, with the code that tells it: the worker's message was kept back.
    if (exitCode != kExitOk)
        fprintf(stderr, "ombrelo-console: %s\n", DescribeWorkerEnd(exitCode, monitor.device, reason).c_str());
    else
        WriteConsoleText(g_signalled ? "\nstopped by signal\n" : "\nquit\n");
    if (!ended) {
        fprintf(stderr, "ombrelo-console: the connection did not end in time\n");
        return kExitConnectionEnded;
    }
    DestroyApplicationLogger();
    return exitCode;
}

// ---- --test ---------------------------------------------------------------------------------

// Every file the run will write, checked before the tester is touched: a folder, a missing or
// read-only folder, an existing file without --force, or one file named twice would otherwise
// be found only after the whole test.
bool CheckTestOutputs(const TestOptions& test)
{
    struct Output {
        const char* option;
        const std::string& path;
    };
    const Output outputs[] = {{"--report", test.reportPath}, {"--log", test.logPath}, {"--plot", test.chartPath}};
    for (size_t i = 0; i < std::size(outputs); ++i) {
        if (outputs[i].path.empty())
            continue;
        for (size_t k = 0; k < i; ++k) {
            if (outputs[k].path == outputs[i].path) {
                fprintf(stderr, "ombrelo-console: %s and %s name the same file %s\n", outputs[k].option,
                        outputs[i].option, outputs[i].path.c_str());
                return false;
            }
        }
        bool exists = false;
        std::string problem = CheckOutputPath(outputs[i].path, test.force, exists);
        if (!problem.empty()) {
            fprintf(stderr, "ombrelo-console: %s: %s%s\n", outputs[i].option, problem.c_str(),
                    exists && !test.force ? " (give --force to replace it)" : "");
            return false;
        }
    }
    return true;
}

// One file of the run, with the line that says where it went or why it did not.
bool WriteTestFile(const TestOptions& test, const std::string& path, const char* what,
                   const std::function<bool(std::FILE*)>& write)
{
    std::string problem = WriteOutputFile(path, !test.force, write);
    if (problem.empty())
        fprintf(stderr, "ombrelo-console: %s written to %s\n", what, path.c_str());
    else
        fprintf(stderr, "ombrelo-console: the %s could not be written to %s: %s\n", what, path.c_str(),
                problem.c_str());
    return problem.empty();
}

// Steps of the run before the settle cycles are counted: the declared cables are written and the
// supply switched, then the tester's minima and maxima are reset, so that the judged cycles show
// the supply as it is now and not the switch-on or an earlier supply on the same tester.
enum class TestStage { Connecting, Switching, WaitingForCycle, Settling };

struct TestProgress {
    TestStage stage = TestStage::Connecting;
    uint32_t acceptedCycle = 0;  // the count when the connection was accepted
    uint32_t markCycle = 0;      // Switching done at this count
    uint32_t settleStart = 0;    // the judged cycles are the ones after this count
    bool powerAsked = false;
    std::chrono::steady_clock::time_point cycleSeen;  // when the last new count was seen
};

// Ends the run with an error: no verdict, no files.
int EndTestWithError(const Monitor& monitor, int exitCode, const std::string& reason, uint32_t cycles)
{
    fprintf(stderr, "ombrelo-console: test not completed: %s\n",
            DescribeWorkerEnd(exitCode, monitor.device, reason).c_str());
    if (monitor.json)
        WriteConsoleJsonLine(BuildSummaryJson(GetEpochMs(), cycles, TestVerdict{}, 0, exitCode, reason));
    return exitCode;
}

int RunTest(Monitor& monitor, const TestOptions& test)
{
    CatchStopSignals(OnSignal);

    // stdout carries the result: the final screen, or the JSON lines. Everything else is stderr.
    RouteConsoleTextToStderr();
    if (!CheckTestOutputs(test))
        return kExitUsage;
    if (!CheckDeviceBeforeConnecting(monitor.device))
        return kExitNoDevice;
    CreateApplicationLogger();

    g_mainWindow = &g_consoleWindow;
    g_stopRequested.store(1);
    DisableDeviceControls(g_mainWindow);
    SetConsolePortName(monitor.device);
    EnableControl(g_mainWindow, kConnectButtonId, false);
    EnableControl(g_mainWindow, kRefreshButtonId, false);
    const int firstMessage = CountConsoleMessages();
    const uint32_t startCycle = g_pollCycleCount.load(std::memory_order_acquire);
    monitor.lastCycle = startCycle;
    if (!StartConnectionWorker(g_mainWindow))
        return EndTestWithError(monitor, kExitConnectionEnded, "the connection could not be started", 0);

    TestProgress progress;
    int errorCode = kExitOk;
    std::string errorReason;
    uint32_t cycle = startCycle;
    progress.cycleSeen = std::chrono::steady_clock::now();
    while (true) {
        if (g_signalled) {
            errorCode = kExitConnectionEnded;
            errorReason = "stopped by signal";
            break;
        }
        if (g_workerThreads.load(std::memory_order_acquire) == 0) {
            errorCode = ClassifyWorkerEnd(monitor.device, firstMessage, errorReason);
            break;
        }
        cycle = g_pollCycleCount.load(std::memory_order_acquire);
        if (cycle != monitor.lastCycle) {
            monitor.lastCycle = cycle;
            progress.cycleSeen = std::chrono::steady_clock::now();
            RefreshGrid();
            if (monitor.json)
                WriteCycleJson(cycle - startCycle);
        }
        RunLogTimer(monitor, std::chrono::steady_clock::now());

        auto now = std::chrono::steady_clock::now();
        if (progress.stage == TestStage::Connecting && g_workerRunning.load() != 0 &&
            !GetConsoleControlText(kPowerButtonId).empty()) {
            // Accepted, settings and status read: the worker has set the Power button's text.
            progress.stage = TestStage::Switching;
            progress.acceptedCycle = cycle;
            ApplyPresets(monitor);
        }
        if (progress.stage == TestStage::Switching) {
            bool done = test.powerTarget < 0;
            if (!done && !progress.powerAsked) {
                uint8_t status = LoadByte(g_testerDevice.readings.powerStatus);
                bool isOn = (status & kPowerStatusOn) != 0;
                bool isOff = !isOn && (status & kPowerStatusOff) != 0;
                if ((test.powerTarget == 1 && isOn) || (test.powerTarget == 0 && isOff)) {
                    done = true;  // already as asked
                } else if (IsConsoleControlEnabled(kPowerButtonId) && (isOn || isOff)) {
                    RequestPowerSwitch(g_mainWindow);
                    progress.powerAsked = true;
                } else if (cycle - progress.acceptedCycle >= kPowerOfferCycles) {
                    errorCode = kExitPowerRefused;
                    errorReason = "the tester reports the supply neither on nor off: no power switch";
                    break;
                }
            } else if (!done && g_powerRequest.load() == 0) {
                done = true;
                if (HasMessageSince(firstMessage, "Not allowed")) {
                    errorCode = kExitPowerRefused;
                    errorReason = std::string("the tester refused to switch the supply ") +
                                  (test.powerTarget ? "on" : "off");
                    break;
                }
            }
            if (done) {
                progress.stage = TestStage::WaitingForCycle;
                progress.markCycle = cycle;
            }
        }
        // The reset goes out in the middle of a cycle's pause, well clear of the worker's test of
        // the event right after the count, so the cycle that sends it is known.
        if (progress.stage == TestStage::WaitingForCycle && cycle != progress.markCycle &&
            now - progress.cycleSeen >= kResetDelay) {
            g_resetMinMaxEvent.Signal();
            progress.settleStart = GetSettleStartAfterCycleEndRequest(cycle);
            progress.stage = TestStage::Settling;
        }
        if (progress.stage == TestStage::Settling && cycle - progress.settleStart >= test.settleCycles &&
            static_cast<int32_t>(cycle - progress.settleStart) >= 0)
            break;
        std::this_thread::sleep_for(kTestLoopStep);
    }

    WaitForWorkerExit();
    bool ended = WaitForWorkerEnd(kWorkerEndWaitMs);
    uint32_t cycles = g_pollCycleCount.load(std::memory_order_acquire) - startCycle;
    // A connection lost in the last cycle still counted that cycle: its values are stale.
    if (errorCode == kExitOk && HasMessageSince(firstMessage, "Connection lost")) {
        errorCode = kExitConnectionEnded;
        errorReason = "Connection lost";
    }
    if (errorCode == kExitOk && !ended) {
        errorCode = kExitConnectionEnded;
        errorReason = "the connection did not end in time";
    }
    if (errorCode != kExitOk)
        return EndTestWithError(monitor, errorCode, errorReason, cycles);

    // Judged as the window would judge the readings at this moment; the log ends with them.
    RefreshGrid();
    AddReadingsLogRow();
    uint8_t powerStatus = LoadByte(g_testerDevice.readings.powerStatus);
    TestVerdict verdict = JudgeTestRun(g_readingsTable.state, powerStatus);

    bool written = true;
    if (!test.reportPath.empty())
        written = WriteTestFile(test, test.reportPath, "test report", WriteReportFile) && written;
    if (!test.logPath.empty()) {
        bool logWritten = WriteTestFile(test, test.logPath, "readings log", WriteLogFile);
        written = logWritten && written;
        if (logWritten && !test.chartPath.empty()) {
            std::string message;
            bool drawn = WriteChartOfLog(test.logPath, test.chartPath, message);
            fprintf(stderr, "ombrelo-console: %s%s\n", drawn ? "" : "the chart could not be written: ",
                    message.c_str());
            written = drawn && written;
        }
    }

    int exitCode = !written ? kExitFilesNotWritten : verdict.pass ? kExitOk : kExitTestFail;
    if (!monitor.json) {
        std::string screen = FormatStatusLines(g_testerDevice.readings) + "\n" +
                             FormatReadingsGrids(ScreenStyle{IsTerminalOutput()});
        screen += std::string("Verdict: ") + (verdict.pass ? "PASS" : "FAIL") + "\n";
        fputs(screen.c_str(), stdout);
        fflush(stdout);
    } else {
        WriteConsoleJsonLine(BuildSummaryJson(GetEpochMs(), cycles, verdict, powerStatus, exitCode, ""));
    }
    if (!verdict.pass)
        fprintf(stderr, "ombrelo-console: %s\n", DescribeTestVerdict(verdict).c_str());
    DestroyApplicationLogger();
    return exitCode;
}

}  // namespace

int main(int argc, char** argv)
{
    PrepareConsoleProcess(argc, argv);
    if (PrintVersionIfAsked(argc, argv, "ombrelo-console"))
        return kExitOk;
    bool once = false;
    Monitor monitor;
    TestOptions test;
    bool testOnlyOption = false;
    // One line that names the problem, and where the help is.
    auto usageError = [](const std::string& message) {
        fprintf(stderr, "ombrelo-console: %s\nTry 'ombrelo-console --help' for more information.\n",
                message.c_str());
        return kExitUsage;
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--once")
            once = true;
        else if (arg == "--test")
            test.enabled = true;
        else if (arg == "--json")
            monitor.json = true;
        else if (arg == "--reconnect")
            monitor.reconnect = true;
        else if (arg == "--cpu-cable")
            monitor.presetCpuCable = true;
        else if (arg == "--pcie-cable")
            monitor.presetPcieCable = true;
        else if (arg == "--force") {
            test.force = true;
            testOnlyOption = true;
        } else if (arg == "--log-interval" && hasValue) {
            std::string seconds = argv[++i];
            if (seconds != "1" && seconds != "10" && seconds != "30" && seconds != "60")
                return usageError("--log-interval takes 1, 10, 30 or 60");
            g_logIntervalSeconds.store(static_cast<uint8_t>(std::stoi(seconds)));
        } else if (arg == "--power" && hasValue) {
            std::string target = argv[++i];
            if (target != "on" && target != "off")
                return usageError("--power takes on or off");
            test.powerTarget = target == "on" ? 1 : 0;
            testOnlyOption = true;
        } else if (arg == "--settle" && hasValue) {
            std::string count = argv[++i];
            uint32_t value = 0;
            auto result = std::from_chars(count.data(), count.data() + count.size(), value);
            if (result.ec != std::errc() || result.ptr != count.data() + count.size() || value < 1 ||
                value > kMaxSettleCycles)
                return usageError("--settle takes a number of poll cycles from 1 to " +
                                  std::to_string(kMaxSettleCycles));
            test.settleCycles = value;
            testOnlyOption = true;
        } else if ((arg == "--report" || arg == "--log") && hasValue) {
            std::string path = argv[++i];
            if (path.empty())
                return usageError(arg + " needs a file name");
            (arg == "--report" ? test.reportPath : test.logPath) = path;
            testOnlyOption = true;
        } else if (arg == "--plot" && hasValue) {
            monitor.plotName = argv[++i];
            if (monitor.plotName.empty())
                return usageError("--plot needs a file name");
        } else if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return kExitOk;
        } else if (!arg.empty() && arg[0] != '-' && monitor.device.empty())
            monitor.device = arg;
        else if (!arg.empty() && arg[0] != '-')
            return usageError("one DEVICE only: '" + monitor.device + "' and '" + arg + "'");
        else if (!hasValue && (arg == "--log-interval" || arg == "--power" || arg == "--settle" ||
                               arg == "--report" || arg == "--log" || arg == "--plot"))
            return usageError(arg + " needs a value");
        else
            return usageError("unknown option '" + arg + "'");
    }
    if (monitor.device.empty())
        return usageError(std::string("no DEVICE given (") + kDeviceExample + ")");
    if (once && (test.enabled || monitor.json || !monitor.plotName.empty()))
        return usageError("--once goes without --test, --json and --plot");
    if (test.enabled && !monitor.plotName.empty() && test.logPath.empty())
        return usageError("--plot in a test run draws the --log file: give --log too");
    if (monitor.reconnect && (once || test.enabled))
        return usageError("--reconnect belongs to the monitor, not to --once or --test");
    if (testOnlyOption && !test.enabled)
        return usageError("--power, --settle, --report, --log and --force belong to --test");
    if (test.enabled) {
        std::string folder = GetCurrentFolder();
        test.reportPath = ResolveOutputPath(test.reportPath, folder);
        test.logPath = ResolveOutputPath(test.logPath, folder);
        test.chartPath = ResolveOutputPath(monitor.plotName, folder);
    }
    if (once)
        return RunOnce(monitor.device);
    return test.enabled ? RunTest(monitor, test) : RunMonitor(monitor);
}
