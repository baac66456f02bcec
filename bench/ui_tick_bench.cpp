// Display tick benchmark: the UI thread's time for one tick of the readings display on the real
// main window while connected to a tester, and the graphics and window handles before and after
// many ticks. Goals: median tick at most 2 % of the 500 ms display period; handle counts after
// the ticks equal to those before.
//
//   ombrelo-bench-ui-tick [--ticks N] [--settle-ms MS]
//
// A tester must answer on one of COM1 to COM5 (the simulated tester through Wine's COM link).
// The window is built the way the program's entry builds it, connects through its Connect
// button and is left polling. Timer 1 is then stopped so that only the benchmark's ticks update
// the display; one tick is UpdateReadingsDisplay followed by pumping the queue until it is empty
// (which hands out WM_PAINT for every window still to be painted), so the tick includes every
// repaint it causes and each cell asking for its colours (counted, to show that all 100 did).
// The ticks come much faster than the worker's polls, so before each tick (outside the timed part)
// every value moves by a few units, as a tester's noise moves it from one poll to the next; the
// display then has new texts to write and cells to repaint, as it has twice a second in use.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

#include "measurement/cell_text.h"
#include "measurement/connection_worker.h"
#include "measurement/handshake.h"
#include "measurement/readings_table.h"
#include "records/logger.h"
#include "ui/main_window.h"
#include "ui/ui_ids.h"

namespace {

constexpr double kPeriodMs = kDisplayPeriodMs;
constexpr double kGoalShare = 0.02;
constexpr DWORD kConnectLimitMs = 20000;
constexpr int kWarmUpTicks = 200;
constexpr int kBreakdownRounds = 500;
// The cells UpdateReadingsDisplay writes: 112 cell controls less the 12 fixed "N/A" ones.
constexpr int kWrittenCells = 100;

LARGE_INTEGER g_frequency;
WNDPROC g_windowProc = nullptr;

// Seen by the counting window procedure; UI thread only.
long long g_cellColourRequests = 0;
long long g_logTimerTicks = 0;

double MillisecondsBetween(const LARGE_INTEGER& from, const LARGE_INTEGER& to)
{
    return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 / static_cast<double>(g_frequency.QuadPart);
}

LARGE_INTEGER Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

// CPU time of the calling thread (user + kernel) in milliseconds; negative when unavailable.
double ThreadCpuMilliseconds()
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return -1;
    const auto units = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(units(kernel) + units(user)) / 10000.0;
}

// Sits in front of MainWindowProc to count what a tick makes the window do: colour requests of
// the readings cells (one per cell repaint) and readings-log timer messages.
LRESULT CALLBACK CountingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CTLCOLORSTATIC) {
        const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
        if (id >= kFirstCellControlId && id <= kLastCellControlId)
            ++g_cellColourRequests;
    } else if (message == WM_TIMER && wParam == kLogTimerId) {
        ++g_logTimerTicks;
    }
    return CallWindowProcW(g_windowProc, window, message, wParam, lParam);
}

// The message loop's step, as RunMessageLoop does it, until the queue is empty. False once the
// quit message has been seen.
bool PumpMessages(HWND window)
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT)
            return false;
        if (IsWindow(window) && IsDialogMessageW(window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return true;
}

void PumpFor(HWND window, DWORD milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (GetTickCount64() < end) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        PumpMessages(window);
    }
}

bool ButtonReads(HWND window, int id, const wchar_t* text)
{
    wchar_t shown[32] = {};
    GetDlgItemTextW(window, id, shown, 32);
    return std::wcscmp(shown, text) == 0;
}

// Every repaint a tick has left pending, as the message loop would do them: the queue hands out
// WM_PAINT for each window of the thread with an update region until none is left.
void FlushPaints(HWND window) { PumpMessages(window); }

struct TickTimes {
    double total;
    double update;  // UpdateReadingsDisplay itself
};

// Stands in for a new poll cycle: every value that holds a reading moves by a few units, so that
// nearly every displayed text changes (sentinels stay as they are).
void MoveReadings(int tick)
{
    const int32_t step = (tick % 2 == 0 ? 1 : -1) * (3 + tick % 5);
    for (std::atomic<int32_t>& value : g_readingsTable.value) {
        const int32_t v = value.load(std::memory_order_relaxed);
        if (v != kNotAvailable && v != kTimedOut)
            value.store(v + step, std::memory_order_relaxed);
    }
}

