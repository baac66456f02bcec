// ombrelo-driver: drives a running Ombrelo window from outside, as a user would, for the
// end-to-end scripts. Each run does one small thing (find the window, press a button, read a
// control, answer a message box, fill the Configuration dialog, choose a file in the save dialog,
// close the window) and says by its exit status whether what it found was what was expected:
//   0 done / as expected, 1 not as expected or not in time, 2 bad command line,
//   3 the main window, a dialog or a control is missing.
// Buttons are pressed with a posted BM_CLICK, so a modal dialog that the press opens never blocks
// the driver. Messages on stderr say what was expected and what was found.
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitMismatch = 1;
constexpr int kExitUsage = 2;
constexpr int kExitMissing = 3;

constexpr const wchar_t* kMainClass = L"TRELLIDEX";
constexpr const wchar_t* kMainTitle = L"Ombrelo";
constexpr const wchar_t* kDialogClass = L"#32770";
constexpr const wchar_t* kSaveTitle = L"Select a log file name";
constexpr const wchar_t* kConfigTitle = L"Configuration";

constexpr int kPortListId = 1002;
constexpr int kFirstCellId = 1100;
constexpr int kLastCellId = 1259;
constexpr int kCpuCheckId = 1017;
constexpr int kPcieCheckId = 1018;
constexpr int kComplianceId = 1019;
constexpr int kBuzzerId = 1020;
constexpr int kIntervalId = 1021;
// The message box's text control and the save dialog's file-name field (edt1, or the edit
// inside cmb13 where the dialog uses a combo box).
constexpr int kMessageTextId = 0xFFFF;
constexpr int kFileNameEditId = 0x480;
constexpr int kFileNameComboId = 0x47C;

constexpr DWORD kPollMs = 50;
constexpr DWORD kDefaultWaitMs = 10000;
constexpr DWORD kCloseWaitMs = 10000;

// ---- output ---------------------------------------------------------------------------------

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// Line breaks inside a control's text (message boxes have them) stay on one output line.
std::wstring Escape(const std::wstring& text)
{
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\n')
            out += L"\\n";
        else if (c == L'\r')
            out += L"\\r";
        else if (c == L'\\')
            out += L"\\\\";
        else
            out += c;
    }
    return out;
}

void PrintLine(const std::wstring& text)
{
    std::string bytes = ToUtf8(text);
    bytes += '\n';
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void Complain(const wchar_t* format, ...)
{
    wchar_t buffer[2048];
    va_list args;
    va_start(args, format);
    std::vswprintf(buffer, sizeof(buffer) / sizeof(buffer[0]), format, args);
    va_end(args);
    std::string bytes = "ombrelo-driver: " + ToUtf8(buffer) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

// ---- windows ----------------------------------------------------------------------------------

std::wstring GetText(HWND window)
{
    // WM_GETTEXT is carried across processes for every window class.
    wchar_t buffer[1024] = {};
    SendMessageTimeoutW(window, WM_GETTEXT, sizeof(buffer) / sizeof(buffer[0]),
                        reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000, nullptr);
    return buffer;
}

std::wstring GetClass(HWND window)
{
    wchar_t buffer[256] = {};
    GetClassNameW(window, buffer, 256);
    return buffer;
}

HWND FindMainWindow()
{
    HWND window = FindWindowW(kMainClass, kMainTitle);
    return window && IsWindowVisible(window) ? window : nullptr;
}

HWND RequireMainWindow()
{
    HWND window = FindMainWindow();
    if (!window)
        Complain(L"no visible main window (class \"%ls\", caption \"%ls\")", kMainClass, kMainTitle);
    return window;
}

struct DialogSearch {
    const wchar_t* title;  // nullptr: any caption
    HWND owner;            // nullptr: any owner
    HWND found;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM data)
{
    auto* search = reinterpret_cast<DialogSearch*>(data);
    if (!IsWindowVisible(window) || GetClass(window) != kDialogClass)
        return TRUE;
    if (search->title && GetText(window) != search->title)
        return TRUE;
    if (search->owner && GetWindow(window, GW_OWNER) != search->owner)
        return TRUE;
    search->found = window;
    return FALSE;
}

// A visible top-level dialog (message boxes, modal dialogs and the file dialog are all of the
// dialog class) with the given caption.
HWND FindDialog(const wchar_t* title, HWND owner = nullptr)
{
    DialogSearch search {title, owner, nullptr};
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A dialog shows itself before its initialisation has finished (the file dialog fills and lays
// out its parts after that): wait until its thread is back in its message loop and the dialog
// has stayed visible for a moment, so that what is read is what a user sees and a press lands.
bool SettleDialog(HWND dialog)
{
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored);
    DWORD processId = 0;
    GetWindowThreadProcessId(dialog, &processId);
    if (HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, processId)) {
        WaitForInputIdle(process, 2000);
        CloseHandle(process);
    }
    for (int i = 0; i < 4; ++i) {
        if (!IsWindow(dialog) || !IsWindowVisible(dialog))
            return false;
        Sleep(kPollMs);
    }
    return true;
}

HWND WaitDialog(const wchar_t* title, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND dialog = FindDialog(title);
        if (dialog && SettleDialog(dialog))
            return dialog;
        if (GetTickCount() - start >= timeoutMs)
            return nullptr;
        Sleep(kPollMs);
    }
}

bool WaitWindowGone(HWND window, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (IsWindow(window) && IsWindowVisible(window)) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(kPollMs);
    }
    return true;
}

