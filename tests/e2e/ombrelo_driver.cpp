// ombrelo-driver: drives a running Ombrelo window from outside, as a user would, for the
// end-to-end scripts. A run is one or more generic steps joined by "+" (one process,
// so that what a step sees follows the step before at once): find a window, press or read a
// control, fill a field, wait for a state. Steps act on the main window until `window TITLE`
// makes a dialog of the main window the current one. The exit status says whether what was found
// was what was expected:
//   0 done / as expected, 1 not as expected or not in time, 2 bad command line,
//   3 the main window, a dialog or a control is missing.
// Buttons are pressed with a posted BM_CLICK, so a modal dialog that the press opens never blocks
// the driver. Messages on stderr say which control, what was expected and what was found.
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitMismatch = 1;
constexpr int kExitUsage = 2;
constexpr int kExitMissing = 3;

constexpr const wchar_t* kMainClass = L"TRELLIDEX";
constexpr const wchar_t* kMainTitle = L"Ombrelo";
constexpr const wchar_t* kDialogClass = L"#32770";
// The static that holds a message box's text: named when a dialog is in the way.
constexpr int kMessageTextId = 0xFFFF;

constexpr DWORD kPollMs = 50;
constexpr DWORD kDefaultWaitMs = 10000;

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
    for (wchar_t c : text)
        out += c == L'\n' ? L"\\n" : c == L'\r' ? L"\\r" : c == L'\\' ? L"\\\\" : std::wstring(1, c);
    return out;
}

