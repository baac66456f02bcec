// ombrelo-driver: drives a running Ombrelo window from outside, as a user would, for the
// end-to-end scripts. A run is one or more steps joined by "+" (one process, so that what a step
// sees follows the step before at once). Steps act on the main window until `window TITLE` makes a
// dialog of the main window the current one:
//   window TITLE [MS] | window main [MS]   the main window's dialog TITLE / the main window (once it shows)
//   wait-gone [MS]                         the current window has gone
//   click ID | press ID                    press button ID (press: and wait until the window goes)
//   text ID | checked ID | combo ID | rect ID | enabled ID [MS]   print what a control shows
//   set-check ID 0|1 | pick ID TEXT | set-text ID TEXT             change a control
//   wait-text ID TEXT MS | wait-filled ID MS | wait-enabled ID 0|1 MS   (TEXT as `text` prints it)
//   controls                               every control: id left top right bottom class text
//   no-dialog MS                           no dialog of the current window opens within MS
//   close | alt-f4                         close the current window (system command / typed)
// Exit status 0: all done as expected; 1: a step found something else or nothing in time, and
// says so on stderr; 2: a bad command line. Buttons are pressed with a posted BM_CLICK, so a
// modal dialog that the press opens never blocks the driver.
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

namespace {

using std::to_wstring;
using std::wstring;
using Args = std::vector<wstring>;

// A step that failed: its exit status and what it found.
using Failure = std::pair<int, wstring>;
[[noreturn]] void Fail(const wstring& message, int status = 1) { throw Failure {status, message}; }

void Print(FILE* to, const wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\n');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), size, nullptr, nullptr);
    bytes.back() = '\n';  // in place of the terminating NUL
    std::fwrite(bytes.data(), 1, bytes.size(), to);
    std::fflush(to);
}

// Line breaks inside a control's text (message boxes have them) stay on one output line.
wstring Escape(const wstring& text)
{
    wstring out;
    for (wchar_t c : text)
        out += c == L'\n' ? L"\\n" : c == L'\r' ? L"\\r" : c == L'\\' ? L"\\\\" : wstring(1, c);
    return out;
}

// A window's text (WM_GETTEXT is carried across processes for every window class), or its class.
wstring Text(HWND window, bool ofClass = false)
{
    wchar_t buffer[1024] = {};
    ofClass ? GetClassNameW(window, buffer, 1024)
            : SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000,
                                  nullptr);
    return buffer;
}

// Screen rectangle, right and bottom exclusive.
wstring RectOf(HWND window)
{
    RECT r {};
    GetWindowRect(window, &r);
    return to_wstring(r.left) + L" " + to_wstring(r.top) + L" " + to_wstring(r.right) + L" " + to_wstring(r.bottom);
}

// Until FOUND holds, or MS have passed: false then.
bool WaitFor(DWORD ms, const std::function<bool()>& found, DWORD pollMs = 50)
{
    for (DWORD start = GetTickCount(); !found(); Sleep(pollMs))
        if (GetTickCount() - start >= ms)
            return false;
    return true;
}

// The first window inside PARENT (nullptr: the first top-level window) that MATCH takes.
HWND FindIf(HWND parent, const std::function<bool(HWND)>& match)
{
    std::pair<const std::function<bool(HWND)>*, HWND> search {&match, nullptr};
    WNDENUMPROC collect = [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<decltype(search)*>(data);
        return (*s->first)(window) ? (s->second = window, FALSE) : TRUE;
    };
    parent ? EnumChildWindows(parent, collect, reinterpret_cast<LPARAM>(&search))
           : EnumWindows(collect, reinterpret_cast<LPARAM>(&search));
    return search.second;
}

HWND MainWindow()
{
    HWND window = FindWindowW(L"TRELLIDEX", L"Ombrelo");
    return window && IsWindowVisible(window) ? window : nullptr;
}

// A visible dialog (message boxes, modal dialogs and the file dialog are all of the dialog
// class) owned by OWNER (nullptr: any), with the given caption (nullptr: any).
HWND FindDialog(HWND owner, const wchar_t* title)
{
    return FindIf(nullptr, [&](HWND w) {
        return IsWindowVisible(w) && Text(w, true) == L"#32770" && (!owner || GetWindow(w, GW_OWNER) == owner) &&
               (!title || Text(w) == title);
    });
}