HWND RequireControl(HWND parent, int id)
{
    HWND control = GetDlgItem(parent, id);
    if (!control)
        Complain(L"no control with id %d in \"%ls\"", id, GetText(parent).c_str());
    return control;
}

// The press a user makes with the mouse. Posted, so that a modal loop the press starts in the
// target does not hold the driver; a disabled button could not be pressed by a user.
int PressButton(HWND parent, int id)
{
    HWND button = RequireControl(parent, id);
    if (!button)
        return kExitMissing;
    if (!IsWindowEnabled(button)) {
        Complain(L"button %d (\"%ls\") is disabled: expected it enabled to press it", id,
                 GetText(button).c_str());
        return kExitMismatch;
    }
    PostMessageW(button, BM_CLICK, 0, 0);
    return kExitOk;
}

std::wstring ComboItem(HWND combo, LRESULT index)
{
    LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR || length < 0)
        return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(buffer.data()));
    return buffer.data();
}

std::vector<std::wstring> ComboItems(HWND combo)
{
    std::vector<std::wstring> items;
    LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count && count != CB_ERR; ++i)
        items.push_back(ComboItem(combo, i));
    return items;
}

std::wstring ComboSelection(HWND combo)
{
    LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    return index == CB_ERR ? std::wstring() : ComboItem(combo, index);
}

std::wstring JoinItems(const std::vector<std::wstring>& items, const wchar_t* separator)
{
    std::wstring out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            out += separator;
        out += items[i];
    }
    return out;
}

// Selects an entry by its exact text the way the list does when a user picks it: the selection
// changes and the owner hears CBN_SELCHANGE.
bool PickComboItem(HWND owner, int id, const std::wstring& text)
{
    HWND combo = GetDlgItem(owner, id);
    if (!combo) {
        Complain(L"no combo box %d", id);
        return false;
    }
    std::vector<std::wstring> items = ComboItems(combo);
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i] != text)
            continue;
        SendMessageW(combo, CB_SETCURSEL, i, 0);
        SendMessageW(owner, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
        if (ComboSelection(combo) != text) {
            Complain(L"combo %d: selected \"%ls\" but it shows \"%ls\"", id, text.c_str(),
                     ComboSelection(combo).c_str());
            return false;
        }
        return true;
    }
    Complain(L"combo %d has no entry \"%ls\" (entries: %ls)", id, text.c_str(),
             JoinItems(items, L", ").c_str());
    return false;
}

// ---- arguments -------------------------------------------------------------------------------

bool ParseNumber(const std::wstring& text, long& value)
{
    if (text.empty())
        return false;
    wchar_t* end = nullptr;
    value = std::wcstol(text.c_str(), &end, 10);
    return end && *end == L'\0';
}

bool ParseId(const std::wstring& text, int& id)
{
    long value = 0;
    if (!ParseNumber(text, value) || value < 0 || value > 0xFFFF) {
        Complain(L"not a control id: \"%ls\"", text.c_str());
        return false;
    }
    id = static_cast<int>(value);
    return true;
}

