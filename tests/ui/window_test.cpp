// Tests of the real main window under Wine, built from the program's own resources: the window
// procedure and both dialogs driven by messages, the Connect/Disconnect states against the
// simulated tester on a COM port, Escape, colour messages, the dialog templates, and the graphics
// objects and windows a long run of display ticks leaves behind. After every test, every heap of
// the process is checked and no connection is left.
//
// One window serves the whole program. It is created on the main thread, which is therefore its
// UI thread: only this thread sends it messages. A helper thread reads nothing but enabled states
// (IsWindowEnabled sends no message). Modal dialogs run their own loop inside the command that
// opens them, so a thread timer, whose callback that loop dispatches, drives them from inside.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
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
std::wstring g_testerPort = L"COM5";  // the COM port the simulated tester is linked to (--port=COMn)

// Bounds every wait on the window or the worker, so that a broken step fails instead of hanging.
constexpr DWORD kHangGuardMs = 30000;

// The cells' colours, written out here rather than taken from the program. No colour rule gives
// kUntouched: it shows whether a message set a colour.
constexpr COLORREF kGreen = RGB(0, 255, 0), kRed = RGB(255, 0, 0), kGrey = RGB(192, 192, 192);
constexpr COLORREF kUntouched = RGB(1, 2, 3);

HWND Control(int id) { return GetDlgItem(g_window, id); }

std::wstring TextOf(HWND window)
{
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

// A click on a button of the main window, as the button itself reports it.
void Click(int id) { SendMessageW(g_window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(Control(id))); }

// Pumps this thread's messages, through the dialog manager first as in the program's loop, until
// done() holds; false when kHangGuardMs passed first.
bool PumpUntil(const std::function<bool()>& done)
{
    const ULONGLONG end = GetTickCount64() + kHangGuardMs;
    for (MSG message;;) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (!IsDialogMessageW(g_window, &message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        if (done())
            return true;
        if (GetTickCount64() >= end)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

// No worker thread left and none of the workers' requests still queued.
bool WorkerGone()
{
    MSG message;
    return g_workerThreads.load() == 0 &&
           !PeekMessageW(&message, g_window, kWorkerRequestMessage, kWorkerRequestMessage + 3, PM_NOREMOVE);
}

int CountLogRows() { return g_logger ? g_logger->GetRecordCount() : -1; }

void KeepOneLogRow()
{
    g_logger->Clear();
    g_logger->AddRecord(L"kept", kLogInformation);
}

// Counts, while in place, Escape's cancel commands, the readings cells' colour requests and the
// ticks of timer 1 that reach the main window.
struct ScopedSpy {
    static inline WNDPROC previous = nullptr;
    static inline int cancelCommands = 0, cellColourRequests = 0, displayTicks = 0;
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        cancelCommands += message == WM_COMMAND && LOWORD(wParam) == IDCANCEL;
        displayTicks += message == WM_TIMER && wParam == kDisplayTimerId;
        if (message == WM_CTLCOLORSTATIC) {
            const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
            cellColourRequests += id >= 1100 && id <= 1259;
        }
        return CallWindowProcW(previous, window, message, wParam, lParam);
    }
    ScopedSpy()
    {
        cancelCommands = cellColourRequests = displayTicks = 0;
        previous = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(g_window, GWLP_WNDPROC, LONG_PTR(Proc)));
    }
    ~ScopedSpy() { SetWindowLongPtrW(g_window, GWLP_WNDPROC, LONG_PTR(previous)); }
};

// --- The state table -----------------------------------------------------------------------------

// The enabled ones of Connect, Refresh and the three device controls. Read with IsWindowEnabled
// only, which sends no message, so any thread may take them.
std::wstring EnabledButtons()
{
    std::wstring out;
    for (auto [id, name] : {std::pair{kConnectButtonId, L"Connect"}, {kRefreshButtonId, L"Refresh"},
                            {kPowerButtonId, L"Power"}, {kResetMinMaxButtonId, L"ResetMinMax"},
                            {kConfigureButtonId, L"Configure"}})
        out += IsWindowEnabled(Control(id)) ? (out.empty() ? L"" : L" ") + std::wstring(name) : L"";
    return out;
}

// Button 1003's text, then the enabled buttons; with the worker flags after the ';'.
std::wstring ShownState() { return TextOf(Control(kConnectButtonId)) + L": " + EnabledButtons(); }
std::wstring WindowState()
{
    return ShownState() + L"; stop " + std::to_wstring(g_stopRequested.load()) + L", worker " +
           std::to_wstring(g_workerRunning.load());
}

const std::wstring kIdleShown = L"Connect: Connect Refresh", kIdle = kIdleShown + L"; stop 1, worker 0";
const std::wstring kConnected = L"Disconnect: Connect Power ResetMinMax Configure; stop 0, worker 1";

std::vector<std::wstring> ComboItems(HWND combo)
{
    std::vector<std::wstring> items;
    for (LRESULT i = 0, count = SendMessageW(combo, CB_GETCOUNT, 0, 0); i < count; ++i) {
        wchar_t text[64] = {};
        if (SendMessageW(combo, CB_GETLBTEXTLEN, i, 0) < 64)
            SendMessageW(combo, CB_GETLBTEXT, i, LPARAM(text));
        items.push_back(text);
    }
    return items;
}

int SelectedIndex(HWND combo)
{
    const LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    return index == CB_ERR ? -1 : static_cast<int>(index);
}

// Connect from Idle: at once nothing is enabled (the worker's requests wait in this thread's queue);
// pumped until the worker has connected. It offers Configure as its last request when it accepts the
// tester, once it has read the tester's settings; requests are applied in order, so everything it
// asked for before has been applied then too.
void ConnectAndWait()
{
    Click(kConnectButtonId);
    EXPECT_EQ(WindowState(), L"Connect: ; stop 1, worker 0");
    ASSERT_TRUE(PumpUntil([] {
        return TextOf(Control(kConnectButtonId)) == L"Disconnect" && IsWindowEnabled(Control(kConnectButtonId)) &&
               IsWindowEnabled(Control(kConfigureButtonId));
    })) << "not connected: " << WindowState();
    EXPECT_EQ(WindowState(), kConnected);
}

// Disconnect, watched from a helper thread while the UI thread waits for the worker; returns the
// enabled buttons seen inside the wait. The helper counts as one more worker thread until it has
// read them, so the wait cannot end before (it waits for every worker thread of a polling
// connection). Afterwards the helper asks to enable the device controls through the window seam,
// as a worker that ends late does: those requests reach the window only after the connection.
std::wstring DisconnectWatched()
{
    std::atomic<bool> returned{false};
    std::wstring sample = L"(the Disconnect wait was never seen from outside)";
    g_workerThreads.fetch_add(1);
    std::thread observer([&] {
        while (g_stopRequested.load() == 0 && !returned.load())
            std::this_thread::yield();
        const std::wstring seen = EnabledButtons();
        if (!returned.load())  // read after the buttons: a wait that gave up on a starved helper does not count
            sample = seen;
        g_workerThreads.fetch_sub(1);
        for (int id : {kPowerButtonId, kResetMinMaxButtonId, kConfigureButtonId})
            EnableControl(g_window, id, true);
    });
    Click(kConnectButtonId);
    returned = true;
    observer.join();
    return sample;
}

TEST(MainWindowStates, StartsIdleAndRefreshRebuildsThePortListSelectingItsFirstEntry)
{
    HWND list = Control(kPortListId);
    for (bool refreshed : {false, true}) {
        SCOPED_TRACE(refreshed ? "after Refresh" : "at start");
        if (refreshed) {
            SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
            ASSERT_EQ(SelectedIndex(list), -1);
            Click(kRefreshButtonId);
        }
        EXPECT_EQ(ComboItems(list), std::vector<std::wstring>{g_testerPort});
        EXPECT_EQ(SelectedIndex(list), 0);
        EXPECT_EQ(WindowState(), kIdle);
    }
}

TEST(MainWindowStates, ConnectAndDisconnectFollowTheStateTable)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAndWait());
    EXPECT_EQ(DisconnectWatched(), L"") << "inside the Disconnect wait";
    // Right after the wait, before anything the worker asked for has been applied.
    EXPECT_EQ(ShownState(), kIdleShown);
    ASSERT_TRUE(PumpUntil(WorkerGone)) << "the worker did not end";
    EXPECT_EQ(WindowState(), kIdle) << "the ended connection's late requests must leave the device controls off";
}