// "; a dialog X is open saying Y" for a dialog of OWNER that is in the way, else nothing.
wstring DialogInTheWay(HWND owner)
{
    HWND box = owner ? FindDialog(owner, nullptr) : nullptr;
    HWND text = box ? GetDlgItem(box, 0xFFFF) : nullptr;  // a message box's text
    if (!box)
        return L"";
    return L"; a dialog \"" + Text(box) + L"\" is open" + (text ? L" saying \"" + Escape(Text(text)) + L"\"" : L"");
}

// A dialog shows itself before its initialisation has finished (the file dialog fills and lays
// out its parts after that): wait until its thread is back in its message loop and the dialog
// has stayed visible for a moment, so that what is read is what a user sees and a press lands.
bool SettleDialog(HWND dialog)
{
    SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 5000, nullptr);
    DWORD processId = 0;
    GetWindowThreadProcessId(dialog, &processId);
    if (HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, processId)) {
        WaitForInputIdle(process, 2000);
        CloseHandle(process);
    }
    for (int i = 0; i < 4; ++i, Sleep(50))
        if (!IsWindow(dialog) || !IsWindowVisible(dialog))
            return false;
    return true;
}

// The window the steps act on: a dialog chosen by `window TITLE`, else the main window.
HWND g_dialog = nullptr;
wstring g_where = L"the main window";

// A control of the current window by its id: a child, else one further down (the file dialog
// keeps its file-name field inside an inner dialog); id 0 is the window itself.
HWND Find(int id)
{
    HWND window = g_dialog ? g_dialog : MainWindow();
    if (!window || id == 0)
        return window;
    HWND child = GetDlgItem(window, id);
    return child ? child : FindIf(window, [&](HWND w) { return GetDlgCtrlID(w) == id; });
}

HWND Control(int id)
{
    if (HWND control = Find(id))
        return control;
    Fail(!g_dialog && !MainWindow() ? wstring(L"no visible main window")
                                    : L"no control with id " + to_wstring(id) + L" in " + g_where);
}

long Number(const wstring& text, long max = LONG_MAX)
{
    wchar_t* end = nullptr;
    long value = std::wcstol(text.c_str(), &end, 10);
    if (text.empty() || *end || value < 0 || value > max)
        Fail(L"not a number for this step: \"" + text + L"\"", 2);
    return value;
}

int Id(const wstring& text) { return static_cast<int>(Number(text, 0xFFFF)); }
// The time in ms at args[AT], if given.
DWORD Ms(const Args& args, size_t at, DWORD fallback = 10000)
{
    return at < args.size() ? static_cast<DWORD>(Number(args[at])) : fallback;
}

std::vector<wstring> Items(HWND combo)
{
    std::vector<wstring> items;
    LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wstring item(static_cast<size_t>(std::max<LRESULT>(SendMessageW(combo, CB_GETLBTEXTLEN, i, 0), 0)), L'\0');
        SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()));
        items.push_back(item.c_str());
    }
    return items;
}

wstring Selection(HWND combo)
{
    LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    return index == CB_ERR ? L"" : Items(combo)[static_cast<size_t>(index)];
}

// What a reading step prints of a control: text, checked (1/0), enabled (1/0), rect, combo (its
// entries joined by "|", then the selected one on a line of its own).
wstring Read(const wstring& what, HWND control)
{
    if (what == L"text")
        return Escape(Text(control));
    if (what == L"checked")
        return SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? L"1" : L"0";
    if (what == L"enabled")
        return IsWindowEnabled(control) ? L"1" : L"0";
    if (what == L"rect")
        return RectOf(control);
    wstring joined;
    for (const wstring& item : Items(control))
        joined += (joined.empty() ? L"" : L"|") + item;
    return joined + L"\n" + Selection(control);
}

// window TITLE [MS]: a dialog of the main window with this caption becomes the current window;
// window main [MS]: the main window, once it shows.
void SelectWindow(const wstring& title, DWORD ms)
{
    bool main = title == L"main";
    HWND dialog = nullptr;
    if (!WaitFor(ms, [&] {
            dialog = MainWindow() && !main ? FindDialog(MainWindow(), title.c_str()) : nullptr;
            return MainWindow() && (main || (dialog && SettleDialog(dialog)));
        }))
        Fail(L"expected " + (main ? wstring(L"the main window") : L"a dialog \"" + title + L"\" of the main window") +
             L" within " + to_wstring(ms) + L" ms; " +
             (!MainWindow()                        ? L"there is no main window"
              : FindDialog(nullptr, title.c_str()) ? L"one came, owned by another window"
                                                   : L"none came"));
    g_dialog = dialog;
    g_where = main ? L"the main window" : L"the dialog \"" + title + L"\"";
}