bool ParseMs(const std::wstring& text, DWORD& ms)
{
    long value = 0;
    if (!ParseNumber(text, value) || value < 0) {
        Complain(L"not a time in milliseconds: \"%ls\"", text.c_str());
        return false;
    }
    ms = static_cast<DWORD>(value);
    return true;
}

using Args = std::vector<std::wstring>;

// ---- commands ---------------------------------------------------------------------------------

int WaitMainWindow(const Args& args)
{
    DWORD timeout = kDefaultWaitMs;
    if (args.size() > 1 || (args.size() == 1 && !ParseMs(args[0], timeout)))
        return kExitUsage;
    DWORD start = GetTickCount();
    while (!FindMainWindow()) {
        if (GetTickCount() - start >= timeout) {
            Complain(L"main window did not appear within %lu ms", timeout);
            return kExitMismatch;
        }
        Sleep(kPollMs);
    }
    return kExitOk;
}

int WaitGone(const Args& args)
{
    DWORD timeout = kCloseWaitMs;
    if (args.size() > 1 || (args.size() == 1 && !ParseMs(args[0], timeout)))
        return kExitUsage;
    DWORD start = GetTickCount();
    while (FindWindowW(kMainClass, kMainTitle)) {
        if (GetTickCount() - start >= timeout) {
            Complain(L"main window still there after %lu ms", timeout);
            return kExitMismatch;
        }
        Sleep(kPollMs);
    }
    return kExitOk;
}

// Line 1: the entries in list order, separated by blanks; line 2: the selected entry (empty
// when nothing is selected).
int Ports(const Args& args)
{
    if (!args.empty())
        return kExitUsage;
    HWND main = RequireMainWindow();
    HWND list = main ? RequireControl(main, kPortListId) : nullptr;
    if (!list)
        return kExitMissing;
    PrintLine(JoinItems(ComboItems(list), L" "));
    PrintLine(ComboSelection(list));
    return kExitOk;
}

int SelectPort(const Args& args)
{
    if (args.size() != 1)
        return kExitUsage;
    HWND main = RequireMainWindow();
    if (!main)
        return kExitMissing;
    if (!PickComboItem(main, kPortListId, args[0]))
        return kExitMismatch;
    // What the connection worker will read as the port name.
    std::wstring shown = GetText(GetDlgItem(main, kPortListId));
    if (shown != args[0]) {
        Complain(L"port list: expected the text \"%ls\", found \"%ls\"", args[0].c_str(), shown.c_str());
        return kExitMismatch;
    }
    return kExitOk;
}

int Click(const Args& args)
{
    int id = 0;
    if (args.size() != 1 || !ParseId(args[0], id))
        return kExitUsage;
    HWND main = RequireMainWindow();
    return main ? PressButton(main, id) : kExitMissing;
}

int Text(const Args& args)
{
    int id = 0;
    if (args.size() != 1 || !ParseId(args[0], id))
        return kExitUsage;
    HWND main = RequireMainWindow();
    HWND control = main ? RequireControl(main, id) : nullptr;
    if (!control)
        return kExitMissing;
    PrintLine(Escape(GetText(control)));
    return kExitOk;
}

int Enabled(const Args& args)
{
    int id = 0;
    if (args.size() != 1 || !ParseId(args[0], id))
        return kExitUsage;
    HWND main = RequireMainWindow();
    HWND control = main ? RequireControl(main, id) : nullptr;
    if (!control)
        return kExitMissing;
    PrintLine(IsWindowEnabled(control) ? L"1" : L"0");
    return kExitOk;
}

// Polls one control of the main window until `matches` holds; reports the last state seen.
template <typename Matches, typename Describe>
int WaitControl(int id, DWORD timeout, const wchar_t* expected, Matches matches, Describe describe)
{
    DWORD start = GetTickCount();
    std::wstring last = L"(no main window)";
    for (;;) {
        if (HWND main = FindMainWindow()) {
            HWND control = GetDlgItem(main, id);
            if (!control) {
                Complain(L"no control with id %d in the main window", id);
                return kExitMissing;
            }
            if (matches(control))
                return kExitOk;
            last = describe(control);
        }
        if (GetTickCount() - start >= timeout) {
            Complain(L"control %d: expected %ls within %lu ms, found %ls", id, expected, timeout,
                     last.c_str());
            return kExitMismatch;
        }
        Sleep(kPollMs);
    }
}