// Through the program's own loop, whose dialog manager turns Escape into command 2.
TEST(MainWindowKeys, EscapeGoesToTheWindowAsCancelAndIsIgnored)
{
    KeepOneLogRow();
    ScopedSpy spy;
    PostMessageW(Control(kAboutButtonId), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostQuitMessage(0);
    EXPECT_EQ(RunMessageLoop(), 0);
    EXPECT_EQ(spy.cancelCommands, 1) << "Escape did not reach the window as its cancel command";
    ASSERT_TRUE(IsWindow(g_window));
    EXPECT_TRUE(IsWindowVisible(g_window));
    EXPECT_EQ(CountLogRows(), 1);
    EXPECT_EQ(WindowState(), kIdle);
}

// --- Colour messages -------------------------------------------------------------------------------

COLORREF BrushColour(HBRUSH brush)
{
    LOGBRUSH logBrush = {};
    return GetObjectW(brush, sizeof logBrush, &logBrush) == sizeof logBrush ? logBrush.lbColor : CLR_INVALID;
}

// A readings cell gets the one cell brush, in a colour that follows its state, its value and the
// text it shows; the brush handed out before is gone. Any other control (no colour in its row)
// keeps its default colours: the window answers as default processing does and leaves the cell
// brush alone. No colour message runs the command of the control's id. Ids 1099, 1259 and 1260,
// which the template does not use, are the extra statics main() adds.
TEST(MainWindowColours, CellsGetTheOneCellBrushInTheirStatesColourOthersTheDefault)
{
    const struct {
        const char* name;
        HWND control;
        int32_t value = 0;
        CellState state = CellState::Pass;
        const wchar_t* text = nullptr;  // nullptr: the control keeps its text
        COLORREF colour = CLR_INVALID;  // CLR_INVALID: the default colours
    } rows[] = {
        {"PASS is green", Control(1101), 12000, CellState::Pass, L"12.00", kGreen},
        {"FAIL is red", Control(1101), 13000, CellState::Fail, L"13.00", kRed},
        {"N/A is grey", Control(1101), 0, CellState::NotAvailable, L"0.00", kGrey},
        {"no value is grey whatever the state", Control(1101), kNotAvailable, CellState::Pass, L"", kGrey},
        {"a cell showing N/A is grey whatever the state", Control(1167), 12000, CellState::Pass, nullptr, kGrey},
        {"first id of the range", Control(1100), 11000, CellState::Fail, L"11.00", kRed},
        {"last id of the range", Control(1259), 1, CellState::Pass, L"1", kGreen},
        {"status panel", Control(kStatusPanelId)},
        {"label", FindWindowExW(g_window, nullptr, L"Static", L"Port:")},
        {"Clear Log button", Control(kClearLogButtonId)},
        {"About button", Control(kAboutButtonId)},
        {"id just below the cells", Control(1099)},
        {"id just above the cells", Control(1260)},
        {"the window itself", g_window},
    };
    std::vector<std::pair<HWND, std::wstring>> shownTexts;  // put back afterwards, as the display showed them
    for (const auto& row : rows)
        shownTexts.emplace_back(row.control, TextOf(row.control));
    HDC context = CreateCompatibleDC(nullptr), reference = CreateCompatibleDC(nullptr);
    ASSERT_TRUE(context != nullptr && reference != nullptr);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(row.control, nullptr);
        const bool cell = row.colour != CLR_INVALID;
        if (cell) {
            g_readingsTable.value[GetDlgCtrlID(row.control) - 1100].store(row.value);
            g_readingsTable.state[GetDlgCtrlID(row.control) - 1100] = row.state;
            if (row.text != nullptr)
                SetWindowTextW(row.control, row.text);
        }
        KeepOneLogRow();
        const HBRUSH cellBrush = g_cellBrush;
        const COLORREF cellColour = BrushColour(cellBrush);
        const int objects = CountLiveGdiObjects();
        const UINT message = row.control == g_window ? WM_CTLCOLORDLG : WM_CTLCOLORSTATIC;
        SetBkColor(reference, kUntouched);
        SetBkColor(context, kUntouched);
        const LRESULT result = SendMessageW(g_window, message, WPARAM(context), LPARAM(row.control));
        if (cell) {
            EXPECT_EQ(reinterpret_cast<HBRUSH>(result), g_cellBrush);
            EXPECT_EQ(BrushColour(g_cellBrush), row.colour);
            EXPECT_EQ(GetBkColor(context), row.colour);
            EXPECT_EQ(CountLiveGdiObjects(), objects + (cellBrush != nullptr ? 0 : 1)) << "one brush at a time";
        } else {
            ASSERT_NE(cellColour, CLR_INVALID) << "no cell brush to leave alone";
            EXPECT_EQ(result, DefWindowProcW(g_window, message, WPARAM(reference), LPARAM(row.control)));
            EXPECT_NE(reinterpret_cast<HBRUSH>(result), cellBrush);
            EXPECT_EQ(GetBkColor(context), GetBkColor(reference));
            EXPECT_EQ(g_cellBrush, cellBrush);
            EXPECT_EQ(BrushColour(cellBrush), cellColour) << "the cell brush was changed";
            EXPECT_EQ(CountLiveGdiObjects(), objects);
        }
        EXPECT_EQ(CountLogRows(), 1) << "a colour message ran a command";
        ASSERT_TRUE(IsWindow(g_window));
    }
    DeleteDC(reference);
    DeleteDC(context);
    for (auto it = shownTexts.rbegin(); it != shownTexts.rend(); ++it)
        SetWindowTextW(it->first, it->second.c_str());
    g_readingsTable.ClearValues();
    UpdateReadingsDisplay();
    EXPECT_EQ(WindowState(), kIdle);
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
    } else if (IsWindow(driver->dialog) && GetTickCount64() - driver->actedAt > kHangGuardMs) {
        driver->forcedClosed = true;
        EndDialog(driver->dialog, 0);
    }
}

