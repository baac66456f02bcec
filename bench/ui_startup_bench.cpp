// Start-up benchmark: how long Ombrelo.exe takes from process start to its first painted main
// window with the port list filled, against a bare dialog-template program started and watched
// the same way in the same run. Goal: Ombrelo's median at most 1.5 times the baseline's. A third
// program, Ombrelo's window template shown by a program that does nothing else, may be given to
// tell the template's share from the program's own start-up work; goal: Ombrelo's median at most
// 1.05 times that program's.
//
//   ombrelo-bench-ui-startup [--runs N] OMBRELO_EXE BARE_DIALOG_EXE [TEMPLATE_DIALOG_EXE]
//
// Each run: the clock starts just before CreateProcessW; the window counts as shown once a
// top-level window of the new process with the expected class and caption exists and is
// visible, its drop-down list (id 1002) holds an entry (asked with a sent message, which is
// answered once the message loop runs) and neither the window nor any of its children has an
// update region left (everything has been through WM_PAINT). The program is then closed with
// WM_CLOSE and waited for; that time is printed too but is no part of the goal (under Wine on a
// bare X server, with no window manager, destroying a top-level window alone takes about 2 s).
// Runs rotate between the programs after one unmeasured warm-up run of each, so that disk caches
// and drifts of a shared machine weigh on all alike.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kListId = 1002;
constexpr double kGoalRatio = 1.5;
// Against the template shown by a program doing nothing else: what Ombrelo's own start-up work
// (the port probe, the log, the fonts) may add.
constexpr double kTemplateGoalRatio = 1.05;
// Generous: Ombrelo probes five COM ports before its loop runs.
constexpr double kShowLimitMs = 30000.0;
constexpr DWORD kExitLimitMs = 15000;
constexpr UINT kAnswerWaitMs = 1000;
constexpr DWORD kPollSleepMs = 1;

struct Subject {
    const wchar_t* label;
    std::wstring exe;
    const wchar_t* windowClass;
    const wchar_t* caption;
};

// The moments of one run, in milliseconds after the clock started; negative: never reached.
struct RunTimes {
    double created = -1;  // CreateProcessW returned
    double found = -1;    // the window exists and is visible
    double filled = -1;   // the list holds an entry (so the loop runs: the answer was sent back)
    double painted = -1;  // nothing left to paint
    double closed = -1;   // the process ended after WM_CLOSE, measured from the close request
    bool killed = false;
};

LARGE_INTEGER g_frequency;

double MillisecondsSince(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(g_frequency.QuadPart);
}

struct WindowSearch {
    DWORD processId;
    const Subject* subject;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId)
        return TRUE;
    wchar_t name[64] = {};
    wchar_t caption[64] = {};
    GetClassNameW(window, name, 64);
    GetWindowTextW(window, caption, 64);
    if (std::wcscmp(name, search->subject->windowClass) != 0 || std::wcscmp(caption, search->subject->caption) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindSubjectWindow(DWORD processId, const Subject& subject)
{
    WindowSearch search = {processId, &subject, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

BOOL CALLBACK CollectChild(HWND child, LPARAM parameter)
{
    reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(child);
    return TRUE;
}

// Whether the window and all its children have been painted. Each look asks the window server
// once per window, and the watcher must not slow the program it watches: children found painted
// are not asked again until the rest are, then one full pass confirms (a cell may have been
// invalidated again meanwhile).
class PaintWatch {
public:
    explicit PaintWatch(HWND window) : window_(window)
    {
        EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children_));
    }

    bool IsPainted()
    {
        if (GetUpdateRect(window_, nullptr, FALSE))
            return false;
        for (; next_ < children_.size(); ++next_) {
            if (GetUpdateRect(children_[next_], nullptr, FALSE))
                return false;
        }
        for (HWND child : children_) {
            if (GetUpdateRect(child, nullptr, FALSE)) {
                next_ = 0;
                return false;
            }
        }
        return true;
    }

private:
    HWND window_;
    std::vector<HWND> children_;
    size_t next_ = 0;
};

// A sent message returns once the window's thread has handled it: it blocks while the program
// is still busy before its message loop, instead of asking again and again.
bool Answers(HWND window, UINT message, DWORD_PTR& result)
{
    return SendMessageTimeoutW(window, message, 0, 0, SMTO_NORMAL, kAnswerWaitMs, &result) != 0;
}

// Waits until the window is up and painted, filling in the moments; false on the time limit or
// when the process ends early.
bool WatchStartUp(const PROCESS_INFORMATION& process, const Subject& subject, const LARGE_INTEGER& start,
                  RunTimes& times, HWND& window)
{
    window = nullptr;
    HWND list = nullptr;
    std::unique_ptr<PaintWatch> paint;
    while (MillisecondsSince(start) < kShowLimitMs) {
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0)
            return false;
        if (window == nullptr) {
            HWND candidate = FindSubjectWindow(process.dwProcessId, subject);
            if (candidate != nullptr && IsWindowVisible(candidate)) {
                window = candidate;
                list = GetDlgItem(window, kListId);
                times.found = MillisecondsSince(start);
            }
        }
        if (window != nullptr && times.filled < 0) {
            DWORD_PTR count = 0;
            if (list != nullptr && Answers(list, CB_GETCOUNT, count) && count != static_cast<DWORD_PTR>(CB_ERR) &&
                count > 0) {
                times.filled = MillisecondsSince(start);
                paint = std::make_unique<PaintWatch>(window);
            }
        }
        if (paint) {
            DWORD_PTR ignored = 0;
            if (Answers(window, WM_NULL, ignored) && paint->IsPainted()) {
                times.painted = MillisecondsSince(start);
                return true;
            }
        }
        Sleep(kPollSleepMs);
    }
    return false;
}

