// The start-up benchmark's baseline: the least a program can do to show a dialog of the main
// window's size from a template. Plain system dialog class, no common controls, no serial ports:
// create it, fill its one list with a single entry, show it, run the message loop.
#include <windows.h>

namespace {

constexpr int kListId = 1002;

INT_PTR CALLBACK BareDialogProc(HWND dialog, UINT message, WPARAM, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        SendDlgItemMessageW(dialog, kListId, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"COM3"));
        SendDlgItemMessageW(dialog, kListId, CB_SETCURSEL, 0, 0);
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
    HWND dialog = CreateDialogParamW(instance, L"BAREDIALOG", nullptr, BareDialogProc, 0);
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