// Opens the dialog with the command, lets act look at it, change and close it, and checks it
// opened and closed.
void RunDialogCommand(int commandId, const wchar_t* caption, std::function<void(HWND)> act)
{
    DialogDriver driver{caption, std::move(act)};
    g_driver = &driver;
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, DriveDialog);
    Click(commandId);
    KillTimer(nullptr, timer);
    g_driver = nullptr;
    EXPECT_NE(driver.dialog, nullptr) << "the dialog did not open";
    EXPECT_FALSE(driver.forcedClosed) << "the dialog did not close";
    EXPECT_FALSE(IsWindow(driver.dialog));
    EXPECT_TRUE(IsWindowEnabled(g_window)) << "the main window stayed disabled";
}

enum Close { kOkButton, kCancelButton, kEnterKey, kEscapeKey };
const char* const kCloseNames[] = {"OK", "Cancel", "Enter", "Escape"};

// As the user would: a button reports its click, a key goes to the focused control and through the
// dialog manager of the dialog's loop.
void CloseDialog(HWND dialog, Close how)
{
    const int id = how == kCancelButton ? IDCANCEL : IDOK;
    if (how == kOkButton || how == kCancelButton)
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(dialog, id)));
    else
        PostMessageW(GetDlgItem(dialog, IDOK), WM_KEYDOWN, how == kEnterKey ? VK_RETURN : VK_ESCAPE, 0x00010001);
}