RunTimes RunOnce(const Subject& subject)
{
    RunTimes times;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = L"\"" + subject.exe + L"\"";

    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(subject.exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fwprintf(stderr, L"%ls: CreateProcessW failed (%lu)\n", subject.label, GetLastError());
        return times;
    }
    times.created = MillisecondsSince(start);

    HWND window = nullptr;
    const bool shown = WatchStartUp(process, subject, start, times, window);
    if (!shown)
        std::fwprintf(stderr, L"%ls: the window did not come up painted with its list filled\n", subject.label);

    LARGE_INTEGER closeStart;
    QueryPerformanceCounter(&closeStart);
    if (window != nullptr)
        PostMessageW(window, WM_CLOSE, 0, 0);
    if (window == nullptr || WaitForSingleObject(process.hProcess, kExitLimitMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, kExitLimitMs);
        times.killed = true;
    } else {
        times.closed = MillisecondsSince(closeStart);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return times;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Smallest(const std::vector<double>& values)
{
    return values.empty() ? -1 : *std::min_element(values.begin(), values.end());
}

double Largest(const std::vector<double>& values)
{
    return values.empty() ? -1 : *std::max_element(values.begin(), values.end());
}

struct Series {
    std::vector<double> created, found, filled, painted, closed;
    int failed = 0;

    void Add(const RunTimes& times)
    {
        if (times.painted < 0 || times.killed) {
            ++failed;
            return;
        }
        created.push_back(times.created);
        found.push_back(times.found);
        filled.push_back(times.filled);
        painted.push_back(times.painted);
        closed.push_back(times.closed);
    }
};

void PrintSeries(const Subject& subject, const Series& series)
{
    std::wprintf(L"%-12ls runs %2zu (failed %d)  painted: median %7.1f ms  min %7.1f  max %7.1f\n", subject.label,
                 series.painted.size(), series.failed, Median(series.painted), Smallest(series.painted),
                 Largest(series.painted));
    std::wprintf(L"%-12ls   medians: process created %6.1f ms, window visible %7.1f, list filled %7.1f; "
                 L"close to exit %6.1f\n",
                 L"", Median(series.created), Median(series.found), Median(series.filled), Median(series.closed));
}

// Which of the ports Ombrelo probes at start-up can be opened here, and how long opening each
// takes: the probe's cost depends on it (a port that opens but never answers costs the most).
void PrintPorts()
{
    std::wprintf(L"COM ports as the programs see them:");
    for (int n = 1; n <= 5; ++n) {
        wchar_t name[16];
        std::swprintf(name, 16, L"\\\\.\\COM%d", n);
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        HANDLE port = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
        const DWORD error = GetLastError();
        const double took = MillisecondsSince(start);
        if (port != INVALID_HANDLE_VALUE) {
            DCB settings = {};
            settings.DCBlength = sizeof settings;
            const bool serial = GetCommState(port, &settings) != 0;
            CloseHandle(port);
            std::wprintf(serial ? L"  COM%d serial port (%.1f ms)" : L"  COM%d no serial port (%.1f ms)", n, took);
        } else {
            std::wprintf(L"  COM%d absent (error %lu, %.1f ms)", n, error, took);
        }
    }
    std::wprintf(L"\n");
}

std::wstring FullPath(const wchar_t* path)
{
    wchar_t full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(full) : std::wstring(path);
}

int Usage()
{
    std::fwprintf(stderr,
                  L"usage: ombrelo-bench-ui-startup [--runs N] OMBRELO_EXE BARE_DIALOG_EXE [TEMPLATE_DIALOG_EXE]\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int runs = 10;
    std::vector<const wchar_t*> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--runs") == 0 && i + 1 < argc)
            runs = std::max(1, static_cast<int>(std::wcstol(argv[++i], nullptr, 10)));
        else
            paths.push_back(argv[i]);
    }
    if (paths.size() != 2 && paths.size() != 3)
        return Usage();
    QueryPerformanceFrequency(&g_frequency);

    // The baseline first, Ombrelo second; the system's dialog class has the atom name "#32770".
    std::vector<Subject> subjects = {
        {L"bare dialog", FullPath(paths[1]), L"#32770", L"Bare dialog"},
        {L"Ombrelo", FullPath(paths[0]), L"TRELLIDEX", L"Ombrelo"},
    };
    if (paths.size() == 3)
        subjects.push_back({L"template", FullPath(paths[2]), L"TRELLIDEX", L"Ombrelo"});

    std::wprintf(L"Start-up: process start to the first painted main window with its port list filled\n");
    PrintPorts();
    std::wprintf(L"%d measured runs of each, in rotating order, after one warm-up run of each\n", runs);
    std::fflush(stdout);

    for (const Subject& subject : subjects)
        RunOnce(subject);
    std::vector<Series> series(subjects.size());
    for (int i = 0; i < runs; ++i) {
        // Rotate which goes first, so that none always follows the same other one's exit.
        for (size_t k = 0; k < subjects.size(); ++k) {
            const size_t which = (k + static_cast<size_t>(i)) % subjects.size();
            series[which].Add(RunOnce(subjects[which]));
        }
    }

    for (size_t k = 0; k < subjects.size(); ++k)
        PrintSeries(subjects[k], series[k]);
    if (subjects.size() == 3) {
        std::wprintf(L"template: Ombrelo's main window template, class, icon, logo and manifest shown by a "
                     L"program doing nothing else\n");
    }
    const double baseline = Median(series[0].painted);
    const double measured = Median(series[1].painted);
    if (baseline <= 0 || measured <= 0 || series[0].failed != 0 || series[1].failed != 0) {
        std::wprintf(L"ratio: not available (failed runs)\n");
        return 1;
    }
    if (subjects.size() == 3 && series[2].failed == 0)
        std::wprintf(L"ratio template / bare dialog (medians): %.2fx\n", Median(series[2].painted) / baseline);
    const double ratio = measured / baseline;
    std::wprintf(L"ratio Ombrelo / bare dialog (medians): %.2fx  goal <= %.1fx: %ls\n", ratio, kGoalRatio,
                 ratio <= kGoalRatio ? L"met" : L"NOT met");
    if (subjects.size() == 3) {
        const double templateOnly = Median(series[2].painted);
        if (templateOnly <= 0 || series[2].failed != 0) {
            std::wprintf(L"ratio Ombrelo / template: not available (failed runs)\n");
            return 1;
        }
        const double own = measured / templateOnly;
        std::wprintf(L"ratio Ombrelo / template (medians): %.2fx  goal <= %.2fx: %ls\n", own, kTemplateGoalRatio,
                     own <= kTemplateGoalRatio ? L"met" : L"NOT met");
    }
    return 0;
}