int WaitText(const Args& args)
{
    int id = 0;
    DWORD timeout = 0;
    if (args.size() != 3 || !ParseId(args[0], id) || !ParseMs(args[2], timeout))
        return kExitUsage;
    const std::wstring& want = args[1];
    std::wstring expected = L"the text \"" + want + L"\"";
    return WaitControl(
        id, timeout, expected.c_str(), [&](HWND c) { return GetText(c) == want; },
        [](HWND c) { return L"\"" + Escape(GetText(c)) + L"\""; });
}

int WaitFilled(const Args& args)
{
    int id = 0;
    DWORD timeout = 0;
    if (args.size() != 2 || !ParseId(args[0], id) || !ParseMs(args[1], timeout))
        return kExitUsage;
    return WaitControl(
        id, timeout, L"a text", [](HWND c) { return !GetText(c).empty(); },
        [](HWND) { return std::wstring(L"an empty text"); });
}

int WaitEnabled(const Args& args)
{
    int id = 0;
    DWORD timeout = 0;
    if (args.size() != 3 || !ParseId(args[0], id) || (args[1] != L"0" && args[1] != L"1") ||
        !ParseMs(args[2], timeout))
        return kExitUsage;
    bool want = args[1] == L"1";
    return WaitControl(
        id, timeout, want ? L"enabled" : L"disabled",
        [&](HWND c) { return (IsWindowEnabled(c) != FALSE) == want; },
        [](HWND c) { return std::wstring(IsWindowEnabled(c) ? L"enabled" : L"disabled"); });
}

// Presses button CLICK, then watches control OTHER over the first moment (kMomentMs) that control
// ID shows TEXT: prints 1 if OTHER was enabled at any time of it, else 0. What a user sees as the
// state the press leads to begins, before what follows it changes the window; the moment is long
// enough for the requests made together with TEXT to have been applied. One run presses and
// watches, and looks more often than the other waits.
int ClickThenEnabledAtText(const Args& args)
{
    constexpr DWORD kSampleMs = 5;
    constexpr DWORD kMomentMs = 50;
    int click = 0;
    int id = 0;
    int other = 0;
    DWORD timeout = 0;
    if (args.size() != 5 || !ParseId(args[0], click) || !ParseId(args[1], id) || !ParseMs(args[3], timeout) ||
        !ParseId(args[4], other))
        return kExitUsage;
    const std::wstring& want = args[2];
    HWND main = RequireMainWindow();
    if (!main)
        return kExitMissing;
    if (int status = PressButton(main, click); status != kExitOk)
        return status;
    DWORD start = GetTickCount();
    std::wstring last = L"(no main window)";
    for (;;) {
        if (HWND main = FindMainWindow()) {
            HWND control = GetDlgItem(main, id);
            HWND watched = GetDlgItem(main, other);
            if (!control || !watched) {
                Complain(L"no control with id %d in the main window", control ? other : id);
                return kExitMissing;
            }
            last = GetText(control);
            if (last == want) {
                bool enabled = false;
                const DWORD seen = GetTickCount();
                do {
                    enabled = enabled || IsWindowEnabled(watched);
                    Sleep(kSampleMs);
                } while (GetTickCount() - seen < kMomentMs);
                PrintLine(enabled ? L"1" : L"0");
                return kExitOk;
            }
        }
        if (GetTickCount() - start >= timeout) {
            Complain(L"control %d: expected the text \"%ls\" within %lu ms, found \"%ls\"", id, want.c_str(),
                     timeout, Escape(last).c_str());
            return kExitMismatch;
        }
        Sleep(kSampleMs);
    }
}

// Screen rectangle "left top right bottom" (right and bottom exclusive) of a control of the main
// window, or of the window itself for id 0.
int Rect(const Args& args)
{
    int id = 0;
    if (args.size() != 1 || !ParseId(args[0], id))
        return kExitUsage;
    HWND main = RequireMainWindow();
    HWND window = main && id != 0 ? RequireControl(main, id) : main;
    if (!window)
        return kExitMissing;
    RECT r {};
    GetWindowRect(window, &r);
    wchar_t line[100];
    std::swprintf(line, 100, L"%ld %ld %ld %ld", r.left, r.top, r.right, r.bottom);
    PrintLine(line);
    return kExitOk;
}

struct CellList {
    std::vector<HWND> cells;
};