TEST(AboutDialog, ShowsTheVersionLineCentredAndClosesWithOkEnterAndEscape)
{
    for (Close how : {kOkButton, kEnterKey, kEscapeKey}) {
        SCOPED_TRACE(kCloseNames[how]);
        std::wstring version, copyright;
        std::pair<long, long> at, centred;
        RunDialogCommand(kAboutButtonId, L"About Ombrelo", [&](HWND dialog) {
            version = TextOf(GetDlgItem(dialog, kVersionTextId));
            copyright = TextOf(GetDlgItem(dialog, kCopyrightTextId));
            RECT box = {}, parent = {};
            GetWindowRect(dialog, &box);
            GetWindowRect(g_window, &parent);
            at = {box.left, box.top};
            const WindowPosition expected = ComputeCenteredPosition(
                box.right - box.left, box.bottom - box.top,
                {parent.left, parent.top, parent.right - parent.left, parent.bottom - parent.top},
                GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
            centred = {expected.x, expected.y};
            CloseDialog(dialog, how);
        });
        EXPECT_EQ(version, L"Ombrelo V1.0 (1002)");
        EXPECT_EQ(copyright, kCopyrightText);
        EXPECT_EQ(at, centred) << "not centred on the main window";
    }
    EXPECT_EQ(WindowState(), kIdle);
}

// The Configuration dialog's five controls, in the order of the arrays below: two check boxes, then
// three lists.
constexpr int kConfigIds[5] = {kCpuCableCheckId, kPcieCableCheckId, kComplianceComboId, kBuzzerComboId,
                               kLogIntervalComboId};
// Settings: the four tester-held ones (bytes 14 to 17 of its settings block) and the log interval.
// Shown: the two check boxes, then the selected index of each list (-1: none).
// Choice: a user's change to each control: kKeep, a check box's 0 or 1, a list's index or kTyped.
using Five = std::array<int, 5>;
constexpr int kKeep = -2;   // leave the control as shown
constexpr int kTyped = -1;  // no item selected, a text typed into the edit field instead

Five ReadSettings()
{
    Five s;
    for (int i = 0; i < 4; ++i)
        s[i] = LoadByte(g_testerDevice.readings.deviceSettings[14 + i]);
    s[4] = g_logIntervalSeconds.load();
    return s;
}

void StoreSettings(const Five& s)
{
    for (int i = 0; i < 4; ++i)
        StoreByte(g_testerDevice.readings.deviceSettings[14 + i], static_cast<uint8_t>(s[i]));
    g_logIntervalSeconds.store(static_cast<uint8_t>(s[4]));
}

Five ReadConfigDialog(HWND dialog)
{
    Five shown;
    for (int i = 0; i < 5; ++i)
        shown[i] = i < 2 ? IsDlgButtonChecked(dialog, kConfigIds[i]) == BST_CHECKED
                         : SelectedIndex(GetDlgItem(dialog, kConfigIds[i]));
    return shown;
}

// Changes the dialog as the user would: boxes ticked or not, list items chosen, or nothing selected
// in a list and a text typed in that names an item.
void ChooseInConfigDialog(HWND dialog, const Five& choice)
{
    static const wchar_t* const kTypedTexts[5] = {nullptr, nullptr, L"Strict", L"Compliance", L"10"};
    for (int i = 0; i < 5; ++i) {
        HWND control = GetDlgItem(dialog, kConfigIds[i]);
        COMBOBOXINFO info = {};
        info.cbSize = sizeof info;
        if (choice[i] != kKeep && i < 2)
            CheckDlgButton(dialog, kConfigIds[i], choice[i] != 0 ? BST_CHECKED : BST_UNCHECKED);
        else if (choice[i] != kKeep)
            SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(choice[i]), 0);
        if (choice[i] == kTyped && GetComboBoxInfo(control, &info) && info.hwndItem != nullptr)
            SetWindowTextW(info.hwndItem, kTypedTexts[i]);
    }
}

