// A silent window seam for the polling benchmark: the worker's window calls cost nothing here,
// so the measurement is the polling itself.
#include "measurement/window_ops.h"

void GetControlText(WindowHandle window, int, wchar_t* buffer, int bufferSize)
{
    // The benchmark hands the port path in as the "window".
    const char* path = static_cast<const char*>(window);
    int i = 0;
    for (; path && path[i] && i < bufferSize - 1; ++i)
        buffer[i] = static_cast<unsigned char>(path[i]);
    if (bufferSize > 0)
        buffer[i] = L'\0';
}

void SetControlText(WindowHandle, int, const wchar_t*) {}
void EnableControl(WindowHandle, int, bool) {}
void ShowErrorMessage(WindowHandle, const wchar_t*, const wchar_t*) {}
void StartLogTimer(WindowHandle, uint32_t) {}
void StopLogTimer(WindowHandle) {}