void PrintLine(const std::wstring& text)
{
    std::string bytes = ToUtf8(text) + '\n';
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

// The window the steps act on: a dialog chosen by `window TITLE`, else the main window.
HWND g_dialog = nullptr;
std::wstring g_where = L"the main window";

HWND Current()
{
    return g_dialog ? g_dialog : FindMainWindow();
}

// The first window inside PARENT (nullptr: the first top-level window) that MATCH takes.
HWND FindIf(HWND parent, const std::function<bool(HWND)>& match)
{
    std::pair<const std::function<bool(HWND)>*, HWND> search {&match, nullptr};
    WNDENUMPROC collect = [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<decltype(search)*>(data);
        return (*s->first)(window) ? (s->second = window, FALSE) : TRUE;
    };
    if (parent)
        EnumChildWindows(parent, collect, reinterpret_cast<LPARAM>(&search));
    else
        EnumWindows(collect, reinterpret_cast<LPARAM>(&search));
    return search.second;
}

// A visible dialog (message boxes, modal dialogs and the file dialog are all of the dialog
// class) owned by OWNER (nullptr: any), with the given caption (nullptr: any).
HWND FindDialog(HWND owner, const wchar_t* title)
{
    return FindIf(nullptr, [&](HWND w) {
        return IsWindowVisible(w) && GetClass(w) == kDialogClass && (!owner || GetWindow(w, GW_OWNER) == owner) &&
               (!title || GetText(w) == title);
    });
}

// "; it shows X saying Y" for a dialog of OWNER that is in the way, else nothing.
std::wstring DialogInTheWay(HWND owner)
{
    HWND box = owner ? FindDialog(owner, nullptr) : nullptr;
    if (!box)
        return {};
    HWND text = GetDlgItem(box, kMessageTextId);
    return L"; a dialog \"" + GetText(box) + L"\" is open" +
           (text ? L" saying \"" + Escape(GetText(text)) + L"\"" : L"");
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

// A control by its id: a child of the window, else one further down (the file dialog keeps its
// file-name field inside an inner dialog); id 0 is the window itself.
HWND FindControl(HWND window, int id)
{
    if (!window || id == 0)
        return window;
    HWND child = GetDlgItem(window, id);
    return child ? child : FindIf(window, [&](HWND w) { return GetDlgCtrlID(w) == id; });
}

HWND RequireControl(int id)
{
    HWND window = Current();
    if (!window) {
        Complain(L"no visible main window (class \"%ls\", caption \"%ls\")", kMainClass, kMainTitle);
        return nullptr;
    }
    HWND control = FindControl(window, id);
    if (!control)
        Complain(L"no control with id %d in %ls", id, g_where.c_str());
    return control;
}

std::wstring ComboItem(HWND combo, LRESULT index)
{
    LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    std::vector<wchar_t> buffer(length < 0 ? 1 : static_cast<size_t>(length) + 1, L'\0');
    if (length >= 0)
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer.data()));
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

std::wstring JoinItems(const std::vector<std::wstring>& items)
{
    std::wstring out;
    for (size_t i = 0; i < items.size(); ++i)
        out += (i > 0 ? L"|" : L"") + items[i];
    return out;
}

bool IsChecked(HWND box)
{
    return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// ---- arguments -------------------------------------------------------------------------------

using Args = std::vector<std::wstring>;

bool ParseNumber(const std::wstring& text, long& value)
{
    wchar_t* end = nullptr;
    value = std::wcstol(text.c_str(), &end, 10);
    return !text.empty() && end && *end == L'\0';
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

bool ParseFlag(const std::wstring& text, bool& flag)
{
    if (text != L"0" && text != L"1")
        return false;
    flag = text == L"1";
    return true;
}

// The optional last argument MS of a step with FIXED arguments before it.
bool OptionalMs(const Args& args, size_t fixed, DWORD& ms)
{
    ms = kDefaultWaitMs;
    return args.size() == fixed || (args.size() == fixed + 1 && ParseMs(args[fixed], ms));
}

// Until FOUND holds, or MS have passed: false then.
template <typename Found>
bool WaitFor(DWORD ms, Found found, DWORD pollMs = kPollMs)
{
    DWORD start = GetTickCount();
    while (!found()) {
        if (GetTickCount() - start >= ms)
            return false;
        Sleep(pollMs);
    }
    return true;
}

// ---- steps ------------------------------------------------------------------------------------

// window TITLE [MS]: a dialog of the main window with this caption becomes the window the next
// steps act on; window main [MS]: the main window, once it shows.
int Window(const Args& args)
{
    DWORD timeout = 0;
    if (args.empty() || !OptionalMs(args, 1, timeout))
        return kExitUsage;
    g_dialog = nullptr;
    g_where = L"the main window";
    if (args[0] == L"main") {
        if (WaitFor(timeout, [] { return FindMainWindow() != nullptr; }))
            return kExitOk;
        Complain(L"the main window did not appear within %lu ms", timeout);
        return kExitMismatch;
    }
    HWND dialog = nullptr;
    if (!WaitFor(timeout, [&] {
            HWND main = FindMainWindow();
            dialog = main ? FindDialog(main, args[0].c_str()) : nullptr;
            return dialog && SettleDialog(dialog);
        })) {
        Complain(L"expected a dialog \"%ls\" of the main window within %lu ms; %ls", args[0].c_str(),
                 timeout, !FindMainWindow() ? L"there is no main window"
                          : FindDialog(nullptr, args[0].c_str()) ? L"one came, owned by another window"
                                                                  : L"none came");
        return kExitMismatch;
    }
    g_dialog = dialog;
    g_where = L"the dialog \"" + args[0] + L"\"";
    return kExitOk;
}

// The current window (the main window: any of its class, visible or not) has gone.
int WaitGone(const Args& args)
{
    DWORD timeout = 0;
    if (!OptionalMs(args, 0, timeout))
        return kExitUsage;
    HWND dialog = g_dialog;
    auto gone = [&] {
        return dialog ? !IsWindow(dialog) || !IsWindowVisible(dialog) : !FindWindowW(kMainClass, kMainTitle);
    };
    if (WaitFor(timeout, gone)) {
        g_dialog = nullptr;
        g_where = L"the main window";
        return kExitOk;
    }
    Complain(L"%ls still open after %lu ms%ls", g_where.c_str(), timeout,
             DialogInTheWay(dialog ? dialog : FindMainWindow()).c_str());
    return kExitMismatch;
}

// The press a user makes with the mouse. Posted, so that a modal loop the press starts in the
// target does not hold the driver; a disabled button could not be pressed by a user.
int Click(const Args& args)
{
    int id = 0;
    if (args.size() != 1 || !ParseId(args[0], id))
        return kExitUsage;
    HWND button = RequireControl(id);
    if (!button)
        return kExitMissing;
    if (!IsWindowEnabled(button)) {
        Complain(L"button %d (\"%ls\") of %ls is disabled: expected it enabled to press it", id,
                 GetText(button).c_str(), g_where.c_str());
        return kExitMismatch;
    }
    PostMessageW(button, BM_CLICK, 0, 0);
    return kExitOk;
}

// Steps that read one control: text ID, checked ID, combo ID (its entries joined by "|", then
// the selected one), enabled ID [MS] (1 if enabled at any time within MS, which are watched
// closely so that a state of a moment is seen), rect ID (screen rectangle, right and bottom
// exclusive; id 0: the window).
int Read(const std::wstring& what, const Args& args)
{
    int id = 0;
    DWORD watch = 0;
    if (args.empty() || !ParseId(args[0], id) || args.size() > (what == L"enabled" ? 2u : 1u) ||
        (args.size() == 2 && !ParseMs(args[1], watch)))
        return kExitUsage;
    HWND control = RequireControl(id);
    if (!control)
        return kExitMissing;
    if (what == L"text") {
        PrintLine(Escape(GetText(control)));
    } else if (what == L"checked") {
        PrintLine(IsChecked(control) ? L"1" : L"0");
    } else if (what == L"combo") {
        PrintLine(JoinItems(ComboItems(control)));
        PrintLine(ComboSelection(control));
    } else if (what == L"enabled") {
        bool enabled = false;
        DWORD start = GetTickCount();
        do {
            enabled = enabled || IsWindowEnabled(control);
            if (watch > 0)
                Sleep(5);
        } while (GetTickCount() - start < watch);
        PrintLine(enabled ? L"1" : L"0");
    } else {
        RECT r {};
        GetWindowRect(control, &r);
        wchar_t line[100];
        std::swprintf(line, 100, L"%ld %ld %ld %ld", r.left, r.top, r.right, r.bottom);
        PrintLine(line);
    }
    return kExitOk;
}

// Steps that change one control as a user would and check that it took: set-check ID 0|1 (a
// click toggles an automatic check box), pick ID TEXT (the combo's entry TEXT, and the owner
// hears CBN_SELCHANGE), set-text ID TEXT (what typing leaves in a field).
int Change(const std::wstring& what, const Args& args)
{
    int id = 0;
    bool want = false;
    if (args.size() != 2 || !ParseId(args[0], id) || (what == L"set-check" && !ParseFlag(args[1], want)))
        return kExitUsage;
    HWND control = RequireControl(id);
    if (!control)
        return kExitMissing;
    const std::wstring& text = args[1];
    if (what == L"set-check") {
        if (IsChecked(control) != want)
            SendMessageW(control, BM_CLICK, 0, 0);
        if (IsChecked(control) == want)
            return kExitOk;
        Complain(L"check box %d of %ls: clicked it to be %d, it stays %d", id, g_where.c_str(), want ? 1 : 0,
                 want ? 0 : 1);
        return kExitMismatch;
    }
    if (what == L"pick") {
        std::vector<std::wstring> items = ComboItems(control);
        size_t i = 0;
        while (i < items.size() && items[i] != text)
            ++i;
        if (i == items.size()) {
            Complain(L"combo %d of %ls has no entry \"%ls\" (entries: %ls)", id, g_where.c_str(), text.c_str(),
                     JoinItems(items).c_str());
            return kExitMismatch;
        }
        SendMessageW(control, CB_SETCURSEL, i, 0);
        SendMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(control));
        if (ComboSelection(control) != text) {
            Complain(L"combo %d of %ls: picked \"%ls\", it selects \"%ls\"", id, g_where.c_str(), text.c_str(),
                     ComboSelection(control).c_str());
            return kExitMismatch;
        }
    } else {
        SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    // What the program reads back from the control.
    if (GetText(control) == text)
        return kExitOk;
    Complain(L"control %d of %ls: expected the text \"%ls\" after %ls, found \"%ls\"", id, g_where.c_str(),
             text.c_str(), what.c_str(), Escape(GetText(control)).c_str());
    return kExitMismatch;
}

// Steps that wait for one control: wait-text ID TEXT MS, wait-filled ID MS (any text),
// wait-enabled ID 0|1 MS. The last state seen is named when the time is up.
int WaitControl(const std::wstring& what, const Args& args)
{
    int id = 0;
    DWORD timeout = 0;
    bool enabled = false;
    size_t fixed = what == L"wait-filled" ? 1 : 2;
    if (args.size() != fixed + 1 || !ParseId(args[0], id) || !ParseMs(args[fixed], timeout) ||
        (what == L"wait-enabled" && !ParseFlag(args[1], enabled)))
        return kExitUsage;
    std::wstring expected = what == L"wait-text"     ? L"the text \"" + args[1] + L"\""
                            : what == L"wait-filled" ? L"a text"
                            : enabled                ? L"enabled"
                                                     : L"disabled";
    std::wstring last = L"no " + g_where;
    bool missing = false;
    auto matches = [&] {
        HWND window = Current();
        if (!window)
            return false;
        HWND control = FindControl(window, id);
        if (!control)
            return missing = true;
        bool on = IsWindowEnabled(control) != FALSE;
        std::wstring text = GetText(control);
        last = what == L"wait-enabled" ? (on ? L"enabled" : L"disabled") : L"\"" + Escape(text) + L"\"";
        return what == L"wait-text" ? text == args[1] : what == L"wait-filled" ? !text.empty() : on == enabled;
    };
    // Looked at often, so that the moment the state comes is seen, and a step chained after it
    // sees what follows it at once.
    if (WaitFor(timeout, matches, 5) && !missing)
        return kExitOk;
    if (missing) {
        Complain(L"no control with id %d in %ls", id, g_where.c_str());
        return kExitMissing;
    }
    Complain(L"control %d of %ls: expected %ls within %lu ms, found %ls", id, g_where.c_str(), expected.c_str(),
             timeout, last.c_str());
    return kExitMismatch;
}

// Every control inside the current window, one per line: "id left top right bottom class text".
int Controls(const Args& args)
{
    HWND window = nullptr;
    if (!args.empty())
        return kExitUsage;
    if (!(window = RequireControl(0)))
        return kExitMissing;
    FindIf(window, [](HWND w) {
        RECT r {};
        GetWindowRect(w, &r);
        wchar_t head[100];
        std::swprintf(head, 100, L"%d %ld %ld %ld %ld ", GetDlgCtrlID(w), r.left, r.top, r.right, r.bottom);
        PrintLine(head + GetClass(w) + L" " + Escape(GetText(w)));
        return false;
    });
    return kExitOk;
}

// no-dialog MS: no dialog of the current window (a message box, for instance) opens within MS.
int NoDialog(const Args& args)
{
    DWORD timeout = 0;
    if (args.size() != 1 || !ParseMs(args[0], timeout))
        return kExitUsage;
    HWND window = RequireControl(0);
    if (!window)
        return kExitMissing;
    std::wstring found;
    if (!WaitFor(timeout, [&] { return !(found = DialogInTheWay(window)).empty(); }))
        return kExitOk;
    Complain(L"expected no dialog of %ls%ls", g_where.c_str(), found.c_str());
    return kExitMismatch;
}

// close: the system close command, as the title bar's close box or the system menu send it.
// alt-f4: the keys typed, through the system's input queue to the window brought to the front, so
// that the program's own message loop and the default processing see them.
int CloseWindow(const std::wstring& how, const Args& args)
{
    if (!args.empty())
        return kExitUsage;
    HWND window = RequireControl(0);
    if (!window)
        return kExitMissing;
    if (how == L"close") {
        PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        return kExitOk;
    }
    if (!WaitFor(2000, [&] { return SetForegroundWindow(window), GetForegroundWindow() == window; })) {
        Complain(L"could not bring %ls to the front for Alt+F4", g_where.c_str());
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
    if (SendInput(4, keys, sizeof(INPUT)) == 4)
        return kExitOk;
    Complain(L"SendInput failed (%lu)", GetLastError());
    return kExitMismatch;
}

int Run(const std::wstring& step, const Args& args)
{
    if (step == L"window")
        return Window(args);
    if (step == L"wait-gone")
        return WaitGone(args);
    if (step == L"click")
        return Click(args);
    if (step == L"press") {
        // A dialog's button, and the dialog goes.
        int status = Click(args);
        return status == kExitOk ? WaitGone({}) : status;
    }
    if (step == L"text" || step == L"checked" || step == L"combo" || step == L"enabled" || step == L"rect")
        return Read(step, args);
    if (step == L"set-check" || step == L"pick" || step == L"set-text")
        return Change(step, args);
    if (step == L"wait-text" || step == L"wait-filled" || step == L"wait-enabled")
        return WaitControl(step, args);
    if (step == L"controls")
        return Controls(args);
    if (step == L"no-dialog")
        return NoDialog(args);
    if (step == L"close" || step == L"alt-f4")
        return CloseWindow(step, args);
    Complain(L"unknown step \"%ls\"", step.c_str());
    return kExitUsage;
}

void PrintUsage()
{
    std::fputs(
        "usage: ombrelo-driver STEP [ARGS] [+ STEP [ARGS]]...\n"
        "  window TITLE [MS] | window main [MS]   act on the main window's dialog TITLE / on the\n"
        "                               main window (once it shows)\n"
        "  wait-gone [MS]               the current window has gone\n"
        "  click ID | press ID          press button ID (press: and wait until the window goes)\n"
        "  text ID | checked ID | combo ID | rect ID | enabled ID [MS]   read a control\n"
        "  set-check ID 0|1 | pick ID TEXT | set-text ID TEXT             change a control\n"
        "  wait-text ID TEXT MS | wait-filled ID MS | wait-enabled ID 0|1 MS\n"
        "  controls                     every control: id left top right bottom class text\n"
        "  no-dialog MS                 no dialog of the current window opens within MS\n"
        "  close | alt-f4               close the current window (system command / typed)\n",
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
    Args words(argv + 1, argv + argc);
    LocalFree(argv);
    for (size_t begin = 0; begin < words.size();) {
        size_t end = begin;
        while (end < words.size() && words[end] != L"+")
            ++end;
        if (end == begin) {
            PrintUsage();
            return kExitUsage;
        }
        int status = Run(words[begin], Args(words.begin() + begin + 1, words.begin() + end));
        if (status == kExitUsage)
            PrintUsage();
        if (status != kExitOk)
            return status;
        begin = end + 1;
    }
    return kExitOk;
}
