// What the main window's buttons do to the program's state: the command table for ids 1001 to
// 1012 as far as it needs no window system, the port probe behind the port list, and the rule that
// keeps an ended connection's controls disabled. The Win32 window procedure calls these and does
// the rest (dialogs, the port list control, destroying the window); the tests drive them through
// the recording window seam.
#pragma once

#include <string>
#include <vector>

#include "measurement/window_ops.h"

// What the window itself must still do after RunMainCommand.
enum class WindowAction {
    None,
    RefreshPortList,   // Refresh: disable 1001, rebuild the port list, enable 1001
    OpenConfigDialog,  // Configure
    OpenUserGuide,     // Help
    OpenAboutDialog,   // About
    DestroyWindow,     // Exit, after the worker has been waited for
};

// One WM_COMMAND of the main window, keyed on the control id alone. Ids outside 1001-1012 (among
// them 1 and 2, which the dialog manager sends for Enter and Escape) do nothing.
// Connect (1003) when no worker polls (g_stopRequested set) disables Connect and Refresh and
// starts the worker, which enables them again; otherwise it is Disconnect: Connect and the device
// controls are disabled, the worker is asked to stop and waited for (WaitForWorkerExit), and
// Connect is offered again. Exit waits for the worker the same way.
WindowAction RunMainCommand(WindowHandle window, int commandId);

// A worker's request to change a control reaches the UI thread later than it was made. Enabling
// Power, Reset Min/Max or Configure is stale once the connection has been ended (g_stopRequested
// set), by the user or by the worker itself, and must then be dropped. UI thread.
bool IsWorkerEnableStale(int controlId, bool enable);

// A worker's request to enable or disable a control, as the UI thread applies it: stale ones
// (IsWorkerEnableStale) are dropped, and enabling Refresh goes through OfferRefresh.
void ApplyWorkerEnable(WindowHandle window, int controlId, bool enable);

// Refresh probes the tester, so it is enabled only once no worker holds or waits for it
// (g_workerThreads is 0). OfferRefresh enables it now when that is so and otherwise owes it;
// EnableOwedRefresh, run on every tick of timer 1, enables an owed Refresh once it is so. Connect
// cancels what is owed. UI thread.
void OfferRefresh(WindowHandle window);
void EnableOwedRefresh(WindowHandle window);

// The ports the port list probes first, in order.
constexpr int kProbedPortCount = 5;
extern const wchar_t* const kProbedPortNames[kProbedPortCount];

// A USB tester often gets a number above COM5. From the names of the serial ports the system
// lists (any order, any case), the COM ports above COM5 to probe when none of the first five
// answers: "COM6" to "COM256", ascending, each once; anything else is left out.
std::vector<std::wstring> ChooseListedPorts(const std::vector<std::wstring>& listed);

// The port list's entries: those of the first names where a tester answers; only when none
// does, those of the listed names. False when the tester is in use (see ProbeTesterPorts).
bool FindTesterPorts(const wchar_t* const* firstNames, int firstCount, const std::vector<std::wstring>& listedNames,
                     std::vector<std::wstring>& found);

// Probes each named port for a tester: open, identify, close. answered[i] tells whether port i
// answered. Probing uses the application's TesterDevice, which has one user at a time: when a
// worker holds it the probe does not run and false is returned at once (the list must then stay
// as it is).
bool ProbeTesterPorts(const wchar_t* const* names, int count, bool* answered);