// The dialog's mappings both ways, the odd values a tester may hold, typed text, and what OK, Cancel
// and Escape do to the settings, the worker's request and timer 2 (started: it adds readings-log
// rows; not started: it is not running after the dialog closed; not watched).
TEST(ConfigurationDialog, ShowsTheSettingsAndStoresThemOnlyOnOk)
{
    enum LogTimer { kNotWatched, kStarted, kNotStarted };
    const struct {
        const char* name;
        Five before, shown, choice;
        Close close;
        Five after;
        bool signalled;
        LogTimer logTimer;
    } cases[] = {
        {"odd tester values show as Loose and Off, an unlisted interval as nothing; OK normalises",
         {1, 0, 5, 7, 15}, {1, 0, 1, 2, -1}, {kKeep, kKeep, kKeep, kKeep, kKeep}, kOkButton, {1, 0, 1, 0, 15}, true,
         kNotWatched},
        {"chosen values are stored and, while connected, timer 2 runs with the new interval",
         {0, 0, 0, 0, 10}, {0, 0, 0, 2, 1}, {1, 1, 1, 0, 0}, kOkButton, {1, 1, 1, 2, 1}, true, kStarted},
        {"without a tester OK starts no timer 2",
         {0, 0, 0, 0, 10}, {0, 0, 0, 2, 1}, {kKeep, kKeep, kKeep, kKeep, 0}, kOkButton, {0, 0, 0, 0, 1}, true,
         kNotStarted},
        {"the other way round",
         {1, 1, 1, 2, 60}, {1, 1, 1, 0, 3}, {0, 0, 0, 1, 2}, kOkButton, {0, 0, 0, 1, 30}, true, kNotWatched},
        {"typed text without a selected item counts as no selection",
         {0, 0, 0, 1, 30}, {0, 0, 0, 1, 2}, {kKeep, kKeep, kTyped, kTyped, kTyped}, kOkButton, {0, 0, 1, 0, 30},
         true, kNotWatched},
        {"Cancel changes nothing",
         {1, 0, 1, 1, 1}, {1, 0, 1, 1, 0}, {0, 1, 0, 0, 3}, kCancelButton, {1, 0, 1, 1, 1}, false, kNotStarted},
        {"Escape cancels",
         {0, 1, 0, 2, 1}, {0, 1, 0, 0, 0}, {1, 0, 1, 2, 3}, kEscapeKey, {0, 1, 0, 2, 1}, false, kNotStarted},
    };
    const std::vector<std::wstring> lists[3] = {
        {L"Strict", L"Loose"}, {L"Fatal Errors", L"Compliance", L"Off"}, {L"1", L"10", L"30", L"60"}};

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KillTimer(g_window, kLogTimerId);
        g_logger->Clear();
        StoreSettings(c.before);
        g_settingsChangedEvent.Reset();
        // OK starts timer 2 only while a tester is connected; no worker runs here.
        g_stopRequested.store(c.logTimer == kStarted ? 0 : 1);

        Five shown = {}, typedShown = {};
        std::vector<std::wstring> listsShown[3];
        std::wstring buzzerEdit;
        RunDialogCommand(kConfigureButtonId, L"Configuration", [&](HWND dialog) {
            shown = ReadConfigDialog(dialog);
            for (int i = 0; i < 3; ++i)
                listsShown[i] = ComboItems(GetDlgItem(dialog, kConfigIds[2 + i]));
            buzzerEdit = TextOf(GetDlgItem(dialog, kBuzzerComboId));
            ChooseInConfigDialog(dialog, c.choice);
            typedShown = ReadConfigDialog(dialog);
            CloseDialog(dialog, c.close);
        });
        EXPECT_EQ(shown, c.shown);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(listsShown[i], lists[i]);
        EXPECT_EQ(buzzerEdit, lists[1][c.shown[3]]);
        for (int i = 2; i < 5; ++i)
            EXPECT_TRUE(c.choice[i] != kTyped || typedShown[i] == -1) << "the case is what it claims: list " << i;
        g_stopRequested.store(1);
        EXPECT_EQ(ReadSettings(), c.after);
        EXPECT_EQ(g_settingsChangedEvent.Wait(0), c.signalled);
        if (c.logTimer == kStarted) {
            EXPECT_TRUE(PumpUntil([] { return CountLogRows() >= 2; })) << "timer 2 added no readings-log rows";
        } else if (c.logTimer == kNotStarted) {  // killed before the case: none runs unless the dialog started one
            EXPECT_FALSE(KillTimer(g_window, kLogTimerId)) << "timer 2 runs after the dialog closed";
        }
    }
    KillTimer(g_window, kLogTimerId);
    g_logger->Clear();
    StoreSettings({0, 0, 0, 0, 10});
    g_settingsChangedEvent.Reset();
    EXPECT_EQ(WindowState(), kIdle);
}

// The connection ends while the dialog is open (here by Disconnect, sent while the dialog is up;
// a lost tester leaves the window the same way: not connected, timer 2 killed by the ending
// worker). OK then starts no timer 2, so in three log intervals no readings-log row is added.
TEST(ConfigurationDialog, OkAfterTheConnectionEndedAddsNoLogRows)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAndWait());
    g_logger->Clear();
    RunDialogCommand(kConfigureButtonId, L"Configuration", [](HWND dialog) {
        Click(kConnectButtonId);
        ChooseInConfigDialog(dialog, {kKeep, kKeep, kKeep, kKeep, 0});  // 1 s
        CloseDialog(dialog, kOkButton);  // posted behind the ended worker's requests, so it comes after them
    });
    EXPECT_EQ(g_logIntervalSeconds.load(), 1);
    EXPECT_TRUE(g_settingsChangedEvent.Wait(0));
    {
        ScopedSpy spy;  // three log intervals of 1 s, counted in ticks of timer 1 (500 ms)
        ASSERT_TRUE(PumpUntil([] { return ScopedSpy::displayTicks >= 6; })) << "timer 1 stopped";
    }
    EXPECT_EQ(CountLogRows(), 0) << "readings-log rows without a tester";
    EXPECT_FALSE(KillTimer(g_window, kLogTimerId)) << "timer 2 runs without a tester";
    ASSERT_TRUE(PumpUntil(WorkerGone));
    g_logIntervalSeconds.store(10);
    EXPECT_EQ(WindowState(), kIdle);
}