TickTimes RunTick(HWND window)
{
    static int tick = 0;
    MoveReadings(tick++);
    const LARGE_INTEGER begin = Now();
    UpdateReadingsDisplay();
    const LARGE_INTEGER updated = Now();
    FlushPaints(window);
    const LARGE_INTEGER end = Now();
    return {MillisecondsBetween(begin, end), MillisecondsBetween(begin, updated)};
}

double Percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())));
    return values[index];
}

struct HandleCounts {
    int ownGdi;
    DWORD systemGdi;
    DWORD systemUser;
    int childWindows;
    int threadWindows;  // top-level windows of the UI thread: a leaked dialog or box shows here
    DWORD kernelHandles;
};

BOOL CALLBACK CountChild(HWND, LPARAM parameter)
{
    ++*reinterpret_cast<int*>(parameter);
    return TRUE;
}

HandleCounts CountHandles(HWND window)
{
    HandleCounts counts = {};
    counts.ownGdi = CountLiveGdiObjects();
    counts.systemGdi = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    counts.systemUser = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    EnumChildWindows(window, CountChild, reinterpret_cast<LPARAM>(&counts.childWindows));
    EnumThreadWindows(GetCurrentThreadId(), CountChild, reinterpret_cast<LPARAM>(&counts.threadWindows));
    GetProcessHandleCount(GetCurrentProcess(), &counts.kernelHandles);
    return counts;
}

const wchar_t* Verdict(bool equal) { return equal ? L"equal" : L"NOT equal"; }

// Where a tick's time goes: the pieces of UpdateReadingsDisplay one at a time, each followed by
// the same pumping as a tick, plus the drawing on its own.
class Breakdown {
public:
    explicit Breakdown(HWND window) : window_(window)
    {
        for (int cell = 0; cell < kCellCount; ++cell)
            cells_[cell] = IsCellDisplayed(cell) ? GetDlgItem(window, kFirstCellControlId + cell) : nullptr;
    }

    void Print()
    {
        std::wprintf(L"breakdown (medians of %d rounds, each with the pumping of a tick, ms):\n", kBreakdownRounds);
        Step(L"format 100 texts", [] { FormatDisplayedCellTexts(g_readingsTable); });
        Step(L"evaluate 160 cells", [] { g_readingsTable.Evaluate(); });
        Step(L"status panel", [] { PaintStatusPanel(); });
        Step(L"pumping alone, nothing to do", [] {});
        Step(L"set 100 texts by control id (SetDlgItemTextW, as the display does)", [this] {
            for (int cell = 0; cell < kCellCount; ++cell) {
                if (cells_[cell] != nullptr)
                    SetDlgItemTextW(window_, kFirstCellControlId + cell, g_readingsTable.text[cell]);
            }
        });
        Step(L"set 100 texts on kept control handles (SetWindowTextW)", [this] { SetTexts(); });
        Step(L"repaint 100 cells without new texts (InvalidateRect)", [this] {
            for (HWND cell : cells_) {
                if (cell != nullptr)
                    InvalidateRect(cell, nullptr, TRUE);
            }
        });
        // Hidden, the cells do not paint: what setting the texts costs without any drawing.
        ShowWindow(window_, SW_HIDE);
        Step(L"set 100 texts on kept handles, window hidden (no drawing)", [this] { SetTexts(); });
        ShowWindow(window_, SW_SHOWNORMAL);
        FlushPaints(window_);
    }

private:
    void SetTexts()
    {
        for (int cell = 0; cell < kCellCount; ++cell) {
            if (cells_[cell] != nullptr)
                SetWindowTextW(cells_[cell], g_readingsTable.text[cell]);
        }
    }

    template <typename Work>
    void Step(const wchar_t* name, Work work)
    {
        std::vector<double> times;
        const long long coloursBefore = g_cellColourRequests;
        for (int round = 0; round < kBreakdownRounds; ++round) {
            const LARGE_INTEGER begin = Now();
            work();
            FlushPaints(window_);
            times.push_back(MillisecondsBetween(begin, Now()));
        }
        std::wprintf(L"  %-68ls %8.3f  (%.0f cell colour requests)\n", name, Percentile(times, 0.5),
                     static_cast<double>(g_cellColourRequests - coloursBefore) / kBreakdownRounds);
    }

    HWND window_;
    HWND cells_[kCellCount] = {};
};

