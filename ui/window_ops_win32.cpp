// Win32 side of the worker's window seam: the main window's controls, message boxes and timer 2.
// Called from the worker thread: the calls that change a control send messages to the UI thread
// and wait for it to handle them.
#include "measurement/window_ops.h"

#include <windows.h>

void GetControlText(WindowHandle window, int controlId, wchar_t* buffer, int bufferSize)
{
    if (bufferSize <= 0)
        return;
    buffer[0] = L'\0';
    GetDlgItemTextW(static_cast<HWND>(window), controlId, buffer, bufferSize);
    buffer[bufferSize - 1] = L'\0';
}

void SetControlText(WindowHandle window, int controlId, const wchar_t* text)
{
    SetWindowTextW(GetDlgItem(static_cast<HWND>(window), controlId), text);
}

void EnableControl(WindowHandle window, int controlId, bool enable)
{
    EnableWindow(GetDlgItem(static_cast<HWND>(window), controlId), enable ? TRUE : FALSE);
}

void ShowErrorMessage(WindowHandle window, const wchar_t* text, const wchar_t* title)
{
    MessageBoxW(static_cast<HWND>(window), text, title, MB_OK | MB_ICONERROR);
}

void StartLogTimer(WindowHandle window, uint32_t periodMs)
{
    SetTimer(static_cast<HWND>(window), kLogTimerId, periodMs, nullptr);
}

void StopLogTimer(WindowHandle window) { KillTimer(static_cast<HWND>(window), kLogTimerId); }
