// Ombrelo's entry on Windows: registers the main window class, creates and shows the main window
// from its template, initialises it and runs the message loop until the window is destroyed.
#include <windows.h>

#include "measurement/handshake.h"
#include "measurement/readings_table.h"
#include "ui/main_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    g_workerRunning.store(0, std::memory_order_relaxed);
    g_instance = instance;
    if (!RegisterMainWindowClass(instance))
        return 1;
    g_readingsTable.ClearValues();
    HWND window = CreateMainWindow(instance);
    if (window == nullptr)
        return 1;
    ShowWindow(window, showCommand);
    InitMainWindow(window);
    const int code = RunMessageLoop();
    EndConnectionBeforeExit();
    return code;
}