int Usage()
{
    std::fwprintf(stderr, L"usage: ombrelo-bench-ui-tick [--ticks N] [--settle-ms MS]\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int ticks = 10000;
    DWORD settleMs = 2000;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--ticks") == 0 && i + 1 < argc)
            ticks = std::max(1, static_cast<int>(std::wcstol(argv[++i], nullptr, 10)));
        else if (std::wcscmp(argv[i], L"--settle-ms") == 0 && i + 1 < argc)
            settleMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
        else
            return Usage();
    }
    QueryPerformanceFrequency(&g_frequency);

    // As the program's entry does it, timing each step: where the start-up benchmark's time goes
    // inside the program.
    const LARGE_INTEGER entered = Now();
    g_workerRunning.store(0, std::memory_order_relaxed);
    g_instance = GetModuleHandleW(nullptr);
    if (!RegisterMainWindowClass(g_instance)) {
        std::fwprintf(stderr, L"could not register the main window class\n");
        return 1;
    }
    const LARGE_INTEGER registered = Now();
    g_readingsTable.ClearValues();
    HWND window = CreateMainWindow(g_instance);
    if (window == nullptr) {
        std::fwprintf(stderr, L"could not create the main window\n");
        return 1;
    }
    const LARGE_INTEGER created = Now();
    ShowWindow(window, SW_SHOWNORMAL);
    const LARGE_INTEGER shown = Now();
    InitMainWindow(window);
    const LARGE_INTEGER initialised = Now();
    FlushPaints(window);
    const LARGE_INTEGER painted = Now();
    RefreshPortList(window);
    const LARGE_INTEGER probed = Now();
    // The initialisation's first step again: the event log, whose whole ring is cleared.
    CreateApplicationLogger();
    const LARGE_INTEGER logged = Now();
    std::wprintf(L"In-process start-up steps (ms): register class %.1f, create window %.1f, show %.1f, "
                 L"initialise (event log, fonts, port probe) %.1f, first paint %.1f\n",
                 MillisecondsBetween(entered, registered), MillisecondsBetween(registered, created),
                 MillisecondsBetween(created, shown), MillisecondsBetween(shown, initialised),
                 MillisecondsBetween(initialised, painted));
    std::wprintf(L"  repeated on their own: port probe %.1f, creating the event log %.1f\n",
                 MillisecondsBetween(painted, probed), MillisecondsBetween(probed, logged));
    g_windowProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingWindowProc)));

    wchar_t port[16] = {};
    GetDlgItemTextW(window, kPortListId, port, 16);
    if (port[0] == L'\0') {
        std::fwprintf(stderr, L"no tester answered on COM1 to COM5\n");
        DestroyWindow(window);
        return 1;
    }
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(kConnectButtonId, BN_CLICKED), 0);
    const ULONGLONG connectEnd = GetTickCount64() + kConnectLimitMs;
    while (!ButtonReads(window, kConnectButtonId, kDisconnectText) && GetTickCount64() < connectEnd)
        PumpFor(window, 50);
    if (!ButtonReads(window, kConnectButtonId, kDisconnectText)) {
        std::fwprintf(stderr, L"did not connect to the tester on %ls\n", port);
        SendMessageW(window, WM_COMMAND, kExitButtonId, 0);
        PumpFor(window, 100);
        EndConnectionBeforeExit();
        return 1;
    }
    // A few polls, so that every cell shows a value and the first-use paths are behind us.
    PumpFor(window, settleMs);
    KillTimer(window, kDisplayTimerId);
    for (int i = 0; i < kWarmUpTicks; ++i)
        RunTick(window);

    std::wprintf(L"Display tick on the main window, connected to the tester on %ls\n", port);
    std::fflush(stdout);
    const HandleCounts before = CountHandles(window);
    const long long colourRequestsBefore = g_cellColourRequests;
    const long long logTicksBefore = g_logTimerTicks;
    std::vector<double> totals;
    std::vector<double> updates;
    totals.reserve(static_cast<size_t>(ticks));
    updates.reserve(static_cast<size_t>(ticks));
    const double cpuBefore = ThreadCpuMilliseconds();
    const LARGE_INTEGER allBegin = Now();
    for (int i = 0; i < ticks; ++i) {
        const TickTimes times = RunTick(window);
        totals.push_back(times.total);
        updates.push_back(times.update);
    }
    const double wallAll = MillisecondsBetween(allBegin, Now());
    const double cpuAfter = ThreadCpuMilliseconds();
    const long long colourRequests = g_cellColourRequests - colourRequestsBefore;
    const long long logTicks = g_logTimerTicks - logTicksBefore;
    // Let anything the ticks left behind (posted requests, paints) settle before counting again.
    PumpFor(window, 200);
    const HandleCounts after = CountHandles(window);
    const bool stillConnected = ButtonReads(window, kConnectButtonId, kDisconnectText);

    const double median = Percentile(totals, 0.5);
    std::wprintf(L"%d ticks in %.0f ms; per tick, UI-thread wall time (UpdateReadingsDisplay + repaints):\n", ticks,
                 wallAll);
    std::wprintf(L"  median %.3f ms  p90 %.3f ms  max %.3f ms  = %.3f %% / %.3f %% / %.2f %% of %.0f ms\n", median,
                 Percentile(totals, 0.9), Percentile(totals, 1.0), 100 * median / kPeriodMs,
                 100 * Percentile(totals, 0.9) / kPeriodMs, 100 * Percentile(totals, 1.0) / kPeriodMs, kPeriodMs);
    std::wprintf(L"  of which UpdateReadingsDisplay alone: median %.3f ms  p90 %.3f ms\n", Percentile(updates, 0.5),
                 Percentile(updates, 0.9));
    if (cpuBefore >= 0 && cpuAfter >= 0)
        std::wprintf(L"  UI-thread CPU time (GetThreadTimes): mean %.3f ms per tick (%.1f %% of the wall time)\n",
                     (cpuAfter - cpuBefore) / ticks, wallAll > 0 ? 100 * (cpuAfter - cpuBefore) / wallAll : 0.0);
    else
        std::wprintf(L"  UI-thread CPU time: GetThreadTimes not available\n");
    std::wprintf(L"  cell colour requests per tick %.1f (of %d displayed cells); log timer messages during the ticks %lld\n",
                 static_cast<double>(colourRequests) / ticks, kWrittenCells, logTicks);
    std::wprintf(L"  goal: median <= %.0f %% of the period (%.1f ms): %ls\n", 100 * kGoalShare, kGoalShare * kPeriodMs,
                 median <= kGoalShare * kPeriodMs ? L"met" : L"NOT met");
    if (!stillConnected)
        std::wprintf(L"  WARNING: the connection ended during the ticks\n");

    Breakdown(window).Print();

    std::wprintf(L"handles before / after %d ticks:\n", ticks);
    std::wprintf(L"  GDI objects, the program's own count (CountLiveGdiObjects): %d / %d  %ls\n", before.ownGdi,
                 after.ownGdi, Verdict(before.ownGdi == after.ownGdi));
    std::wprintf(L"  GDI objects, GetGuiResources: %lu / %lu  %ls%ls\n", before.systemGdi, after.systemGdi,
                 Verdict(before.systemGdi == after.systemGdi),
                 before.systemGdi == 0 && after.systemGdi == 0 ? L" (0: not reported by this system)" : L"");
    std::wprintf(L"  USER objects, GetGuiResources: %lu / %lu  %ls%ls\n", before.systemUser, after.systemUser,
                 Verdict(before.systemUser == after.systemUser),
                 before.systemUser == 0 && after.systemUser == 0 ? L" (0: not reported by this system)" : L"");
    std::wprintf(L"  USER windows: children of the main window %d / %d, top-level windows of the UI thread "
                 L"%d / %d  %ls\n",
                 before.childWindows, after.childWindows, before.threadWindows, after.threadWindows,
                 Verdict(before.childWindows == after.childWindows && before.threadWindows == after.threadWindows));
    if (before.kernelHandles == 0 && after.kernelHandles == 0)
        std::wprintf(L"  kernel handles (GetProcessHandleCount): not reported by this system\n");
    else
        std::wprintf(L"  kernel handles (GetProcessHandleCount): %lu / %lu  %ls\n", before.kernelHandles,
                     after.kernelHandles, Verdict(before.kernelHandles == after.kernelHandles));
    const bool handlesEqual = before.ownGdi == after.ownGdi && before.systemGdi == after.systemGdi &&
                              before.systemUser == after.systemUser && before.childWindows == after.childWindows &&
                              before.threadWindows == after.threadWindows;
    std::wprintf(L"  goal: GDI and USER counts after equal to before: %ls\n", handlesEqual ? L"met" : L"NOT met");
    std::fflush(stdout);

    // Exit as the Exit button does: the worker is stopped before the window goes.
    SendMessageW(window, WM_COMMAND, kExitButtonId, 0);
    while (PumpMessages(window))
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    EndConnectionBeforeExit();
    return stillConnected ? 0 : 1;
}