BOOL CALLBACK CollectCell(HWND window, LPARAM data)
{
    int id = GetDlgCtrlID(window);
    if (id >= kFirstCellId && id <= kLastCellId)
        reinterpret_cast<CellList*>(data)->cells.push_back(window);
    return TRUE;
}

// Every readings cell of the main window, one per line: "id left top right bottom text".
int Cells(const Args& args)
{
    if (!args.empty())
        return kExitUsage;
    HWND main = RequireMainWindow();
    if (!main)
        return kExitMissing;
    CellList list;
    EnumChildWindows(main, CollectCell, reinterpret_cast<LPARAM>(&list));
    for (HWND cell : list.cells) {
        RECT r {};
        GetWindowRect(cell, &r);
        wchar_t head[100];
        std::swprintf(head, 100, L"%d %ld %ld %ld %ld ", GetDlgCtrlID(cell), r.left, r.top, r.right,
                      r.bottom);
        PrintLine(head + Escape(GetText(cell)));
    }
    return kExitOk;
}

// Waits for a message box with this caption, owned by the main window; prints its text and
// presses OK.
int MessageBoxCommand(const Args& args)
{
    DWORD timeout = kDefaultWaitMs;
    if (args.empty() || args.size() > 2 || (args.size() == 2 && !ParseMs(args[1], timeout)))
        return kExitUsage;
    HWND box = WaitDialog(args[0].c_str(), timeout);
    if (!box) {
        Complain(L"expected a message box \"%ls\" within %lu ms; none came", args[0].c_str(), timeout);
        return kExitMismatch;
    }
    HWND main = FindMainWindow();
    HWND owner = GetWindow(box, GW_OWNER);
    HWND textControl = GetDlgItem(box, kMessageTextId);
    std::wstring text = textControl ? GetText(textControl) : L"";
    PrintLine(Escape(text));
    int status = PressButton(box, IDOK);
    if (status != kExitOk)
        return status;
    if (!WaitWindowGone(box, kCloseWaitMs)) {
        Complain(L"message box \"%ls\" still open after OK", args[0].c_str());
        return kExitMismatch;
    }
    if (!main || owner != main) {
        Complain(L"message box \"%ls\" is not owned by the main window", args[0].c_str());
        return kExitMismatch;
    }
    return kExitOk;
}

// Fails when any dialog owned by the main window (a message box, for instance) opens within MS.
int NoMessageBox(const Args& args)
{
    DWORD timeout = 0;
    if (args.size() != 1 || !ParseMs(args[0], timeout))
        return kExitUsage;
    HWND main = RequireMainWindow();
    if (!main)
        return kExitMissing;
    DWORD start = GetTickCount();
    do {
        if (HWND box = FindDialog(nullptr, main)) {
            HWND textControl = GetDlgItem(box, kMessageTextId);
            Complain(L"expected no message box; found \"%ls\" saying \"%ls\"", GetText(box).c_str(),
                     textControl ? Escape(GetText(textControl)).c_str() : L"");
            return kExitMismatch;
        }
        Sleep(kPollMs);
    } while (GetTickCount() - start < timeout);
    return kExitOk;
}

BOOL CALLBACK PrintControl(HWND window, LPARAM)
{
    wchar_t head[100];
    std::swprintf(head, 100, L"%d\t", GetDlgCtrlID(window));
    PrintLine(head + GetClass(window) + L"\t" + Escape(GetText(window)));
    return TRUE;
}

// Waits for a dialog with this caption and prints its controls: "id<TAB>class<TAB>text".
int Dialog(const Args& args)
{
    DWORD timeout = kDefaultWaitMs;
    if (args.empty() || args.size() > 2 || (args.size() == 2 && !ParseMs(args[1], timeout)))
        return kExitUsage;
    HWND dialog = WaitDialog(args[0].c_str(), timeout);
    if (!dialog) {
        Complain(L"expected a dialog \"%ls\" within %lu ms; none came", args[0].c_str(), timeout);
        return kExitMismatch;
    }
    EnumChildWindows(dialog, PrintControl, 0);
    return kExitOk;
}

