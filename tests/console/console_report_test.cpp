// Unit tests of the console's test-run decisions, device and file checks, window seam, JSON lines
// and screen: a table per behaviour, and whole JSON lines and screens held byte for byte to the
// files in golden/.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "measurement/cell_text.h"
#include "measurement/connection_worker.h"
#include "measurement/window_ops.h"
#include "tools/console_platform.h"
#include "tools/console_screen.h"
#include "tools/console_json.h"
#include "tools/console_test_run.h"
#include "tools/console_window_ops.h"
#include "tests/golden_file.h"

namespace {

// The verdict with every cell PASS but those given (FAIL) and the grid's fixed -12V Power (N/A).
TestVerdict Judge(const std::vector<int>& failing, uint8_t powerStatus)
{
    CellStateArray states;
    std::fill(std::begin(states), std::end(states), CellState::Pass);
    states[CellIndex(RailId::RailMinus12V, ReadingColumn::Power)] = CellState::NotAvailable;
    for (int cell : failing)
        states[cell] = CellState::Fail;
    return JudgeTestRun(states, powerStatus);
}

TEST(ConsoleJson, ValuesAreWrittenExactlyInAnyLocale)
{
    // A locale with a decimal comma, where one is installed, must not reach the numbers.
    const char* previous = std::setlocale(LC_ALL, nullptr);
    const std::string saved = previous ? previous : "C";
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"})
        if (std::setlocale(LC_ALL, name))
            break;
    auto appended = [](auto append, auto value) {
        std::string out;
        append(out, value);
        return out;
    };
    auto str = [&](std::string_view text) { return appended(AppendJsonString, text); };
    auto milli = [&](int64_t value) { return appended(AppendJsonMilliUnits, value); };
    const std::pair<std::string, const char*> rows[] = {
        {str("Volt."), "\"Volt.\""}, {str("a\"b"), "\"a\\\"b\""}, {str("a\\b"), "\"a\\\\b\""},
        {str("Not allowed\nCooling"), "\"Not allowed\\nCooling\""}, {str("\r\t"), "\"\\r\\t\""},
        {str("x\x01y"), "\"x\\u0001y\""}, {str("\x1f"), "\"\\u001f\""}, {str(" \x7f~"), "\" \x7f~\""},
        // Beside those of golden/json_lines.txt: zero, the smallest steps, both ends, no number.
        {milli(0), "0"}, {milli(5), "0.005"}, {milli(-1), "-0.001"}, {milli(-100000), "-100"},
        {milli(4294967295LL), "4294967.295"}, {appended(AppendJsonNumber, 0.0 / 0.0), "null"},
        // UTC with milliseconds, before the epoch and on a leap day too.
        {FormatJsonTime(0), "1970-01-01T00:00:00.000Z"}, {FormatJsonTime(-1), "1969-12-31T23:59:59.999Z"},
        {FormatJsonTime(951782400000LL), "2000-02-29T00:00:00.000Z"},
    };
    std::setlocale(LC_ALL, saved.c_str());
    for (const auto& [got, expected] : rows)
        EXPECT_EQ(got, expected);
}

TEST(ConsoleTestRun, VerdictNeedsCellsAndBothTesterVerdicts)
{
    const int volt5V = CellIndex(RailId::Rail5V, ReadingColumn::Volt);
    struct Row {
        uint8_t powerStatus;  // bits: 0 on, 1 off, 2 voltages pass, 3-4 timings (0 pass, 1 fail, 2-3 N/A)
        std::vector<int> failing;
        const char* described;  // "PASS" exactly when the run passes
    } const rows[] = {
        {0x05, {}, "PASS"}, {0x05 | (2 << 3), {}, "PASS"}, {0x05 | (3 << 3), {}, "PASS"},
        {0x05 | (1 << 3), {}, "FAIL: tester timings"}, {0x01, {}, "FAIL: tester voltages"},
        {0x05, {volt5V}, "FAIL: 5V Volt."},
        {0x05, {CellIndex(RailId::Rail12V1, ReadingColumn::Ripple)}, "FAIL: 12V1 Ripple"},
        {0x01 | (1 << 3), {}, "FAIL: tester voltages, tester timings"},
        {0x01 | (1 << 3), {volt5V}, "FAIL: 5V Volt., tester voltages, tester timings"},
        // Named as the grid names them, and listed in grid order whatever order they failed in.
        {0x05,
         {CellIndex(RailId::Rail3V3Sata, ReadingColumn::TSeq),
          CellIndex(RailId::Rail12VPcie, ReadingColumn::MaxCurrent),
          CellIndex(RailId::Rail12VCpu, ReadingColumn::MinVolt), CellIndex(RailId::Rail12V1, ReadingColumn::MaxVolt)},
         "FAIL: 12V1 Max Volt., 12V CPU Min Volt., 12V PCIe Max Current, 3.3V SATA T Seq."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.described);
        const TestVerdict verdict = Judge(row.failing, row.powerStatus);
        EXPECT_EQ(verdict.pass, std::string(row.described) == "PASS");
        EXPECT_EQ(DescribeTestVerdict(verdict), row.described);
        EXPECT_EQ(verdict.failingCells.size(), row.failing.size());
    }
    EXPECT_EQ(NameCell(-1), "?");
    EXPECT_EQ(NameCell(kCellCount), "?");
}

TEST(ConsoleTestRun, DeviceMessageNamesWhoMayOpenIt)
{
    const DeviceOwnership dialout{true, "root", "dialout", 0660};
    const DeviceOwnership other{true, "alice", "uucp", 0600};
    const DeviceOwnership unknown{};
    struct Row {
        int error;
        const DeviceOwnership& owner;
        const char* mustContain;
    } const rows[] = {
        {EACCES, dialout, "permission denied. It belongs to the group \"dialout\": join it (sudo usermod -aG dialout"},
        {EPERM, other, "permission denied. It belongs to the user \"alice\" and the group \"uucp\" (crw-------). "
                       "The udev rule udev/70-ombrelo-tester.rules"},
        {EACCES, unknown, "permission denied (see the README"},
        {ENOENT, other, "no such device"}, {EBUSY, other, "busy"}, {ENOTTY, other, "not a serial device"},
        {0, other, "Device not found!"},
    };
    for (const Row& row : rows) {
        const std::string message = DescribeDeviceOpenFailure("/dev/ttyACM0", row.error, row.owner);
        EXPECT_NE(message.find("/dev/ttyACM0"), std::string::npos) << message;
        EXPECT_NE(message.find(row.mustContain), std::string::npos) << message;
        EXPECT_EQ(message.find("dialout") != std::string::npos, &row.owner == &dialout) << message;
    }
}

TEST(ConsoleFiles, BareNamesGoToTheCurrentFolderAndGetAnExtension)
{
    const std::pair<std::string, const char*> rows[] = {
        {ResolveOutputPath("run7.txt", "/home/a"), "/home/a/run7.txt"},
        {ResolveOutputPath("./run7.txt", "/home/a"), "/home/a/run7.txt"},
        {ResolveOutputPath("./r", "/home/a"), "/home/a/r"},
        {ResolveOutputPath("logs/run7.txt", "/home/a"), "/home/a/logs/run7.txt"},
        {ResolveOutputPath("/tmp/run7.txt", "/home/a"), "/tmp/run7.txt"},
        {ResolveOutputPath("run7.txt", "/"), "/run7.txt"},
        {AddTextExtension("run7"), "run7.txt"}, {AddTextExtension("a.b/run7"), "a.b/run7.txt"},
        {AddTextExtension("run7.log"), "run7.log"},
    };
    for (const auto& [got, expected] : rows)
        EXPECT_EQ(got, expected);
}

TEST(ConsoleFiles, NothingIsReplacedUnasked)
{
    char folder[] = "/tmp/ombrelo-files-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string base = folder;
    std::ofstream(base + "/old.txt").put('x');
    struct Row {
        std::string path;
        bool replace;
        std::string problem;  // "" when it may be written
        bool exists;
    } const rows[] = {
        {base + "/new.txt", false, "", false}, {base + "/old.txt", false, " exists", true},
        {base + "/old.txt", true, "", true},   {base, true, " is a folder", false},
        {base + "/none/new.txt", false, "the folder " + base + "/none does not exist", false},
        {base + "/", false, "no file name", false},
    };
    for (const Row& row : rows) {
        bool exists = !row.exists;
        const std::string problem = CheckOutputPath(row.path, row.replace, exists);
        EXPECT_EQ(problem.empty(), row.problem.empty()) << row.path << ": " << problem;
        EXPECT_NE(problem.find(row.problem), std::string::npos) << row.path << ": " << problem;
        EXPECT_EQ(exists, row.exists) << row.path;
    }
    std::remove((base + "/old.txt").c_str());
    rmdir(folder);
}

TEST(ConsoleTestRun, AccessCheckTellsMissingFromForbidden)
{
    EXPECT_EQ(CheckDeviceAccess("/nonexistent/ttyACM9"), ENOENT);
    EXPECT_EQ(CheckDeviceAccess(""), ENOENT);
    char path[] = "/tmp/ombrelo-access-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(CheckDeviceAccess(path), 0);
    chmod(path, 0400);
    if (geteuid() != 0) {
        EXPECT_EQ(CheckDeviceAccess(path), EACCES);
    } else {
        // root may open anything: the refusal is checked as the user nobody.
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const bool unprivileged = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
            _exit(!unprivileged ? 2 : CheckDeviceAccess(path) == EACCES ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    }
    unlink(path);
}

// The worker's window seam as the console keeps it: texts cut and always terminated, controls
// enabled until disabled, each message one line, the last five kept, the ending ones not printed.
TEST(ConsoleWindow, KeepsWhatTheWorkerSetsAndShows)
{
    SetConsolePortName("/dev/tty-\xC3\xBC");
    const std::pair<int, const wchar_t*> cuts[] = {{1, L""}, {4, L"/de"}, {11, L"/dev/tty-\u00FC"}};
    for (const auto& [size, expected] : cuts) {
        wchar_t buffer[12];
        std::fill(std::begin(buffer), std::end(buffer), L'x');
        buffer[11] = L'\0';
        GetControlText(nullptr, kPortListId, buffer, size);
        EXPECT_EQ(std::wstring(buffer), expected) << size;
    }
    SetControlText(nullptr, kPowerButtonId, L"Power ON");
    EnableControl(nullptr, kConfigureButtonId, false);
    EXPECT_EQ(GetConsoleControlText(kPowerButtonId), "Power ON");
    EXPECT_EQ(GetConsoleControlText(kRefreshButtonId), "");
    EXPECT_TRUE(IsConsoleControlEnabled(kConnectButtonId));
    EXPECT_FALSE(IsConsoleControlEnabled(kConfigureButtonId));

    const int before = CountConsoleMessages();
    testing::internal::CaptureStdout();
    for (const wchar_t* text : {L"a\nb\r\n", L"2", L"3", L"4", L"5\n\n"})
        ShowErrorMessage(nullptr, text, L"Fehler \u00FC");
    ShowErrorMessage(nullptr, kConnectionLostText, L"Error");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n! Fehler ?: a - b\n\n! Fehler ?: 2\n\n! Fehler ?: 3\n\n! Fehler ?: 4\n\n! Fehler ?: 5\n");
    EXPECT_EQ(CountConsoleMessages(), before + 6);
    const std::vector<std::string> kept = {"Fehler ?: 2", "Fehler ?: 3", "Fehler ?: 4", "Fehler ?: 5",
                                           "Error: Connection lost"};
    EXPECT_EQ(GetConsoleMessages(), kept);
}

void ExpectGolden(const char* name, const std::string& text)
{
    ExpectMatchesGoldenFile(text, std::string(OMBRELO_CONSOLE_GOLDEN_DIR) + "/" + name);
}

// A table as one poll cycle leaves it: a timed-out T6 (no value, FAIL), a failing turn-on slope,
// N/A timings, the grid's fixed N/A cells and timings on the four main rails only.
void FillCycleTable(ReadingsTable& table)
{
    table.ClearValues();
    auto set = [&](RailId rail, ReadingColumn column, int32_t value) {
        StoreWord(table.value[CellIndex(rail, column)], value);
    };
    // Nominal voltages, 1 A and 1 W everywhere: all within the power-on limits.
    const int32_t nominal[kRailCount] = {12060, 5040, 3340, 12050, -11920, 5030, 12040, 12060, 5040, 3340};
    for (int rail = 0; rail < kRailCount; ++rail)
        for (int column = 0; column <= static_cast<int>(ReadingColumn::Power); ++column)
            set(static_cast<RailId>(rail), static_cast<ReadingColumn>(column),
                column <= static_cast<int>(ReadingColumn::MaxVolt) ? nominal[rail] : 1000);
    for (const auto& [column, value] : {std::pair{ReadingColumn::Current, 9000}, {ReadingColumn::Ripple, 22},
                                        {ReadingColumn::T1, 150}, {ReadingColumn::T6, kTimedOut},
                                        {ReadingColumn::SlewRate, 1507}, {ReadingColumn::TurnOnSlope, 1}})
        set(RailId::Rail12V1, column, value);
    FormatDisplayedCellTexts(table);
    table.Evaluate(0x05, true, true);
}

// The lines of one --test run: that cycle without and with the worker's request account, and the
// summaries of a failed and of a broken-off run.
TEST(ConsoleJson, CycleAndSummaryLinesAreTheGoldenOnes)
{
    ReadingsTable table;
    FillCycleTable(table);
    JsonCycleInput input{.cycle = 7, .timeMs = 1796562376123LL, .table = &table, .powerStatus = 0x05,
                         .totalPowerMw = 299127, .cpu12vConnected = true};
    std::string lines = BuildCycleJson(input) + "\n";
    const JsonLinkStats link{9, 1, 104, 3, 86400123};
    input.link = &link;
    lines += BuildCycleJson(input) + "\n";

    const TestVerdict verdict = Judge({CellIndex(RailId::Rail5V, ReadingColumn::Volt)}, 0x05);
    lines += BuildSummaryJson(0, 4, verdict, 0x05, kExitTestFail, "") + "\n";
    lines += BuildSummaryJson(0, 2, verdict, 0x05, kExitConnectionEnded, "Connection lost") + "\n";
    ExpectGolden("json_lines.txt", lines);
}

// The monitor's screen: that cycle's grids plain and in colour (a failing row names its failing
// columns), and the status and settings lines of four supplies.
TEST(ConsoleScreen, ShowsTheGoldenScreen)
{
    FillCycleTable(g_readingsTable);
    std::string screen = FormatReadingsGrids({false}) + FormatReadingsGrids({true});
    struct Row {
        uint8_t powerStatus;
        uint32_t totalPower;
        uint8_t cpu, pcie, compliance, buzzer;
    } const rows[] = {{0x05, 299127, 1, 0, 1, 2}, {0x02 | (1 << 3), 0, 0, 1, 0, 0}, {0x00, 4294967295u, 0, 0, 2, 3},
                      {0x01 | (2 << 3), 1, 1, 1, 1, 1}};
    for (const Row& row : rows) {
        auto readings = std::make_unique<DeviceReadings>();
        StoreByte(readings->powerStatus, row.powerStatus);
        StoreWord(readings->totalPower, static_cast<int32_t>(row.totalPower));
        for (auto [setting, value] : {std::pair{kSettingCpu12vCable, row.cpu}, {kSettingPcie12vCable, row.pcie},
                                      {kSettingComplianceMode, row.compliance}, {kSettingBuzzerMode, row.buzzer}})
            StoreByte(readings->deviceSettings[setting], value);
        screen += FormatStatusLines(*readings) + FormatSettingsLine(*readings);
    }
    ExpectGolden("screen.txt", screen);
}

}  // namespace