// The current window (the main window: any of its class, visible or not) has gone.
void WaitGone(DWORD ms)
{
    HWND dialog = g_dialog;
    if (!WaitFor(ms, [&] {
            return dialog ? !IsWindow(dialog) || !IsWindowVisible(dialog) : !FindWindowW(L"TRELLIDEX", L"Ombrelo");
        }))
        Fail(g_where + L" still open after " + to_wstring(ms) + L" ms" +
             DialogInTheWay(dialog ? dialog : MainWindow()));
    g_dialog = nullptr;
    g_where = L"the main window";
}

// The press a user makes with the mouse, posted, so that a modal loop the press starts in the
// target does not hold the driver; a disabled button could not be pressed by a user.
void Click(int id)
{
    HWND button = Control(id);
    if (!IsWindowEnabled(button))
        Fail(L"button " + to_wstring(id) + L" (\"" + Text(button) + L"\") of " + g_where +
             L" is disabled: expected it enabled to press it");
    PostMessageW(button, BM_CLICK, 0, 0);
}

// text, checked, combo, rect ID; enabled ID [MS]: 1 if enabled at any time within MS, watched
// closely so that a state of a moment is seen.
void PrintRead(const wstring& what, const Args& args)
{
    HWND control = Control(Id(args[0]));
    Print(stdout, what != L"enabled" ? Read(what, control)
                  : WaitFor(Ms(args, 1, 0), [&] { return IsWindowEnabled(control) != FALSE; }, 5) ? L"1"
                                                                                                   : L"0");
}

// set-check ID 0|1 (a click toggles an automatic check box), pick ID TEXT (the combo's entry
// TEXT, and the owner hears CBN_SELCHANGE), set-text ID TEXT (what typing leaves in a field):
// each checked by what the program reads back from the control.
void Change(const wstring& how, const Args& args)
{
    int id = Id(args[0]);
    const wstring& value = args[1];
    HWND control = Control(id);
    if (how == L"set-check" && Read(L"checked", control) != to_wstring(Number(value, 1))) {
        SendMessageW(control, BM_CLICK, 0, 0);
    } else if (how == L"pick") {
        std::vector<wstring> items = Items(control);
        auto at = std::find(items.begin(), items.end(), value);
        if (at == items.end())
            Fail(L"combo " + args[0] + L" of " + g_where + L" has no entry \"" + value + L"\" (entries: " +
                 Read(L"combo", control) + L")");
        SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(at - items.begin()), 0);
        SendMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(control));
    } else if (how == L"set-text") {
        SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str()));
    }
    wstring found = how == L"set-check" ? Read(L"checked", control) : Text(control);
    if (found != value || (how == L"pick" && Selection(control) != value))
        Fail(L"control " + args[0] + L" of " + g_where + L": expected \"" + value + L"\" after " + how +
             L", found \"" + Escape(found) + L"\"");
}

// wait-text ID TEXT MS, wait-filled ID MS (any text), wait-enabled ID 0|1 MS. Looked at often, so
// that the moment the state comes is seen and a step chained after it sees what follows at once;
// the last state seen is named when the time is up.
void WaitControl(const wstring& how, const Args& args)
{
    bool filled = how == L"wait-filled";
    wstring want = filled ? L"" : how == L"wait-enabled" ? to_wstring(Number(args[1], 1)) : args[1], found;
    int id = Id(args[0]);
    DWORD ms = Ms(args, args.size() - 1);
    if (!WaitFor(ms, [&] {
            HWND control = Find(id);
            found = control ? Read(how == L"wait-enabled" ? L"enabled" : L"text", control) : L"no such control";
            return control && (filled ? !found.empty() : found == want);
        }, 5))
        Fail(L"control " + args[0] + L" of " + g_where + L": expected " + (filled ? L"a text" : L"\"" + want + L"\"") +
             L" within " + args.back() + L" ms, found \"" + found + L"\"");
}