// Presses a button of the dialog with this caption and waits until the dialog has closed.
int Press(const Args& args)
{
    int id = 0;
    if (args.size() != 2 || !ParseId(args[1], id))
        return kExitUsage;
    HWND dialog = WaitDialog(args[0].c_str(), kDefaultWaitMs);
    if (!dialog) {
        Complain(L"no dialog \"%ls\"", args[0].c_str());
        return kExitMissing;
    }
    int status = PressButton(dialog, id);
    if (status != kExitOk)
        return status;
    if (!WaitWindowGone(dialog, kCloseWaitMs)) {
        Complain(L"dialog \"%ls\" still open after pressing %d", args[0].c_str(), id);
        return kExitMismatch;
    }
    return kExitOk;
}

// Fills the Configuration dialog: prints what it shows on opening ("name=value" lines, then the
// entries of the three lists), sets what the options name, then presses OK (or Cancel).
//   config [--cpu 0|1] [--pcie 0|1] [--compliance TEXT] [--buzzer TEXT] [--interval TEXT]
//          [--cancel] [--timeout MS]
int Config(const Args& args)
{
    int cpu = -1, pcie = -1;
    std::wstring compliance, buzzer, interval;
    bool cancel = false;
    DWORD timeout = kDefaultWaitMs;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& name = args[i];
        bool hasValue = i + 1 < args.size();
        if (name == L"--cancel") {
            cancel = true;
        } else if (!hasValue) {
            Complain(L"config: %ls needs a value", name.c_str());
            return kExitUsage;
        } else if (name == L"--cpu" || name == L"--pcie") {
            const std::wstring& value = args[++i];
            if (value != L"0" && value != L"1")
                return kExitUsage;
            (name == L"--cpu" ? cpu : pcie) = value == L"1" ? 1 : 0;
        } else if (name == L"--compliance") {
            compliance = args[++i];
        } else if (name == L"--buzzer") {
            buzzer = args[++i];
        } else if (name == L"--interval") {
            interval = args[++i];
        } else if (name == L"--timeout") {
            if (!ParseMs(args[++i], timeout))
                return kExitUsage;
        } else {
            Complain(L"config: unknown option %ls", name.c_str());
            return kExitUsage;
        }
    }

    HWND dialog = WaitDialog(kConfigTitle, timeout);
    if (!dialog) {
        Complain(L"expected the dialog \"%ls\" within %lu ms; none came", kConfigTitle, timeout);
        return kExitMismatch;
    }
    HWND cpuBox = RequireControl(dialog, kCpuCheckId);
    HWND pcieBox = RequireControl(dialog, kPcieCheckId);
    HWND complianceList = RequireControl(dialog, kComplianceId);
    HWND buzzerList = RequireControl(dialog, kBuzzerId);
    HWND intervalList = RequireControl(dialog, kIntervalId);
    if (!cpuBox || !pcieBox || !complianceList || !buzzerList || !intervalList)
        return kExitMissing;

    auto checked = [](HWND box) { return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0; };
    PrintLine(L"cpu=" + std::to_wstring(checked(cpuBox)));
    PrintLine(L"pcie=" + std::to_wstring(checked(pcieBox)));
    PrintLine(L"compliance=" + ComboSelection(complianceList));
    PrintLine(L"buzzer=" + ComboSelection(buzzerList));
    PrintLine(L"interval=" + ComboSelection(intervalList));
    PrintLine(L"compliance-items=" + JoinItems(ComboItems(complianceList), L"|"));
    PrintLine(L"buzzer-items=" + JoinItems(ComboItems(buzzerList), L"|"));
    PrintLine(L"interval-items=" + JoinItems(ComboItems(intervalList), L"|"));

    // A click on an automatic check box toggles it.
    auto setBox = [&](HWND box, int id, int want) {
        if (want < 0 || checked(box) == want)
            return true;
        SendMessageW(box, BM_CLICK, 0, 0);
        if (checked(box) != want) {
            Complain(L"check box %d: clicked it to be %d, it stays %d", id, want, checked(box));
            return false;
        }
        return true;
    };
    if (!setBox(cpuBox, kCpuCheckId, cpu) || !setBox(pcieBox, kPcieCheckId, pcie))
        return kExitMismatch;
    if ((!compliance.empty() && !PickComboItem(dialog, kComplianceId, compliance)) ||
        (!buzzer.empty() && !PickComboItem(dialog, kBuzzerId, buzzer)) ||
        (!interval.empty() && !PickComboItem(dialog, kIntervalId, interval)))
        return kExitMismatch;

    int status = PressButton(dialog, cancel ? IDCANCEL : IDOK);
    if (status != kExitOk)
        return status;
    if (!WaitWindowGone(dialog, kCloseWaitMs)) {
        Complain(L"the dialog \"%ls\" stays open after %ls", kConfigTitle, cancel ? L"Cancel" : L"OK");
        return kExitMismatch;
    }
    return kExitOk;
}

