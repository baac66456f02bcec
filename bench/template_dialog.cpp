// A second start-up baseline: Ombrelo's own main window template (with its controls, class,
// icon, logo and manifest) shown by a program that does nothing else. The class's procedure is
// the system's dialog procedure: no fonts or brushes of its own, no cell colours, no port probe,
// no timers. Set beside the bare dialog and Ombrelo, it tells the template's share of the start-up
// from the program's own start-up work.
#include <windows.h>
#include <commctrl.h>

#include "ui/ui_ids.h"

namespace {

INT_PTR CALLBACK TemplateDialogProc(HWND dialog, UINT message, WPARAM, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        // The same sign of readiness the benchmark waits for in Ombrelo: a filled port list.
        SendDlgItemMessageW(dialog, kPortListId, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"COM3"));
        SendDlgItemMessageW(dialog, kPortListId, CB_SETCURSEL, 0, 0);
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(dialog);
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    // As Ombrelo does before it registers its class.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = DefDlgProcW;
    windowClass.cbWndExtra = DLGWINDOWEXTRA;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, kAppIconName);
    windowClass.hIconSm = LoadIconW(instance, kAppIconName);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = kMainWindowClass;
    if (RegisterClassExW(&windowClass) == 0)
        return 1;
    HWND dialog = CreateDialogParamW(instance, kMainWindowTemplate, nullptr, TemplateDialogProc, 0);
    if (dialog == nullptr)
        return 1;
    ShowWindow(dialog, showCommand);
    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (IsDialogMessageW(dialog, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
