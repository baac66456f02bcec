// Tests of the real main window under Wine, built from the program's own resources: the window
// procedure and both dialogs driven by messages, the Connect/Disconnect states against the
// simulated tester on a COM port, Escape, colour messages, and the graphics objects and windows a
// long run of display ticks leaves behind. After every test, every heap of the process is checked
// and no connection is left.
//
// One window serves the whole program. It is created on the main thread, which is therefore its
// UI thread: only this thread sends it messages. A helper thread reads nothing but enabled states
// (IsWindowEnabled sends no message). Modal dialogs run their own loop inside the command that
// opens them, so a thread timer, whose callback that loop dispatches, drives them from inside.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <initializer_list>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device/tester_device.h"
#include "measurement/handshake.h"
#include "measurement/readings_table.h"
#include "records/logger.h"
#include "ui/main_window.h"
#include "ui/ui_ids.h"
#include "ui/window_geometry.h"

namespace {

HWND g_window = nullptr;
// The COM port the simulated tester is linked to (--port=COMn).
std::wstring g_testerPort = L"COM5";

// Bounds every wait on the window or the worker, so that a broken step fails instead of hanging.
constexpr DWORD kHangGuardMs = 30000;

// The cells' colours, written out here rather than taken from the program.
constexpr COLORREF kGreen = RGB(0, 255, 0);
constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kGrey = RGB(192, 192, 192);
// A background no colour rule gives: shows whether a message touched the context.
constexpr COLORREF kUntouched = RGB(1, 2, 3);

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out += (c < 128) ? static_cast<char>(c) : '?';
    return out;
}

HWND Control(int id) { return GetDlgItem(g_window, id); }

std::wstring TextOf(HWND window)
{
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

// A click on a button of the main window, as the button itself reports it.
void Click(int id)
{
    SendMessageW(g_window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Control(id)));
}

// Every message waiting for this thread, through the dialog manager first as in the program's loop.
void PumpPending()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (IsDialogMessageW(g_window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// Pumps until done() holds; false when kHangGuardMs (or limitMs) passed first.
bool PumpUntil(const std::function<bool()>& done, DWORD limitMs = kHangGuardMs)
{
    const ULONGLONG end = GetTickCount64() + limitMs;
    for (;;) {
        PumpPending();
        if (done())
            return true;
        if (GetTickCount64() >= end)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

bool HasQueuedWorkerRequest()
{
    MSG message;
    return PeekMessageW(&message, g_window, kWorkerRequestMessage, kWorkerRequestMessage + 3, PM_NOREMOVE) != 0;
}

int CountLogRows() { return g_logger ? g_logger->GetRecordCount() : -1; }

// Watches the main window's messages while a ScopedSpy is in place: Escape's cancel command, the
// colour requests of the readings cells and the ticks of timer 1.
struct Spy {
    WNDPROC previous = nullptr;
    int cancelCommands = 0;
    int cellColourRequests = 0;
    int displayTicks = 0;
};
Spy g_spy;

LRESULT CALLBACK SpyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL)
        ++g_spy.cancelCommands;
    if (message == WM_TIMER && wParam == kDisplayTimerId)
        ++g_spy.displayTicks;
    if (message == WM_CTLCOLORSTATIC) {
        const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
        if (id >= 1100 && id <= 1259)
            ++g_spy.cellColourRequests;
    }
    return CallWindowProcW(g_spy.previous, window, message, wParam, lParam);
}

class ScopedSpy {
public:
    ScopedSpy()
    {
        g_spy = {};
        g_spy.previous = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(g_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SpyProc)));
    }
    ~ScopedSpy() { SetWindowLongPtrW(g_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_spy.previous)); }
    ScopedSpy(const ScopedSpy&) = delete;
    ScopedSpy& operator=(const ScopedSpy&) = delete;
};

// --- The state table -----------------------------------------------------------------------------

// Enabled states of Connect, Refresh and the three device controls. Read with IsWindowEnabled
// only, which sends no message, so any thread may take them.
struct Buttons {
    bool connect;
    bool refresh;
    bool power;
    bool resetMinMax;
    bool configure;
    bool operator==(const Buttons&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Buttons& b)
{
    return out << "{Connect " << b.connect << ", Refresh " << b.refresh << ", Power " << b.power
               << ", Reset Min/Max " << b.resetMinMax << ", Configure " << b.configure << "}";
}

Buttons ReadButtons()
{
    auto enabled = [](int id) { return IsWindowEnabled(Control(id)) != FALSE; };
    return {enabled(kConnectButtonId), enabled(kRefreshButtonId), enabled(kPowerButtonId),
            enabled(kResetMinMaxButtonId), enabled(kConfigureButtonId)};
}

struct WindowState {
    const char* name;
    const wchar_t* connectText;  // button 1003
    Buttons buttons;
    uint8_t stopRequested;
    int32_t workerRunning;
};

constexpr WindowState kIdle = {"Idle", L"Connect", {true, true, false, false, false}, 1, 0};
constexpr WindowState kConnecting = {"Connecting", L"Connect", {false, false, false, false, false}, 1, 0};
constexpr WindowState kConnected = {"Connected", L"Disconnect", {true, false, true, true, true}, 0, 1};
// Seen from another thread while the UI thread sits in the wait, so without the button's text.
constexpr WindowState kDisconnecting = {"Disconnecting", nullptr, {false, false, false, false, false}, 1, 1};

void ExpectButtons(const WindowState& state)
{
    SCOPED_TRACE(state.name);
    EXPECT_EQ(TextOf(Control(kConnectButtonId)), state.connectText);
    EXPECT_EQ(ReadButtons(), state.buttons);
}

void ExpectState(const WindowState& state)
{
    ExpectButtons(state);
    SCOPED_TRACE(state.name);
    EXPECT_EQ(g_stopRequested.load(), state.stopRequested);
    EXPECT_EQ(g_workerRunning.load(), state.workerRunning);
}

std::string DescribeWindow()
{
    std::ostringstream out;
    out << "button 1003 \"" << Narrow(TextOf(Control(kConnectButtonId))) << "\", " << ReadButtons()
        << ", g_stopRequested " << int(g_stopRequested.load()) << ", g_workerRunning " << g_workerRunning.load();
    return out.str();
}

std::vector<std::wstring> PortListEntries()
{
    HWND list = Control(kPortListId);
    std::vector<std::wstring> entries;
    const LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t text[64] = {};
        if (SendMessageW(list, CB_GETLBTEXTLEN, i, 0) < 64)
            SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        entries.push_back(text);
    }
    return entries;
}