struct FieldSearch {
    HWND found;
};

BOOL CALLBACK CollectFileNameField(HWND window, LPARAM data)
{
    if (GetClass(window) != L"Edit")
        return TRUE;
    // The field sits inside the dialog's inner template, as edt1 or as the edit of cmb13 (a
    // combo box whose parts carry the same id).
    for (HWND part = window; part; part = GetParent(part)) {
        int id = GetDlgCtrlID(part);
        if (id == kFileNameEditId || id == kFileNameComboId) {
            reinterpret_cast<FieldSearch*>(data)->found = window;
            return FALSE;
        }
        if (GetClass(part) == kDialogClass)
            break;
    }
    return TRUE;
}

HWND FindFileNameField(HWND dialog)
{
    FieldSearch search {nullptr};
    EnumChildWindows(dialog, CollectFileNameField, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Waits for the save dialog, prints the file name it offers, types NAME into its file-name field
// and presses Save (or, with --cancel, presses Cancel).
//   save NAME|--cancel [--title TITLE] [--timeout MS]
int Save(const Args& args)
{
    std::wstring name;
    std::wstring title = kSaveTitle;
    bool cancel = false;
    DWORD timeout = kDefaultWaitMs;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == L"--cancel") {
            cancel = true;
        } else if (args[i] == L"--title" && i + 1 < args.size()) {
            title = args[++i];
        } else if (args[i] == L"--timeout" && i + 1 < args.size()) {
            if (!ParseMs(args[++i], timeout))
                return kExitUsage;
        } else if (name.empty() && args[i].rfind(L"--", 0) != 0) {
            name = args[i];
        } else {
            return kExitUsage;
        }
    }
    if (name.empty() == !cancel)
        return kExitUsage;

    HWND dialog = WaitDialog(title.c_str(), timeout);
    if (!dialog) {
        Complain(L"expected the save dialog \"%ls\" within %lu ms; none came", title.c_str(), timeout);
        return kExitMismatch;
    }
    HWND main = FindMainWindow();
    if (!main || GetWindow(dialog, GW_OWNER) != main) {
        Complain(L"the save dialog is not owned by the main window");
        return kExitMismatch;
    }
    HWND field = FindFileNameField(dialog);
    if (!field) {
        Complain(L"the save dialog has no file-name field");
        return kExitMissing;
    }
    // The dialog fills the field after it has shown itself: give it a moment to settle.
    std::wstring offered = GetText(field);
    for (int i = 0; i < 20 && offered.empty(); ++i) {
        Sleep(kPollMs);
        offered = GetText(field);
    }
    PrintLine(offered);
    if (!cancel) {
        SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name.c_str()));
        if (GetText(field) != name) {
            Complain(L"typed \"%ls\" into the file-name field, it shows \"%ls\"", name.c_str(),
                     GetText(field).c_str());
            return kExitMismatch;
        }
    }
    int status = PressButton(dialog, cancel ? IDCANCEL : IDOK);
    if (status != kExitOk)
        return status;
    if (!WaitWindowGone(dialog, kCloseWaitMs)) {
        // A question (overwrite?) or a complaint of the dialog is in the way.
        HWND question = FindDialog(nullptr, dialog);
        Complain(L"the save dialog stays open after %ls%ls%ls", cancel ? L"Cancel" : L"Save",
                 question ? L"; it asks: " : L"",
                 question ? Escape(GetText(GetDlgItem(question, kMessageTextId))).c_str() : L"");
        return kExitMismatch;
    }
    return kExitOk;
}

// The system close command, as the title bar's close box or the system menu send it.
int Close(const Args& args)
{
    if (!args.empty())
        return kExitUsage;
    HWND main = RequireMainWindow();
    if (!main)
        return kExitMissing;
    PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    return kExitOk;
}

