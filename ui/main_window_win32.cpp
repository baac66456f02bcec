// The main window: its class, creation and one-time initialisation, the window procedure with
// its timers, colour messages and command table, the message loop and the end of the process.
#include <windows.h>
#include <commctrl.h>

#include <chrono>
#include <thread>

#include "measurement/handshake.h"
#include "records/logger.h"
#include "records/readings_log.h"
#include "ui/main_commands.h"
#include "ui/main_window.h"
#include "ui/ui_ids.h"
#include "ui/window_geometry.h"

HINSTANCE g_instance = nullptr;
HFONT g_statusFont = nullptr;
HWND g_statusPanel = nullptr;

namespace {

// The dialog manager's extra space, which a class named by a dialog template must reserve.
constexpr int kMainWindowExtraBytes = DLGWINDOWEXTRA;

constexpr int kStatusFontHeight = 16;
constexpr auto kWorkerEndStep = std::chrono::milliseconds(10);
// A stopping worker finishes its cycle (every request bounded) and closes the port (its thread
// ends within 2 s): this is more than both.
constexpr auto kWorkerEndLimit = std::chrono::milliseconds(5000);

LRESULT RunCommand(HWND window, int commandId)
{
    switch (RunMainCommand(window, commandId)) {
    case WindowAction::RefreshPortList:
        EnableControl(window, kRefreshButtonId, false);
        RefreshPortList(window);
        EnableControl(window, kRefreshButtonId, true);
        break;
    case WindowAction::OpenConfigDialog:
        DialogBoxParamW(g_instance, kConfigDialogTemplate, window, ConfigDialogProc, 0);
        break;
    case WindowAction::OpenUserGuide:
        OpenUserGuide(window);
        break;
    case WindowAction::OpenAboutDialog:
        DialogBoxParamW(g_instance, kAboutDialogTemplate, window, AboutDialogProc, 0);
        break;
    case WindowAction::DestroyWindow:
        DestroyWindow(window);
        break;
    case WindowAction::None:
        break;
    }
    return 0;
}

void DestroyWindowResources(HWND window)
{
    KillTimer(window, kDisplayTimerId);
    KillTimer(window, kLogTimerId);
    DeleteCountedObject(g_statusFont);
    g_statusFont = nullptr;
    DeleteCountedObject(g_cellBrush);
    g_cellBrush = nullptr;
    g_statusPanel = nullptr;
    DestroyApplicationLogger();
}

}  // namespace

bool RegisterMainWindowClass(HINSTANCE instance)
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = kMainWindowExtraBytes;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, kAppIconName);
    windowClass.hIconSm = LoadIconW(instance, kAppIconName);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = kMainWindowClass;
    return RegisterClassExW(&windowClass) != 0;
}

HWND CreateMainWindow(HINSTANCE instance)
{
    return CreateDialogParamW(instance, kMainWindowTemplate, nullptr, nullptr, 0);
}

void InitMainWindow(HWND window)
{
    CreateApplicationLogger();

    LOGFONTW font = {};
    font.lfHeight = kStatusFontHeight;
    font.lfWeight = FW_BOLD;
    font.lfItalic = TRUE;
    lstrcpynW(font.lfFaceName, L"Tahoma", LF_FACESIZE);
    g_statusFont = CreateCountedFont(font);

    g_mainWindow = window;
    g_statusPanel = GetDlgItem(window, kStatusPanelId);

    RefreshPortList(window);

    g_resetMinMaxEvent.Reset();
    g_settingsChangedEvent.Reset();
    DisableDeviceControls(window);
    g_stopRequested.store(1, std::memory_order_relaxed);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        SetTimer(window, kDisplayTimerId, kDisplayPeriodMs, nullptr);
        break;
    case WM_TIMER:
        if (wParam == kDisplayTimerId) {
            UpdateReadingsDisplay();
            EnableOwedRefresh(window);
        }
        if (wParam == kLogTimerId)
            AddReadingsLogRow();
        break;
    case WM_PAINT:
        if (g_statusPanel != nullptr)
            UpdateWindow(g_statusPanel);
        PaintStatusPanel();
        break;
    case WM_SHOWWINDOW:
        return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORDLG: {
        HBRUSH brush = ReadingsCellColour(reinterpret_cast<HWND>(lParam), reinterpret_cast<HDC>(wParam));
        if (brush != nullptr)
            return reinterpret_cast<LRESULT>(brush);
        break;
    }
    case WM_COMMAND:
        return RunCommand(window, LOWORD(wParam));
    case WM_CLOSE:
        // The title bar's close and Alt+F4 end the program the way Exit does: the worker is
        // stopped before the window and the objects it uses go away.
        return RunCommand(window, kExitButtonId);
    case WM_DESTROY:
        DestroyWindowResources(window);
        PostQuitMessage(0);
        return 0;
    default:
        if (HandleWorkerRequest(window, message, wParam, lParam))
            return 0;
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int RunMessageLoop()
{
    MSG message = {};
    BOOL result;
    while ((result = GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (result == -1)
            return 1;
        HWND window = static_cast<HWND>(g_mainWindow);
        if (window != nullptr && IsWindow(window) && IsDialogMessageW(window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

void EndConnectionBeforeExit()
{
    g_stopRequested.store(1, std::memory_order_relaxed);
    const auto end = std::chrono::steady_clock::now() + kWorkerEndLimit;
    while (g_workerThreads.load(std::memory_order_acquire) != 0) {
        if (std::chrono::steady_clock::now() >= end) {
            // Tearing down the program's objects under a worker that still uses them would
            // crash; ending now lets the system close the port.
            TerminateProcess(GetCurrentProcess(), 0);
        }
        std::this_thread::sleep_for(kWorkerEndStep);
    }
}

void CenterWindowOnParent(HWND dialog, HWND parent)
{
    RECT dialogRect = {};
    RECT parentRect = {};
    GetWindowRect(dialog, &dialogRect);
    GetWindowRect(parent, &parentRect);
    int screenWidth = 0;
    int screenHeight = 0;
    if (HDC context = GetDC(dialog)) {
        screenWidth = GetDeviceCaps(context, HORZRES);
        screenHeight = GetDeviceCaps(context, VERTRES);
        ReleaseDC(dialog, context);
    }
    const WindowBox parentBox = {parentRect.left, parentRect.top, parentRect.right - parentRect.left,
                                 parentRect.bottom - parentRect.top};
    const WindowPosition at =
        ComputeCenteredPosition(dialogRect.right - dialogRect.left, dialogRect.bottom - dialogRect.top,
                                parentBox, screenWidth, screenHeight);
    SetWindowPos(dialog, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