// Every control inside the current window, one per line: "id left top right bottom class text".
void ListControls(const wstring&, const Args&)
{
    FindIf(Control(0), [](HWND w) {
        Print(stdout, to_wstring(GetDlgCtrlID(w)) + L" " + RectOf(w) + L" " + Text(w, true) + L" " + Escape(Text(w)));
        return false;
    });
}

void NoDialog(const wstring&, const Args& args)
{
    HWND window = Control(0);
    wstring found;
    if (WaitFor(Ms(args, 0), [&] { return !(found = DialogInTheWay(window)).empty(); }))
        Fail(L"expected no dialog of " + g_where + found);
}

// close: the system close command, as the title bar's close box or the system menu send it.
// alt-f4: the keys typed, through the system's input queue to the window brought to the front, so
// that the program's own message loop and the default processing see them.
void CloseWindow(const wstring& how, const Args&)
{
    HWND window = Control(0);
    if (how == L"close") {
        PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        return;
    }
    if (!WaitFor(2000, [&] { return SetForegroundWindow(window), GetForegroundWindow() == window; }))
        Fail(L"could not bring " + g_where + L" to the front for Alt+F4");
    INPUT keys[4] = {};
    const WORD codes[4] = {VK_MENU, VK_F4, VK_F4, VK_MENU};
    for (int i = 0; i < 4; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = codes[i];
        keys[i].ki.wScan = static_cast<WORD>(MapVirtualKeyW(codes[i], MAPVK_VK_TO_VSC));
        keys[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
    }
    if (SendInput(4, keys, sizeof(INPUT)) != 4)
        Fail(L"SendInput failed (" + to_wstring(GetLastError()) + L")");
}

// Each step: its name, the arguments it takes, whether a time in ms may follow them, what it does.
struct Step {
    const wchar_t* name;
    size_t fixed;
    bool timed;
    void (*run)(const wstring& name, const Args& args);
};
const Step kSteps[] = {
    {L"window", 1, true, [](const wstring&, const Args& a) { SelectWindow(a[0], Ms(a, 1)); }},
    {L"wait-gone", 0, true, [](const wstring&, const Args& a) { WaitGone(Ms(a, 0)); }},
    {L"click", 1, false, [](const wstring&, const Args& a) { Click(Id(a[0])); }},
    // A dialog's button, and the dialog goes.
    {L"press", 1, false, [](const wstring&, const Args& a) { Click(Id(a[0])), WaitGone(10000); }},
    {L"text", 1, false, PrintRead}, {L"checked", 1, false, PrintRead}, {L"combo", 1, false, PrintRead},
    {L"rect", 1, false, PrintRead}, {L"enabled", 1, true, PrintRead},
    {L"set-check", 2, false, Change}, {L"pick", 2, false, Change}, {L"set-text", 2, false, Change},
    {L"wait-text", 3, false, WaitControl}, {L"wait-filled", 2, false, WaitControl},
    {L"wait-enabled", 3, false, WaitControl}, {L"controls", 0, false, ListControls},
    {L"no-dialog", 1, false, NoDialog}, {L"close", 0, false, CloseWindow}, {L"alt-f4", 0, false, CloseWindow},
};

}  // namespace

int main()
{
    _setmode(_fileno(stdout), _O_BINARY);
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    Args words(argv + 1, argv + argc);
    try {
        for (auto begin = words.begin();; ++begin) {
            auto end = std::find(begin, words.end(), L"+");
            const Step* step = std::find_if(std::begin(kSteps), std::end(kSteps),
                                            [&](const Step& s) { return begin != end && *begin == s.name; });
            size_t count = begin == end ? 0 : static_cast<size_t>(end - begin - 1);
            if (step == std::end(kSteps) || (count != step->fixed && !(step->timed && count == step->fixed + 1)))
                Fail(L"not a step: \"" + (begin == end ? wstring() : *begin) + L"\" with " + to_wstring(count) +
                     L" arguments (the steps are listed at the head of ombrelo_driver.cpp)", 2);
            step->run(step->name, Args(begin + 1, end));
            if ((begin = end) == words.end())
                return 0;
        }
    } catch (const Failure& failure) {
        Print(stderr, L"ombrelo-driver: " + failure.second);
        return failure.first;
    }
}