// Alt+F4 typed on the keyboard: the window is brought to the front and the keys go through the
// system's input queue, so the program's own message loop and the default processing see them.
int AltF4(const Args& args)
{
    if (!args.empty())
        return kExitUsage;
    HWND main = RequireMainWindow();
    if (!main)
        return kExitMissing;
    SetForegroundWindow(main);
    DWORD start = GetTickCount();
    while (GetForegroundWindow() != main && GetTickCount() - start < 2000) {
        Sleep(kPollMs);
        SetForegroundWindow(main);
    }
    if (GetForegroundWindow() != main) {
        Complain(L"could not bring the main window to the front for Alt+F4");
        return kExitMismatch;
    }
    INPUT keys[4] = {};
    const WORD codes[4] = {VK_MENU, VK_F4, VK_F4, VK_MENU};
    for (int i = 0; i < 4; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = codes[i];
        keys[i].ki.wScan = static_cast<WORD>(MapVirtualKeyW(codes[i], MAPVK_VK_TO_VSC));
        keys[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
    }
    if (SendInput(4, keys, sizeof(INPUT)) != 4) {
        Complain(L"SendInput failed (%lu)", GetLastError());
        return kExitMismatch;
    }
    return kExitOk;
}

void PrintUsage()
{
    std::fputs(
        "usage: ombrelo-driver COMMAND [ARGS]\n"
        "  wait-window [MS]            the main window is visible\n"
        "  wait-gone [MS]              the main window has gone\n"
        "  ports                       port list entries (line 1) and the selected one (line 2)\n"
        "  select-port NAME            pick NAME in the port list\n"
        "  click ID                    press button ID of the main window\n"
        "  text ID | enabled ID        a control's text, or 1/0 for enabled/disabled\n"
        "  wait-text ID TEXT MS        wait until control ID shows TEXT\n"
        "  wait-filled ID MS           wait until control ID shows any text\n"
        "  wait-enabled ID 0|1 MS      wait until control ID is disabled (0) or enabled (1)\n"
        "  click-then-enabled-at-text CLICK ID TEXT MS OTHER\n"
        "                              press CLICK; 1/0: OTHER enabled as ID first shows TEXT\n"
        "  rect ID                     screen rectangle of control ID (0: the window)\n"
        "  cells                       every readings cell: id left top right bottom text\n"
        "  messagebox TITLE [MS]       print the text of message box TITLE and press OK\n"
        "  no-messagebox MS            no message box of the main window opens within MS\n"
        "  dialog TITLE [MS]           print the controls of dialog TITLE\n"
        "  press TITLE ID              press button ID of dialog TITLE\n"
        "  config [--cpu 0|1] [--pcie 0|1] [--compliance T] [--buzzer T] [--interval T]\n"
        "         [--cancel] [--timeout MS]   fill the Configuration dialog\n"
        "  save NAME|--cancel [--title T] [--timeout MS]   answer the save dialog\n"
        "  close                       system close command (title bar)\n"
        "  alt-f4                      type Alt+F4 to the main window\n",
        stderr);
}

}  // namespace

int main()
{
    _setmode(_fileno(stdout), _O_BINARY);
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2) {
        PrintUsage();
        return kExitUsage;
    }
    std::wstring command = argv[1];
    Args args(argv + 2, argv + argc);
    LocalFree(argv);

    struct Entry {
        const wchar_t* name;
        int (*run)(const Args&);
    };
    static const Entry kCommands[] = {
        {L"wait-window", WaitMainWindow}, {L"wait-gone", WaitGone},
        {L"ports", Ports},                {L"select-port", SelectPort},
        {L"click", Click},                {L"text", Text},
        {L"enabled", Enabled},            {L"wait-text", WaitText},
        {L"wait-filled", WaitFilled},     {L"wait-enabled", WaitEnabled},
        {L"click-then-enabled-at-text", ClickThenEnabledAtText},
        {L"rect", Rect},                  {L"cells", Cells},
        {L"messagebox", MessageBoxCommand}, {L"no-messagebox", NoMessageBox},
        {L"dialog", Dialog},              {L"press", Press},
        {L"config", Config},              {L"save", Save},
        {L"close", Close},                {L"alt-f4", AltF4},
    };
    for (const Entry& entry : kCommands) {
        if (command == entry.name) {
            int status = entry.run(args);
            if (status == kExitUsage)
                PrintUsage();
            return status;
        }
    }
    PrintUsage();
    return kExitUsage;
}