// --- Dialog templates ------------------------------------------------------------------------------

// The three templates as the program loads them from its own module: extended templates
// (DLGTEMPLATEEX, then DLGITEMTEMPLATEEX items), each part a fixed header followed by
// name-or-ordinal fields.
#pragma pack(push, 2)  // the template aligns its fixed parts to WORDs only
struct DialogHeader {
    WORD version, signature;
    DWORD helpId, exStyle, style;
    WORD count;
    short x, y, cx, cy;
};
struct ItemHeader {
    DWORD helpId, exStyle, style;
    short x, y, cx, cy;
    DWORD id;
};
#pragma pack(pop)

constexpr int kNoId = -1;          // a control nobody addresses, found by its kind and text
using Box = std::array<short, 4>;  // x, y, cx, cy
// A control: id, class, text, box and, of its style, the bits that make its kind, by class: a
// button's type; a static's type, picture and frame bits; a combo box's type and scroll bar.
using Item = std::tuple<int, std::wstring, std::wstring, Box, DWORD>;

struct DialogTemplate {
    DialogHeader header = {};
    std::wstring className, caption, face;
    WORD fontPoints = 0;
    std::vector<Item> controls;
};

// A name-or-ordinal field; an ordinal reads "#n". A predefined control class, which the resource
// compiler stores as an ordinal or as a name in any case, reads as its usual name.
std::wstring ReadNameOrOrdinal(const WORD*& at, bool controlClass = false)
{
    static const wchar_t* const kClasses[] = {L"Button", L"Edit", L"Static", L"ListBox", L"ScrollBar", L"ComboBox"};
    if (*at == 0xFFFF) {
        const WORD ordinal = at[1];
        at += 2;
        return controlClass && ordinal >= 0x80 && ordinal <= 0x85 ? kClasses[ordinal - 0x80]
                                                                  : L"#" + std::to_wstring(ordinal);
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(at));
    at += text.size() + 1;
    for (const wchar_t* name : kClasses) {
        if (controlClass && _wcsicmp(text.c_str(), name) == 0)
            return name;
    }
    return text;
}

// Copies a fixed part from at and steps past it.
template <typename T>
T ReadFixed(const WORD*& at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    at += sizeof value / sizeof(WORD);
    return value;
}

bool ReadDialogTemplate(const wchar_t* name, DialogTemplate& out)
{
    HRSRC found = FindResourceW(g_instance, name, RT_DIALOG);
    const auto* at = static_cast<const WORD*>(found ? LockResource(LoadResource(g_instance, found)) : nullptr);
    if (at == nullptr || at[0] != 1 || at[1] != 0xFFFF)
        return false;
    out.header = ReadFixed<DialogHeader>(at);
    ReadNameOrOrdinal(at);  // menu
    out.className = ReadNameOrOrdinal(at);
    out.caption = ReadNameOrOrdinal(at);
    if (out.header.style & (DS_SETFONT | DS_SHELLFONT)) {
        out.fontPoints = at[0];
        at += 3;  // points, weight, italic and character set
        out.face = ReadNameOrOrdinal(at);
    }
    for (WORD i = 0; i < out.header.count; ++i) {
        at = reinterpret_cast<const WORD*>((reinterpret_cast<uintptr_t>(at) + 3) & ~uintptr_t{3});
        const auto item = ReadFixed<ItemHeader>(at);
        const std::wstring className = ReadNameOrOrdinal(at, true), text = ReadNameOrOrdinal(at);
        const DWORD kindBits = className == L"Button" ? BS_TYPEMASK
                               : className == L"Static" ? SS_TYPEMASK | SS_CENTERIMAGE | SS_REALSIZEIMAGE | SS_SUNKEN
                                                        : 0x3 | WS_VSCROLL;
        out.controls.emplace_back(item.id == 0xFFFF || item.id == 0xFFFFFFFF ? kNoId : static_cast<int>(item.id),
                                  className, text, Box{item.x, item.y, item.cx, item.cy}, item.style & kindBits);
        at = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(at + 1) + *at);  // extra bytes
    }
    return true;
}

