// The decisions of the console that need no tester: the verdict and the failing cells by name,
// the exit codes a test bench reads, the order in which the run's steps must have happened
// before the settle cycles count, the message for a serial device that cannot be opened, and
// where an output file lands and whether it may be written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "measurement/readings_table.h"
#include "records/readings_log.h"

// Exit codes of ombrelo-console. --once, the monitor and --test share them; the README and
// --help list them. 0 is also PASS, 7 FAIL.
constexpr int kExitOk = 0;
constexpr int kExitConnectionEnded = 1;   // the connection was lost or could not be started
constexpr int kExitUsage = 2;
constexpr int kExitNoDevice = 3;          // the device path cannot be opened (missing, permission, busy)
constexpr int kExitNoTester = 4;          // "Device not found!"
constexpr int kExitFirmware = 5;          // "Device firmware needs to be updated!"
constexpr int kExitNoAnswer = 6;          // --once: a request went unanswered
constexpr int kExitTestFail = 7;          // --test: the supply failed
constexpr int kExitFilesNotWritten = 8;   // --test: --report or --log could not be written
constexpr int kExitPowerRefused = 9;      // --test: the tester refused --power

// Names as the window's grid shows them: "12V1" ... "3.3V SATA", "Min Volt." ... "T Seq.".
extern const char* const kRailDisplayNames[kRailCount];
extern const char* const kColumnDisplayNames[kColumnCount];
// "5V Volt.": rail and column name of a cell.
std::string NameCell(int cellIndex);

struct TestVerdict {
    bool pass = false;
    bool testerVoltagesPass = false;  // powerStatus bit 2
    bool testerTimingsFail = false;   // powerStatus bits 3 and 4 read 1
    std::vector<int> failingCells;    // ascending cell index
};

// PASS: no cell FAIL (all 160, so whatever the grid, the log and the report judge is covered),
// the tester's voltages verdict PASS and its timings verdict not FAIL (PASS or N/A).
TestVerdict JudgeTestRun(const CellStateArray& states, uint8_t powerStatus);

// The line for stderr: "PASS", or "FAIL: 5V Min Volt., 5V Volt." with the tester's failing
// verdicts named as "tester voltages" / "tester timings".
std::string DescribeTestVerdict(const TestVerdict& verdict);

// A request the worker serves at the end of a cycle, after that cycle's copy (minima and maxima
// reset, settings write), asked for while the count stood at cycleCount, goes out at the end of
// the next cycle: the cycles judged afterwards are the ones after the returned count.
uint32_t GetSettleStartAfterCycleEndRequest(uint32_t cycleCount);

// Who may open a device: its owner's and group's names and its permission bits.
struct DeviceOwnership {
    bool known = false;
    std::string user;
    std::string group;
    unsigned mode = 0;  // st_mode's permission bits
};
DeviceOwnership GetDeviceOwnership(const std::string& path);

// Why a device path cannot be used, from errno of the failed open or access check (0: it opens
// but nothing answers, which is the worker's "Device not found!"). For EACCES/EPERM the text
// names the owner and group the device belongs to; only a device of the group "dialout" is
// answered with joining that group, the others with the udev rule. EBUSY is a port another
// program holds.
std::string DescribeDeviceOpenFailure(const std::string& path, int error, const DeviceOwnership& owner);
std::string DescribeDeviceOpenFailure(const std::string& path, int error);
// Checks that path exists and may be opened for reading and writing; 0 or the errno value.
int CheckDeviceAccess(const std::string& path);
// The udev rule shipped with the sources, as the README installs it.
extern const char kUdevRuleName[];

// ---- Output files ----------------------------------------------------------------------------
// One rule for every file the console writes (the monitor's l and t, --report, --log, --plot):
// a name without a folder, or with a relative one, is taken from the current folder, as the
// shell takes any other file name; the full path is what gets written and printed.
std::string ResolveOutputPath(const std::string& name, const std::string& currentFolder);
std::string GetCurrentFolder();

// The monitor's default names when the answer to its prompt is empty and nothing was saved yet.
// The two differ, so that a report never lands on the log by default.
extern const char kDefaultLogName[];
extern const char kDefaultReportName[];
// As the window's save dialog: a name whose last part has no extension gets ".txt".
std::string AddTextExtension(const std::string& name);

// Whether path can be written: "" when it can, else why not (a folder, a folder that is missing
// or may not be written, a file that may not be written). exists tells whether a file is there
// already; it is a problem itself unless replacing is allowed.
std::string CheckOutputPath(const std::string& path, bool replaceAllowed, bool& exists);