std::wstring SelectedPort()
{
    HWND list = Control(kPortListId);
    const LRESULT index = SendMessageW(list, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR)
        return L"(nothing selected)";
    wchar_t text[64] = {};
    SendMessageW(list, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
    return text;
}

// The worker offers Configure as its last request when it accepts the tester, once it has read the
// tester's settings; requests are applied in order, so everything it asked for before has been
// applied then too.
bool WorkerHasConnected()
{
    return TextOf(Control(kConnectButtonId)) == L"Disconnect" && IsWindowEnabled(Control(kConnectButtonId)) &&
           IsWindowEnabled(Control(kConfigureButtonId));
}

// Connect, then the worker's requests pumped until the window shows the connection.
void ConnectToTester()
{
    Click(kConnectButtonId);
    ASSERT_TRUE(PumpUntil(WorkerHasConnected)) << "not connected: " << DescribeWindow();
    ExpectState(kConnected);
}

struct DisconnectSample {
    bool taken = false;  // the sample fell inside the Disconnect wait
    Buttons buttons = {};
};

// Disconnect, watched from a helper thread while the UI thread waits for the worker. The helper
// counts as one more worker thread until it has read the buttons, so the wait cannot end before
// (it waits for every worker thread of a polling connection). Afterwards the helper asks to
// enable the device controls through the window seam, as a worker that ends late does: those
// requests reach the window only after the connection is over.
DisconnectSample DisconnectWatched()
{
    std::atomic<bool> returned{false};
    DisconnectSample sample;
    g_workerThreads.fetch_add(1);
    std::thread observer([&] {
        while (g_stopRequested.load() == 0 && !returned.load())
            std::this_thread::yield();
        const Buttons seen = ReadButtons();
        // Read after the buttons: a wait that gave up on a starved helper does not count.
        if (!returned.load()) {
            sample.taken = true;
            sample.buttons = seen;
        }
        g_workerThreads.fetch_sub(1);
        EnableControl(g_window, kPowerButtonId, true);
        EnableControl(g_window, kResetMinMaxButtonId, true);
        EnableControl(g_window, kConfigureButtonId, true);
    });
    Click(kConnectButtonId);
    returned = true;
    observer.join();
    return sample;
}

TEST(MainWindowStates, StartsIdleWithTheTesterPortSelected)
{
    ExpectState(kIdle);
    EXPECT_EQ(PortListEntries(), std::vector<std::wstring>{g_testerPort});
    EXPECT_EQ(SelectedPort(), g_testerPort);
}

TEST(MainWindowStates, RefreshRebuildsThePortListAndSelectsItsFirstEntry)
{
    SendMessageW(Control(kPortListId), CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    ASSERT_EQ(SelectedPort(), L"(nothing selected)");
    Click(kRefreshButtonId);
    EXPECT_EQ(PortListEntries(), std::vector<std::wstring>{g_testerPort});
    EXPECT_EQ(SelectedPort(), g_testerPort);
    ExpectState(kIdle);
}

TEST(MainWindowStates, ConnectAndDisconnectFollowTheStateTable)
{
    ExpectState(kIdle);

    Click(kConnectButtonId);
    // The worker's requests wait in this thread's queue until it pumps.
    ExpectState(kConnecting);
    ASSERT_TRUE(PumpUntil(WorkerHasConnected)) << "not connected: " << DescribeWindow();
    ExpectState(kConnected);

    const DisconnectSample sample = DisconnectWatched();
    ASSERT_TRUE(sample.taken) << "the Disconnect wait was never seen from outside";
    EXPECT_EQ(sample.buttons, kDisconnecting.buttons) << "inside the Disconnect wait";

    // Right after the wait, before anything the worker asked for has been applied.
    ExpectButtons(kIdle);
    ASSERT_TRUE(PumpUntil([] { return g_workerThreads.load() == 0 && !HasQueuedWorkerRequest(); }))
        << "the worker did not end";
    // The ended connection's late requests left the device controls disabled.
    ExpectState(kIdle);
}

// --- Escape and colour messages --------------------------------------------------------------------

TEST(MainWindowKeys, EscapeGoesToTheWindowAsCancelAndIsIgnored)
{
    g_logger->Clear();
    g_logger->AddRecord(L"kept", kLogInformation);
    int cancels = 0;
    int code = -1;
    {
        ScopedSpy spy;
        // Through the program's own loop, whose dialog manager turns Escape into command 2.
        PostMessageW(Control(kAboutButtonId), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostQuitMessage(0);
        code = RunMessageLoop();
        cancels = g_spy.cancelCommands;
    }
    EXPECT_EQ(code, 0);
    EXPECT_EQ(cancels, 1) << "Escape did not reach the window as its cancel command";
    ASSERT_TRUE(IsWindow(g_window));
    EXPECT_TRUE(IsWindowVisible(g_window));
    EXPECT_EQ(CountLogRows(), 1);
    ExpectState(kIdle);
}

// Static children with ids the template does not use, for the edges of the cell id range.
class ExtraStatics {
public:
    explicit ExtraStatics(std::initializer_list<int> ids)
    {
        for (int id : ids)
            windows.push_back(CreateWindowExW(0, L"Static", L"", WS_CHILD, 0, 0, 10, 10, g_window,
                                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), g_instance, nullptr));
    }
    ~ExtraStatics()
    {
        for (HWND window : windows)
            DestroyWindow(window);
    }
    ExtraStatics(const ExtraStatics&) = delete;
    ExtraStatics& operator=(const ExtraStatics&) = delete;

private:
    std::vector<HWND> windows;
};

COLORREF BrushColour(HBRUSH brush)
{
    LOGBRUSH logBrush = {};
    if (GetObjectW(brush, sizeof logBrush, &logBrush) != sizeof logBrush)
        return CLR_INVALID;
    return logBrush.lbColor;
}

// The colour of a readings cell follows its state, its value and the text it shows.
TEST(MainWindowColours, CellsGetTheOneCellBrushInTheirStatesColour)
{
    struct Case {
        const char* name;
        int controlId;
        int32_t value;
        CellState state;
        const wchar_t* text;  // nullptr: the control keeps its text
        COLORREF colour;
    };
    const Case cases[] = {
        {"PASS is green", 1101, 12000, CellState::Pass, L"12.00", kGreen},
        {"FAIL is red", 1101, 13000, CellState::Fail, L"13.00", kRed},
        {"N/A is grey", 1101, 0, CellState::NotAvailable, L"0.00", kGrey},
        {"no value is grey whatever the state", 1101, kNotAvailable, CellState::Pass, L"", kGrey},
        {"a cell showing N/A is grey whatever the state", 1167, 12000, CellState::Pass, nullptr, kGrey},
        {"first id of the range", 1100, 11000, CellState::Fail, L"11.00", kRed},
        {"last id of the range", 1259, 1, CellState::Pass, L"1", kGreen},
    };
    ExtraStatics extra({1259});
    // The texts set here are put back afterwards, as the display showed them.
    std::vector<std::pair<HWND, std::wstring>> shownTexts;
    for (const Case& c : cases)
        shownTexts.emplace_back(Control(c.controlId), TextOf(Control(c.controlId)));
    g_logger->Clear();
    g_logger->AddRecord(L"kept", kLogInformation);
    HDC context = CreateCompatibleDC(nullptr);
    ASSERT_NE(context, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HWND cell = Control(c.controlId);
        ASSERT_NE(cell, nullptr);
        const int index = c.controlId - 1100;
        g_readingsTable.value[index].store(c.value);
        g_readingsTable.state[index] = c.state;
        if (c.text != nullptr)
            SetWindowTextW(cell, c.text);
        SetBkColor(context, kUntouched);
        const int objectsBefore = CountLiveGdiObjects();
        const bool hadBrush = g_cellBrush != nullptr;

        const auto brush = reinterpret_cast<HBRUSH>(SendMessageW(
            g_window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(context), reinterpret_cast<LPARAM>(cell)));

        ASSERT_NE(brush, nullptr);
        EXPECT_EQ(brush, g_cellBrush);
        EXPECT_EQ(BrushColour(brush), c.colour);
        EXPECT_EQ(GetBkColor(context), c.colour);
        // One brush at a time: the one handed out before is gone.
        EXPECT_EQ(CountLiveGdiObjects(), objectsBefore + (hadBrush ? 0 : 1));
    }
    DeleteDC(context);
    EXPECT_EQ(CountLogRows(), 1) << "a colour message ran a command";
    for (auto it = shownTexts.rbegin(); it != shownTexts.rend(); ++it)
        SetWindowTextW(it->first, it->second.c_str());
    g_readingsTable.ClearValues();
    UpdateReadingsDisplay();
}

// Any other control keeps its default colours: the window answers as default processing does,
// leaves the cell brush alone and runs no command for the control's id.
TEST(MainWindowColours, OtherControlsKeepTheirDefaultColours)
{
    ExtraStatics extra({1099, 1260});
    // One cell asks first, so that there is a cell brush to leave alone.
    HDC context = CreateCompatibleDC(nullptr);
    HDC reference = CreateCompatibleDC(nullptr);
    ASSERT_NE(context, nullptr);
    ASSERT_NE(reference, nullptr);
    SendMessageW(g_window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(context), reinterpret_cast<LPARAM>(Control(1101)));
    const HBRUSH cellBrush = g_cellBrush;
    ASSERT_NE(cellBrush, nullptr);
    const COLORREF cellColour = BrushColour(cellBrush);
    ASSERT_NE(cellColour, CLR_INVALID);
    const int objects = CountLiveGdiObjects();

    struct Case {
        const char* name;
        UINT message;
        HWND control;
    };
    const Case cases[] = {
        {"status panel", WM_CTLCOLORSTATIC, Control(kStatusPanelId)},
        {"label", WM_CTLCOLORSTATIC, FindWindowExW(g_window, nullptr, L"Static", L"Port:")},
        {"Clear Log button", WM_CTLCOLORSTATIC, Control(kClearLogButtonId)},
        {"About button", WM_CTLCOLORSTATIC, Control(kAboutButtonId)},
        {"id just below the cells", WM_CTLCOLORSTATIC, Control(1099)},
        {"id just above the cells", WM_CTLCOLORSTATIC, Control(1260)},
        {"the window itself", WM_CTLCOLORDLG, g_window},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(c.control, nullptr);
        g_logger->Clear();
        g_logger->AddRecord(L"kept", kLogInformation);
        SetBkColor(context, kUntouched);
        SetBkColor(reference, kUntouched);

        const LRESULT result =
            SendMessageW(g_window, c.message, reinterpret_cast<WPARAM>(context), reinterpret_cast<LPARAM>(c.control));
        const LRESULT expected =
            DefWindowProcW(g_window, c.message, reinterpret_cast<WPARAM>(reference), reinterpret_cast<LPARAM>(c.control));

        EXPECT_EQ(result, expected);
        EXPECT_NE(reinterpret_cast<HBRUSH>(result), cellBrush);
        EXPECT_EQ(GetBkColor(context), GetBkColor(reference));
        EXPECT_EQ(g_cellBrush, cellBrush);
        EXPECT_EQ(BrushColour(cellBrush), cellColour) << "the cell brush was changed";
        EXPECT_EQ(CountLiveGdiObjects(), objects);
        EXPECT_EQ(CountLogRows(), 1) << "a colour message ran a command";
        ASSERT_TRUE(IsWindow(g_window));
    }
    DeleteDC(reference);
    DeleteDC(context);
    ExpectState(kIdle);
}

// --- Dialogs -------------------------------------------------------------------------------------

// Drives one modal dialog from inside its loop: once the dialog owned by the main window is up,
// act looks at it, changes it and closes it. The command that opened the dialog returns when the
// dialog is gone, which ends the wait; a dialog still open kHangGuardMs after act is ended here, so
// that one that does not close fails the test instead of hanging it.
struct DialogDriver {
    const wchar_t* caption;
    std::function<void(HWND)> act;
    HWND dialog = nullptr;
    ULONGLONG actedAt = 0;
    bool forcedClosed = false;
};

DialogDriver* g_driver = nullptr;
constexpr UINT kDriverPeriodMs = 20;

void CALLBACK DriveDialog(HWND, UINT, UINT_PTR, DWORD)
{
    DialogDriver* driver = g_driver;
    if (driver == nullptr)
        return;
    if (driver->dialog == nullptr) {
        HWND found = FindWindowW(L"#32770", driver->caption);
        if (found == nullptr || GetWindow(found, GW_OWNER) != g_window || !IsWindowVisible(found))
            return;
        driver->dialog = found;
        driver->act(found);
        driver->actedAt = GetTickCount64();
        return;
    }
    if (IsWindow(driver->dialog) && GetTickCount64() - driver->actedAt > kHangGuardMs) {
        driver->forcedClosed = true;
        EndDialog(driver->dialog, 0);
    }
}

void RunDialogCommand(int commandId, DialogDriver& driver)
{
    g_driver = &driver;
    const UINT_PTR timer = SetTimer(nullptr, 0, kDriverPeriodMs, DriveDialog);
    Click(commandId);
    KillTimer(nullptr, timer);
    g_driver = nullptr;
}

enum class Close { OkButton, CancelButton, EnterKey, EscapeKey };

const char* CloseName(Close how)
{
    switch (how) {
    case Close::OkButton: return "OK";
    case Close::CancelButton: return "Cancel";
    case Close::EnterKey: return "Enter";
    case Close::EscapeKey: return "Escape";
    }
    return "?";
}

// As the user would: a button reports its click, a key goes to the focused control and through the
// dialog manager of the dialog's loop.
void CloseDialog(HWND dialog, Close how)
{
    switch (how) {
    case Close::OkButton:
    case Close::CancelButton: {
        const int id = how == Close::OkButton ? IDOK : IDCANCEL;
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
        break;
    }
    case Close::EnterKey:
    case Close::EscapeKey:
        PostMessageW(GetDlgItem(dialog, IDOK), WM_KEYDOWN, how == Close::EnterKey ? VK_RETURN : VK_ESCAPE, 0x00010001);
        break;
    }
}

TEST(AboutDialog, ShowsTheVersionLineAndClosesWithOkEnterAndEscape)
{
    for (Close how : {Close::OkButton, Close::EnterKey, Close::EscapeKey}) {
        SCOPED_TRACE(CloseName(how));
        std::wstring version;
        std::wstring copyright;
        POINT at = {};
        POINT centred = {};
        DialogDriver driver{L"About Ombrelo", [&](HWND dialog) {
                                version = TextOf(GetDlgItem(dialog, kVersionTextId));
                                copyright = TextOf(GetDlgItem(dialog, kCopyrightTextId));
                                RECT box = {};
                                RECT parent = {};
                                GetWindowRect(dialog, &box);
                                GetWindowRect(g_window, &parent);
                                at = {box.left, box.top};
                                const WindowPosition expected = ComputeCenteredPosition(
                                    box.right - box.left, box.bottom - box.top,
                                    {parent.left, parent.top, parent.right - parent.left, parent.bottom - parent.top},
                                    GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
                                centred = {expected.x, expected.y};
                                CloseDialog(dialog, how);
                            }};
        RunDialogCommand(kAboutButtonId, driver);

        ASSERT_NE(driver.dialog, nullptr) << "the About dialog did not open";
        EXPECT_FALSE(driver.forcedClosed) << "the About dialog did not close";
        EXPECT_FALSE(IsWindow(driver.dialog));
        EXPECT_EQ(version, L"Ombrelo V1.0 (1002)");
        EXPECT_EQ(copyright, kCopyrightText);
        EXPECT_EQ(at.x, centred.x);
        EXPECT_EQ(at.y, centred.y);
        EXPECT_TRUE(IsWindowEnabled(g_window)) << "the main window stayed disabled";
    }
    ExpectState(kIdle);
}

// The four tester-held settings and the log interval.
struct Settings {
    uint8_t cpu;
    uint8_t pcie;
    uint8_t compliance;
    uint8_t buzzer;
    uint8_t interval;
    bool operator==(const Settings&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Settings& s)
{
    return out << "{cpu " << int(s.cpu) << ", pcie " << int(s.pcie) << ", compliance " << int(s.compliance)
               << ", buzzer " << int(s.buzzer) << ", interval " << int(s.interval) << "}";
}

constexpr int kSettingsFirstByte = 14;

Settings ReadSettings()
{
    auto byte = [](int i) { return LoadByte(g_testerDevice.readings.deviceSettings[kSettingsFirstByte + i]); };
    return {byte(0), byte(1), byte(2), byte(3), g_logIntervalSeconds.load()};
}

void StoreSettings(const Settings& s)
{
    const uint8_t bytes[4] = {s.cpu, s.pcie, s.compliance, s.buzzer};
    for (int i = 0; i < 4; ++i)
        StoreByte(g_testerDevice.readings.deviceSettings[kSettingsFirstByte + i], bytes[i]);
    g_logIntervalSeconds.store(s.interval);
}

// What the dialog shows: the two check boxes and the selected index of each list (-1: none).
struct ConfigShown {
    bool cpu;
    bool pcie;
    int compliance;
    int buzzer;
    int interval;
    bool operator==(const ConfigShown&) const = default;
};

std::ostream& operator<<(std::ostream& out, const ConfigShown& s)
{
    return out << "{cpu " << s.cpu << ", pcie " << s.pcie << ", compliance #" << s.compliance << ", buzzer #"
               << s.buzzer << ", interval #" << s.interval << "}";
}

int SelectedIndex(HWND dialog, int comboId)
{
    const LRESULT index = SendDlgItemMessageW(dialog, comboId, CB_GETCURSEL, 0, 0);
    return index == CB_ERR ? -1 : static_cast<int>(index);
}

ConfigShown ReadConfigDialog(HWND dialog)
{
    return {IsDlgButtonChecked(dialog, kCpuCableCheckId) == BST_CHECKED,
            IsDlgButtonChecked(dialog, kPcieCableCheckId) == BST_CHECKED, SelectedIndex(dialog, kComplianceComboId),
            SelectedIndex(dialog, kBuzzerComboId), SelectedIndex(dialog, kLogIntervalComboId)};
}

std::vector<std::wstring> ComboEntries(HWND dialog, int comboId)
{
    std::vector<std::wstring> entries;
    const LRESULT count = SendDlgItemMessageW(dialog, comboId, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t text[64] = {};
        if (SendDlgItemMessageW(dialog, comboId, CB_GETLBTEXTLEN, i, 0) < 64)
            SendDlgItemMessageW(dialog, comboId, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        entries.push_back(text);
    }
    return entries;
}

// A user's change to one control of the dialog.
constexpr int kKeep = -2;   // leave the control as shown
constexpr int kTyped = -1;  // no item selected, a text typed into the edit field instead

struct ConfigChoice {
    int cpu;  // check boxes: kKeep, 0 or 1
    int pcie;
    int compliance;  // lists: kKeep, kTyped or an index
    int buzzer;
    int interval;
};

// Leaves one list as the user would: an item chosen, or nothing selected and a text typed in.
void ChooseInList(HWND dialog, int comboId, int choice, const wchar_t* typed)
{
    if (choice == kKeep)
        return;
    HWND combo = GetDlgItem(dialog, comboId);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(choice), 0);
    if (choice == kTyped) {
        COMBOBOXINFO info = {};
        info.cbSize = sizeof info;
        if (GetComboBoxInfo(combo, &info) && info.hwndItem != nullptr)
            SetWindowTextW(info.hwndItem, typed);
    }
}

void ChooseCheck(HWND dialog, int checkId, int choice)
{
    if (choice != kKeep)
        CheckDlgButton(dialog, checkId, choice != 0 ? BST_CHECKED : BST_UNCHECKED);
}

enum class LogTimer { NotWatched, Started, NotStarted };

// Covers the dialog's mappings both ways, the odd values a tester may hold, typed text, and what
// OK, Cancel and Escape do to the settings, the worker's request and timer 2.
TEST(ConfigurationDialog, ShowsTheSettingsAndStoresThemOnlyOnOk)
{
    struct Case {
        const char* name;
        Settings before;
        ConfigShown shown;
        ConfigChoice choice;
        Close close;
        Settings after;
        bool signalled;
        LogTimer logTimer;
    };
    const Case cases[] = {
        {"odd tester values show as Loose and Off, an unlisted interval as nothing; OK normalises",
         {1, 0, 5, 7, 15}, {true, false, 1, 2, -1}, {kKeep, kKeep, kKeep, kKeep, kKeep}, Close::OkButton,
         {1, 0, 1, 0, 15}, true, LogTimer::NotWatched},
        {"chosen values are stored and, while connected, timer 2 runs with the new interval",
         {0, 0, 0, 0, 10}, {false, false, 0, 2, 1}, {1, 1, 1, 0, 0}, Close::OkButton,
         {1, 1, 1, 2, 1}, true, LogTimer::Started},
        {"without a tester OK starts no timer 2",
         {0, 0, 0, 0, 10}, {false, false, 0, 2, 1}, {kKeep, kKeep, kKeep, kKeep, 0}, Close::OkButton,
         {0, 0, 0, 0, 1}, true, LogTimer::NotStarted},
        {"the other way round",
         {1, 1, 1, 2, 60}, {true, true, 1, 0, 3}, {0, 0, 0, 1, 2}, Close::OkButton,
         {0, 0, 0, 1, 30}, true, LogTimer::NotWatched},
        {"typed text without a selected item counts as no selection",
         {0, 0, 0, 1, 30}, {false, false, 0, 1, 2}, {kKeep, kKeep, kTyped, kTyped, kTyped}, Close::OkButton,
         {0, 0, 1, 0, 30}, true, LogTimer::NotWatched},
        {"Cancel changes nothing",
         {1, 0, 1, 1, 1}, {true, false, 1, 1, 0}, {0, 1, 0, 0, 3}, Close::CancelButton,
         {1, 0, 1, 1, 1}, false, LogTimer::NotStarted},
        {"Escape cancels",
         {0, 1, 0, 2, 1}, {false, true, 0, 0, 0}, {1, 0, 1, 2, 3}, Close::EscapeKey,
         {0, 1, 0, 2, 1}, false, LogTimer::NotStarted},
    };
    const std::vector<std::wstring> complianceList = {L"Strict", L"Loose"};
    const std::vector<std::wstring> buzzerList = {L"Fatal Errors", L"Compliance", L"Off"};
    const std::vector<std::wstring> intervalList = {L"1", L"10", L"30", L"60"};

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KillTimer(g_window, kLogTimerId);
        g_logger->Clear();
        StoreSettings(c.before);
        g_settingsChangedEvent.Reset();
        // OK starts timer 2 only while a tester is connected; no worker runs here.
        g_stopRequested.store(c.logTimer == LogTimer::Started ? 0 : 1);

        ConfigShown shown = {};
        ConfigShown typedShown = {};
        std::vector<std::wstring> lists[3];
        std::wstring buzzerEdit;
        DialogDriver driver{L"Configuration", [&](HWND dialog) {
                                shown = ReadConfigDialog(dialog);
                                lists[0] = ComboEntries(dialog, kComplianceComboId);
                                lists[1] = ComboEntries(dialog, kBuzzerComboId);
                                lists[2] = ComboEntries(dialog, kLogIntervalComboId);
                                buzzerEdit = TextOf(GetDlgItem(dialog, kBuzzerComboId));
                                ChooseCheck(dialog, kCpuCableCheckId, c.choice.cpu);
                                ChooseCheck(dialog, kPcieCableCheckId, c.choice.pcie);
                                ChooseInList(dialog, kComplianceComboId, c.choice.compliance, L"Strict");
                                ChooseInList(dialog, kBuzzerComboId, c.choice.buzzer, L"Compliance");
                                ChooseInList(dialog, kLogIntervalComboId, c.choice.interval, L"10");
                                typedShown = ReadConfigDialog(dialog);
                                CloseDialog(dialog, c.close);
                            }};
        RunDialogCommand(kConfigureButtonId, driver);

        ASSERT_NE(driver.dialog, nullptr) << "the Configuration dialog did not open";
        EXPECT_FALSE(driver.forcedClosed) << "the Configuration dialog did not close";
        EXPECT_EQ(shown, c.shown);
        EXPECT_EQ(lists[0], complianceList);
        EXPECT_EQ(lists[1], buzzerList);
        EXPECT_EQ(lists[2], intervalList);
        EXPECT_EQ(buzzerEdit, buzzerList[c.shown.buzzer]);
        if (c.choice.compliance == kTyped) {
            // The case is what it claims: nothing selected in the lists.
            EXPECT_EQ(typedShown.compliance, -1);
            EXPECT_EQ(typedShown.buzzer, -1);
            EXPECT_EQ(typedShown.interval, -1);
        }
        g_stopRequested.store(1);
        EXPECT_EQ(ReadSettings(), c.after);
        EXPECT_EQ(g_settingsChangedEvent.Wait(0), c.signalled);
        if (c.logTimer == LogTimer::Started) {
            EXPECT_TRUE(PumpUntil([] { return CountLogRows() >= 2; })) << "timer 2 added no readings-log rows";
        } else if (c.logTimer == LogTimer::NotStarted) {
            // Killed before the case: there is none to kill unless the dialog started one.
            EXPECT_FALSE(KillTimer(g_window, kLogTimerId)) << "timer 2 runs after the dialog closed";
        }
    }
    KillTimer(g_window, kLogTimerId);
    g_logger->Clear();
    StoreSettings({0, 0, 0, 0, 10});
    g_settingsChangedEvent.Reset();
    ExpectState(kIdle);
}

// The connection ends while the dialog is open (here by Disconnect, sent while the dialog is up;
// a lost tester leaves the window the same way: not connected, timer 2 killed by the ending
// worker). OK then starts no timer 2, so in three log intervals no readings-log row is added.
TEST(ConfigurationDialog, OkAfterTheConnectionEndedAddsNoLogRows)
{
    ConnectToTester();
    g_logger->Clear();
    DialogDriver driver{L"Configuration", [](HWND dialog) {
                            SendMessageW(g_window, WM_COMMAND, MAKEWPARAM(kConnectButtonId, BN_CLICKED),
                                         reinterpret_cast<LPARAM>(Control(kConnectButtonId)));
                            ChooseInList(dialog, kLogIntervalComboId, 0, L"10");  // 1 s
                            // Posted behind the ended worker's requests, so it comes after them.
                            CloseDialog(dialog, Close::OkButton);
                        }};
    RunDialogCommand(kConfigureButtonId, driver);
    ASSERT_NE(driver.dialog, nullptr) << "the Configuration dialog did not open";
    EXPECT_FALSE(driver.forcedClosed);
    EXPECT_EQ(g_logIntervalSeconds.load(), 1);
    EXPECT_TRUE(g_settingsChangedEvent.Wait(0));

    {
        // Three log intervals of 1 s, counted in ticks of timer 1 (500 ms).
        ScopedSpy spy;
        ASSERT_TRUE(PumpUntil([] { return g_spy.displayTicks >= 6; })) << "timer 1 stopped";
    }
    EXPECT_EQ(CountLogRows(), 0) << "readings-log rows without a tester";
    EXPECT_FALSE(KillTimer(g_window, kLogTimerId)) << "timer 2 runs without a tester";
    ASSERT_TRUE(PumpUntil([] { return g_workerThreads.load() == 0 && !HasQueuedWorkerRequest(); }));
    g_logIntervalSeconds.store(10);
    ExpectState(kIdle);
}

// --- Dialog templates ------------------------------------------------------------------------------

// The three templates as the program loads them from its own module. The expected rows are the
// layout the dialogs were designed to, in dialog units; where a text is set at run time, or a
// control's kind says nothing of its style, the row does not check it.
struct ControlKind {
    const wchar_t* className;
    DWORD style;  // the bits that must be set within mask
    DWORD mask;
};
constexpr ControlKind kPushButton = {L"Button", BS_PUSHBUTTON, BS_TYPEMASK};
constexpr ControlKind kDefaultButton = {L"Button", BS_DEFPUSHBUTTON, BS_TYPEMASK};
constexpr ControlKind kGroupBox = {L"Button", BS_GROUPBOX, BS_TYPEMASK};
constexpr ControlKind kAutoCheckBox = {L"Button", BS_AUTOCHECKBOX, BS_TYPEMASK};
constexpr ControlKind kLogo = {L"Static", SS_BITMAP | SS_CENTERIMAGE | SS_REALSIZEIMAGE,
                               SS_TYPEMASK | SS_CENTERIMAGE | SS_REALSIZEIMAGE};
constexpr ControlKind kStatic = {L"Static", 0, 0};
constexpr ControlKind kRightStatic = {L"Static", SS_RIGHT, SS_TYPEMASK};
constexpr ControlKind kCentredSunken = {L"Static", SS_CENTER | SS_SUNKEN, SS_TYPEMASK | SS_SUNKEN};
constexpr ControlKind kDropDownList = {L"ComboBox", CBS_DROPDOWNLIST | WS_VSCROLL, 0x3 | WS_VSCROLL};
constexpr ControlKind kEditableDropDown = {L"ComboBox", CBS_DROPDOWN, 0x3};

constexpr int kNoId = -1;  // a control nobody addresses, found by its kind and text

struct ControlRow {
    int id;
    ControlKind kind;
    const wchar_t* text;  // "#n": resource n; nullptr: set at run time
    short x, y, cx, cy;
};

struct DialogRow {
    const wchar_t* name;
    const wchar_t* className;  // empty: the dialog manager's own
    const wchar_t* caption;
    short cx, cy;
    WORD fontPoints;
    DWORD style, styleMask, exStyle;
    bool onlyTheseControls;  // false: the readings grids add controls of their own
    std::vector<ControlRow> controls;
};

struct TemplateControl {
    int id;
    std::wstring className, text;
    short x, y, cx, cy;
    DWORD style;
};

struct DialogTemplate {
    DWORD style = 0, exStyle = 0;
    short cx = 0, cy = 0;
    std::wstring className, caption, face;
    WORD fontPoints = 0;
    std::vector<TemplateControl> controls;
};

// A name-or-ordinal field; an ordinal reads "#n". A predefined control class, which the resource
// compiler stores as an ordinal or as a name in any case, reads as its usual name.
std::wstring ReadNameOrOrdinal(const WORD*& at, bool controlClass = false)
{
    static const wchar_t* const kClasses[] = {L"Button", L"Edit", L"Static", L"ListBox", L"ScrollBar", L"ComboBox"};
    if (*at == 0xFFFF) {
        const WORD ordinal = at[1];
        at += 2;
        if (controlClass && ordinal >= 0x80 && ordinal <= 0x85)
            return kClasses[ordinal - 0x80];
        return L"#" + std::to_wstring(ordinal);
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(at));
    at += text.size() + 1;
    for (const wchar_t* name : kClasses) {
        if (controlClass && _wcsicmp(text.c_str(), name) == 0)
            return name;
    }
    return text;
}

DWORD ReadDword(const WORD* at)
{
    DWORD value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Parses an extended dialog template (DLGTEMPLATEEX and its DLGITEMTEMPLATEEX items).
bool ReadDialogTemplate(const wchar_t* name, DialogTemplate& out)
{
    HRSRC found = FindResourceW(g_instance, name, RT_DIALOG);
    const auto* at = static_cast<const WORD*>(found ? LockResource(LoadResource(g_instance, found)) : nullptr);
    if (at == nullptr || at[0] != 1 || at[1] != 0xFFFF)
        return false;
    out.exStyle = ReadDword(at + 4);
    out.style = ReadDword(at + 6);
    const WORD count = at[8];
    out.cx = static_cast<short>(at[11]);
    out.cy = static_cast<short>(at[12]);
    at += 13;
    ReadNameOrOrdinal(at);  // menu
    out.className = ReadNameOrOrdinal(at);
    out.caption = ReadNameOrOrdinal(at);
    if (out.style & (DS_SETFONT | DS_SHELLFONT)) {
        out.fontPoints = at[0];
        at += 3;  // points, weight, italic and character set
        out.face = ReadNameOrOrdinal(at);
    }
    for (WORD i = 0; i < count; ++i) {
        at = reinterpret_cast<const WORD*>((reinterpret_cast<uintptr_t>(at) + 3) & ~uintptr_t{3});
        TemplateControl control;
        control.style = ReadDword(at + 4);
        control.x = static_cast<short>(at[6]);
        control.y = static_cast<short>(at[7]);
        control.cx = static_cast<short>(at[8]);
        control.cy = static_cast<short>(at[9]);
        const DWORD id = ReadDword(at + 10);
        control.id = (id == 0xFFFF || id == 0xFFFFFFFF) ? kNoId : static_cast<int>(id);
        at += 12;
        control.className = ReadNameOrOrdinal(at, true);
        control.text = ReadNameOrOrdinal(at);
        const WORD extraBytes = *at++;
        at = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(at) + extraBytes);
        out.controls.push_back(control);
    }
    return true;
}

std::string DescribeControl(int id, const std::wstring& className, const wchar_t* text, short x, short y, short cx,
                            short cy, DWORD maskedStyle)
{
    std::ostringstream out;
    out << id << ' ' << Narrow(className) << " \"" << (text ? Narrow(text) : "(set at run time)") << "\" " << x
        << ',' << y << ',' << cx << ',' << cy << " style 0x" << std::hex << maskedStyle;
    return out.str();
}

TEST(DialogTemplates, MatchTheirControlTables)
{
    const DialogRow dialogs[] = {
        {L"TRELLIDEX", L"TRELLIDEX", L"Ombrelo", 620, 325, 8,
         DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU,
         DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_THICKFRAME | WS_VISIBLE,
         WS_EX_CONTROLPARENT, false,
         {{kNoId, kLogo, L"#101", 480, 0, 145, 35},
          {kNoId, kGroupBox, L"Select COM Port", 45, 8, 230, 42},
          {1001, kPushButton, L"Refresh", 55, 24, 40, 15},
          {kNoId, kRightStatic, L"Port:", 100, 27, 20, 8},
          {1002, kDropDownList, L"", 126, 26, 60, 217},
          {1003, kPushButton, L"Connect", 195, 24, 55, 15},
          {1004, kPushButton, L"Power OFF", 306, 267, 55, 20},
          {1005, kPushButton, L"Clear Log", 365, 267, 55, 20},
          {1006, kPushButton, L"Save Log", 365, 291, 55, 20},
          {1007, kPushButton, L"Reset Min/Max", 424, 267, 55, 20},
          {1008, kPushButton, L"Save Report", 424, 291, 55, 20},
          {1009, kPushButton, L"Configure", 483, 267, 55, 20},
          {1010, kPushButton, L"Help", 483, 291, 55, 20},
          {1011, kPushButton, L"About", 542, 267, 55, 20},
          {1012, kPushButton, L"Exit", 542, 291, 55, 20},
          {1013, kStatic, L"", 45, 265, 210, 45}}},
        {L"CONFBOX", L"", L"Configuration", 180, 134, 10,
         DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION,
         DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU, 0, true,
         {{kNoId, kGroupBox, L"Connected Cables", 16, 10, 150, 50},
          {1017, kAutoCheckBox, L"12V CPU", 23, 21, 44, 10},
          {1018, kAutoCheckBox, L"12V PCIe", 23, 33, 45, 10},
          {kNoId, kStatic, L"Will be considered for PASS/FAIL", 22, 45, 120, 8},
          {kNoId, kStatic, L"Compliance Mode", 19, 66, 58, 8},
          {1019, kEditableDropDown, L"", 82, 65, 40, 30},
          {kNoId, kStatic, L"Buzzer Mode", 19, 81, 50, 8},
          {1020, kEditableDropDown, L"", 64, 80, 58, 40},
          {kNoId, kStatic, L"Log Intervals (sec)", 19, 96, 70, 8},
          {1021, kEditableDropDown, L"", 82, 95, 40, 50},
          {IDOK, kDefaultButton, L"OK", 60, 114, 50, 14},
          {IDCANCEL, kDefaultButton, L"Cancel", 116, 114, 50, 14}}},
        {L"ABOUTBOX", L"", L"About Ombrelo", 175, 212, 10,
         DS_MODALFRAME | WS_POPUP | WS_CAPTION,
         DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, true,
         {{kNoId, kLogo, L"#101", 7, 8, 159, 117},
          {kNoId, kGroupBox, L"", 7, 126, 160, 54},
          {1016, kCentredSunken, nullptr, 17, 134, 140, 10},
          {1015, kCentredSunken, nullptr, 17, 149, 140, 10},
          {1014, kCentredSunken, nullptr, 17, 164, 140, 10},
          {IDOK, kDefaultButton, L"OK", 60, 186, 55, 13}}},
    };
    for (const DialogRow& d : dialogs) {
        SCOPED_TRACE(Narrow(d.name));
        DialogTemplate t;
        ASSERT_TRUE(ReadDialogTemplate(d.name, t)) << "no extended dialog template in the module";
        EXPECT_EQ(t.className, d.className);
        EXPECT_EQ(t.caption, d.caption);
        EXPECT_EQ(t.cx, d.cx);
        EXPECT_EQ(t.cy, d.cy);
        EXPECT_EQ(t.face, L"Tahoma");
        EXPECT_EQ(t.fontPoints, d.fontPoints);
        EXPECT_EQ(t.style & d.styleMask, d.style);
        EXPECT_EQ(t.exStyle & WS_EX_CONTROLPARENT, d.exStyle);
        if (d.onlyTheseControls) {
            EXPECT_EQ(t.controls.size(), d.controls.size());
        }
        for (const ControlRow& row : d.controls) {
            const std::string expected = DescribeControl(row.id, row.kind.className, row.text, row.x, row.y, row.cx,
                                                         row.cy, row.kind.style);
            std::string seen = "(no such control)";
            for (const TemplateControl& c : t.controls) {
                if (c.id != row.id || (row.id == kNoId && (c.className != row.kind.className || c.text != row.text)))
                    continue;
                seen = DescribeControl(c.id, c.className, row.text ? c.text.c_str() : nullptr, c.x, c.y, c.cx, c.cy,
                                       c.style & row.kind.mask);
                break;
            }
            EXPECT_EQ(seen, expected);
        }
    }
}

// --- Handles -------------------------------------------------------------------------------------

struct Handles {
    int countedGdi;
    DWORD systemGdi;
    DWORD systemUser;
    int childWindows;
    bool operator==(const Handles&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Handles& h)
{
    return out << "{counted GDI " << h.countedGdi << ", system GDI " << h.systemGdi << ", USER " << h.systemUser
               << ", child windows " << h.childWindows << "}";
}

Handles CountHandles()
{
    int children = 0;
    EnumChildWindows(
        g_window, [](HWND, LPARAM count) -> BOOL {
            ++*reinterpret_cast<int*>(count);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&children));
    return {CountLiveGdiObjects(), GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS),
            GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS), children};
}

// One display tick as timer 1 gives it, with every changed cell repainted at once, so that each
// asks for its colours.
void DisplayTick(int tick)
{
    // Alternating values change every text, so every cell repaints and asks again.
    const int32_t value = (tick % 2 == 0) ? 12000 : 11950;
    for (int cell = 0; cell < kCellCount; ++cell)
        g_readingsTable.value[cell].store(value);
    UpdateReadingsDisplay();
    RedrawWindow(g_window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    PumpPending();
}

TEST(MainWindowHandles, ThousandDisplayTicksLeaveNoGraphicsObjectsOrWindowsBehind)
{
    constexpr int kTicks = 1000;
    DisplayTick(0);  // the one cell brush exists from the first colour request on
    const Handles before = CountHandles();
    int colourRequests = 0;
    {
        ScopedSpy spy;
        for (int tick = 1; tick <= kTicks; ++tick)
            DisplayTick(tick);
        colourRequests = g_spy.cellColourRequests;
    }
    const Handles after = CountHandles();
    EXPECT_EQ(after, before);
    EXPECT_GE(colourRequests, kTicks) << "the cells were not repainted";
    g_readingsTable.ClearValues();
    UpdateReadingsDisplay();
    ExpectState(kIdle);
}

// A dialog or message box that no test asked for would hold this thread until someone closed it:
// each is reported and closed. The dialog a driver waits for is the driver's.
BOOL CALLBACK CloseUnexpectedDialog(HWND window, LPARAM)
{
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (std::wcscmp(className, L"#32770") != 0 || GetWindow(window, GW_OWNER) != g_window || !IsWindowVisible(window))
        return TRUE;
    const std::wstring caption = TextOf(window);
    if (g_driver != nullptr && caption == g_driver->caption)
        return TRUE;
    wchar_t text[200] = {};
    GetDlgItemTextW(window, 0xFFFF, text, 200);  // a message box's text
    ADD_FAILURE() << "the window showed \"" << Narrow(caption) << "\": " << Narrow(text);
    EndDialog(window, IDOK);
    return TRUE;
}

void CALLBACK CloseUnexpectedDialogs(HWND, UINT, UINT_PTR, DWORD)
{
    EnumThreadWindows(GetCurrentThreadId(), CloseUnexpectedDialog, 0);
}

// After each test. A connection the test left behind (it stopped half-way) is ended, so that its
// worker cannot act on the next test's window. Damage to a heap shows in the test that did it
// rather than as a crash minutes later; with Wine's heap checks on (WINEDEBUG=warn+heap, as CTest
// runs this) freed blocks are filled with a pattern, so a write into freed memory shows up too.
class AfterEachTest : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo&) override
    {
        if (g_workerThreads.load() != 0) {
            ADD_FAILURE() << "the test left a connection behind: " << DescribeWindow();
            if (g_stopRequested.load() == 0)
                Click(kConnectButtonId);
            EXPECT_TRUE(PumpUntil([] { return g_workerThreads.load() == 0 && !HasQueuedWorkerRequest(); }));
        }
        HANDLE heaps[64];
        const DWORD count = GetProcessHeaps(64, heaps);
        for (DWORD i = 0; i < count && i < 64; ++i)
            EXPECT_TRUE(HeapValidate(heaps[i], 0, nullptr)) << "heap " << heaps[i] << " is damaged";
    }
};

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new AfterEachTest);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--port=", 7) == 0) {
            g_testerPort.clear();
            for (const char* c = argv[i] + 7; *c != '\0'; ++c)
                g_testerPort += static_cast<wchar_t>(*c);
        }
    }

    // The program's own start-up, up to its message loop; the tests pump instead.
    g_workerRunning.store(0);
    g_instance = GetModuleHandleW(nullptr);
    if (!RegisterMainWindowClass(g_instance)) {
        std::fprintf(stderr, "cannot register the main window class\n");
        return 1;
    }
    g_readingsTable.ClearValues();
    g_window = CreateMainWindow(g_instance);
    if (g_window == nullptr) {
        std::fprintf(stderr, "cannot create the main window from its template\n");
        return 1;
    }
    ShowWindow(g_window, SW_SHOWNORMAL);
    InitMainWindow(g_window);
    const UINT_PTR watchdog = SetTimer(nullptr, 0, 250, CloseUnexpectedDialogs);

    int result = RUN_ALL_TESTS();

    KillTimer(nullptr, watchdog);
    // Exit, as the button does it: the window's destruction frees what the window created.
    Click(kExitButtonId);
    if (IsWindow(g_window)) {
        std::fprintf(stderr, "FAILED: Exit left the main window open\n");
        result = 1;
    } else if (CountLiveGdiObjects() != 0) {
        std::fprintf(stderr, "FAILED: %d graphics objects outlive the main window\n", CountLiveGdiObjects());
        result = 1;
    }
    EndConnectionBeforeExit();
    return result;
}