// The expected rows are the layout the dialogs were designed to, in dialog units; where a text is
// set at run time (nullptr) the row does not check it. "#n" names resource n.
TEST(DialogTemplates, MatchTheirControlTables)
{
    struct Row {
        int id;
        const wchar_t* className;
        DWORD style;
        const wchar_t* text;
        Box box;
    };
    const struct {
        const wchar_t* name;
        const wchar_t* className;  // empty: the dialog manager's own
        const wchar_t* caption;
        short cx, cy;
        WORD fontPoints;
        DWORD style, styleMask, exStyle;
        bool onlyTheseControls;  // false: the readings grids add controls of their own
        std::vector<Row> controls;
    } dialogs[] = {
        {L"TRELLIDEX", L"TRELLIDEX", L"Ombrelo", 620, 325, 8,
         DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU,
         DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_THICKFRAME | WS_VISIBLE,
         WS_EX_CONTROLPARENT, false,
         {{kNoId, L"Static", SS_BITMAP | SS_CENTERIMAGE | SS_REALSIZEIMAGE, L"#101", {480, 0, 145, 35}},
          {kNoId, L"Button", BS_GROUPBOX, L"Select COM Port", {45, 8, 230, 42}},
          {1001, L"Button", BS_PUSHBUTTON, L"Refresh", {55, 24, 40, 15}},
          {kNoId, L"Static", SS_RIGHT, L"Port:", {100, 27, 20, 8}},
          {1002, L"ComboBox", CBS_DROPDOWNLIST | WS_VSCROLL, L"", {126, 26, 60, 217}},
          {1003, L"Button", BS_PUSHBUTTON, L"Connect", {195, 24, 55, 15}},
          {1004, L"Button", BS_PUSHBUTTON, L"Power OFF", {306, 267, 55, 20}},
          {1005, L"Button", BS_PUSHBUTTON, L"Clear Log", {365, 267, 55, 20}},
          {1006, L"Button", BS_PUSHBUTTON, L"Save Log", {365, 291, 55, 20}},
          {1007, L"Button", BS_PUSHBUTTON, L"Reset Min/Max", {424, 267, 55, 20}},
          {1008, L"Button", BS_PUSHBUTTON, L"Save Report", {424, 291, 55, 20}},
          {1009, L"Button", BS_PUSHBUTTON, L"Configure", {483, 267, 55, 20}},
          {1010, L"Button", BS_PUSHBUTTON, L"Help", {483, 291, 55, 20}},
          {1011, L"Button", BS_PUSHBUTTON, L"About", {542, 267, 55, 20}},
          {1012, L"Button", BS_PUSHBUTTON, L"Exit", {542, 291, 55, 20}},
          {1013, L"Static", SS_LEFT, L"", {45, 265, 210, 45}}}},
        {L"CONFBOX", L"", L"Configuration", 180, 134, 10,
         DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION,
         DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU, 0, true,
         {{kNoId, L"Button", BS_GROUPBOX, L"Connected Cables", {16, 10, 150, 50}},
          {1017, L"Button", BS_AUTOCHECKBOX, L"12V CPU", {23, 21, 44, 10}},
          {1018, L"Button", BS_AUTOCHECKBOX, L"12V PCIe", {23, 33, 45, 10}},
          {kNoId, L"Static", SS_LEFT, L"Will be considered for PASS/FAIL", {22, 45, 120, 8}},
          {kNoId, L"Static", SS_LEFT, L"Compliance Mode", {19, 66, 58, 8}},
          {1019, L"ComboBox", CBS_DROPDOWN | WS_VSCROLL, L"", {82, 65, 40, 30}},
          {kNoId, L"Static", SS_LEFT, L"Buzzer Mode", {19, 81, 50, 8}},
          {1020, L"ComboBox", CBS_DROPDOWN | WS_VSCROLL, L"", {64, 80, 58, 40}},
          {kNoId, L"Static", SS_LEFT, L"Log Intervals (sec)", {19, 96, 70, 8}},
          {1021, L"ComboBox", CBS_DROPDOWN | WS_VSCROLL, L"", {82, 95, 40, 50}},
          {IDOK, L"Button", BS_DEFPUSHBUTTON, L"OK", {60, 114, 50, 14}},
          {IDCANCEL, L"Button", BS_DEFPUSHBUTTON, L"Cancel", {116, 114, 50, 14}}}},
        {L"ABOUTBOX", L"", L"About Ombrelo", 175, 212, 10,
         DS_MODALFRAME | WS_POPUP | WS_CAPTION,
         DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, true,
         {{kNoId, L"Static", SS_BITMAP | SS_CENTERIMAGE | SS_REALSIZEIMAGE, L"#101", {7, 8, 159, 117}},
          {kNoId, L"Button", BS_GROUPBOX, L"", {7, 126, 160, 54}},
          {1016, L"Static", SS_CENTER | SS_SUNKEN, nullptr, {17, 134, 140, 10}},
          {1015, L"Static", SS_CENTER | SS_SUNKEN, nullptr, {17, 149, 140, 10}},
          {1014, L"Static", SS_CENTER | SS_SUNKEN, nullptr, {17, 164, 140, 10}},
          {IDOK, L"Button", BS_DEFPUSHBUTTON, L"OK", {60, 186, 55, 13}}}},
    };
    for (const auto& d : dialogs) {
        SCOPED_TRACE(d.name);
        DialogTemplate t;
        ASSERT_TRUE(ReadDialogTemplate(d.name, t)) << "no extended dialog template in the module";
        using Dialog = std::tuple<std::wstring, std::wstring, short, short, std::wstring, WORD, DWORD, DWORD>;
        EXPECT_EQ(Dialog(t.className, t.caption, t.header.cx, t.header.cy, t.face, t.fontPoints,
                         t.header.style & d.styleMask, t.header.exStyle & WS_EX_CONTROLPARENT),
                  Dialog(d.className, d.caption, d.cx, d.cy, L"Tahoma", d.fontPoints, d.style, d.exStyle))
            << "class, caption, size, font and style";
        EXPECT_TRUE(!d.onlyTheseControls || t.controls.size() == d.controls.size()) << t.controls.size();
        for (const Row& row : d.controls) {
            // The row's control, found by its id or, without one, by its kind and text; all empty: none.
            const std::wstring kRunTime = L"(set at run time)", text = row.text ? row.text : kRunTime;
            Item seen;
            for (const auto& [id, className, shownText, box, style] : t.controls) {
                if (id == row.id && (id != kNoId || (className == row.className && shownText == text))) {
                    seen = {id, className, row.text ? shownText : kRunTime, box, style};
                    break;
                }
            }
            EXPECT_EQ(seen, Item(row.id, row.className, text, row.box, row.style));
        }
    }
}

// --- Handles -------------------------------------------------------------------------------------

// The counted graphics objects, the system's GDI and USER object counts and the child windows.
std::array<long, 4> CountHandles()
{
    long children = 0;
    EnumChildWindows(
        g_window, [](HWND, LPARAM count) { return ++*reinterpret_cast<long*>(count), TRUE; }, LPARAM(&children));
    return {CountLiveGdiObjects(), static_cast<long>(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS)),
            static_cast<long>(GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS)), children};
}

// A display tick as timer 1 gives it, with every changed cell repainted at once, so that each asks
// for its colours. Alternating values change every text, so every cell repaints each time.
void DisplayTick(int tick)
{
    for (int cell = 0; cell < kCellCount; ++cell)
        g_readingsTable.value[cell].store(tick % 2 == 0 ? 12000 : 11950);
    UpdateReadingsDisplay();
    RedrawWindow(g_window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    PumpUntil([] { return true; });
}

TEST(MainWindowHandles, ThousandDisplayTicksLeaveNoGraphicsObjectsOrWindowsBehind)
{
    DisplayTick(0);  // the one cell brush exists from the first colour request on
    const auto before = CountHandles();
    {
        ScopedSpy spy;
        for (int tick = 1; tick <= 1000; ++tick)
            DisplayTick(tick);
        EXPECT_GE(spy.cellColourRequests, 1000) << "the cells were not repainted";
    }
    EXPECT_EQ(CountHandles(), before) << "counted GDI, system GDI, USER, child windows";
    g_readingsTable.ClearValues();
    UpdateReadingsDisplay();
    EXPECT_EQ(WindowState(), kIdle);
}

// A dialog or message box that no test asked for would hold this thread until someone closed it:
// each is reported and closed. The dialog a driver waits for is the driver's.
void CALLBACK CloseUnexpectedDialogs(HWND, UINT, UINT_PTR, DWORD)
{
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM) -> BOOL {
            wchar_t className[16] = {}, text[200] = {};
            GetClassNameW(window, className, 16);
            const std::wstring caption = TextOf(window);
            if (std::wcscmp(className, L"#32770") != 0 || GetWindow(window, GW_OWNER) != g_window ||
                !IsWindowVisible(window) || (g_driver != nullptr && caption == g_driver->caption))
                return TRUE;
            GetDlgItemTextW(window, 0xFFFF, text, 200);  // a message box's text
            ADD_FAILURE() << "the window showed \"" << caption << "\": " << text;
            EndDialog(window, IDOK);
            return TRUE;
        },
        0);
}

// After each test. A connection the test left behind (it stopped half-way) is ended, so that its
// worker cannot act on the next test's window. Damage to a heap shows in the test that did it
// rather than as a crash minutes later; with Wine's heap checks on (WINEDEBUG=warn+heap, as CTest
// runs this) freed blocks are filled with a pattern, so a write into freed memory shows up too.
class AfterEachTest : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo&) override
    {
        if (g_workerThreads.load() != 0) {
            ADD_FAILURE() << "the test left a connection behind: " << WindowState();
            if (g_stopRequested.load() == 0)
                Click(kConnectButtonId);
            EXPECT_TRUE(PumpUntil(WorkerGone));
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
        if (std::strncmp(argv[i], "--port=", 7) == 0)
            g_testerPort.assign(argv[i] + 7, argv[i] + std::strlen(argv[i]));
    }

    // The program's own start-up, up to its message loop; the tests pump instead.
    g_workerRunning.store(0);
    g_instance = GetModuleHandleW(nullptr);
    g_readingsTable.ClearValues();
    if (!RegisterMainWindowClass(g_instance) || (g_window = CreateMainWindow(g_instance)) == nullptr) {
        std::fprintf(stderr, "cannot register the main window class or create the window from its template\n");
        return 1;
    }
    ShowWindow(g_window, SW_SHOWNORMAL);
    InitMainWindow(g_window);
    for (int id : {1099, 1259, 1260})  // for the edges of the cell id range
        CreateWindowExW(0, L"Static", L"", WS_CHILD, 0, 0, 10, 10, g_window, reinterpret_cast<HMENU>(INT_PTR{id}),
                        g_instance, nullptr);
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
