// The Win32 main window and its parts: start-up pieces, the window procedure, the readings
// display and status panel, the dialogs, the port list and Help. Shared by the program's entry
// and by the tests that drive the real window under Wine.
#pragma once

#include <windows.h>

#include <cstdint>

// First message number of the connection worker's requests to the UI thread (see
// window_ops_win32.cpp); four numbers from here on are taken.
constexpr UINT kWorkerRequestMessage = WM_APP + 1;

// The module whose resources the window and dialogs load. Set by the program entry.
extern HINSTANCE g_instance;
// The status panel's caption font. UI thread only.
extern HFONT g_statusFont;
// The control the status panel is drawn over. UI thread only.
extern HWND g_statusPanel;
// The one brush the cells' colouring has handed out last. UI thread only.
extern HBRUSH g_cellBrush;

// Start-up steps 2 and 3: common controls and the window class "TRELLIDEX". False when the class
// could not be registered.
bool RegisterMainWindowClass(HINSTANCE instance);
// Creates the main window, hidden, from its template; null on failure.
HWND CreateMainWindow(HINSTANCE instance);
void InitMainWindow(HWND window);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The message loop of the UI thread; returns the quit message's code.
int RunMessageLoop();
// After the loop: makes sure no worker still uses the tester when the process ends. Returns when
// none does; ends the process at once (the system then closes the port) when one is still busy
// after a few seconds.
void EndConnectionBeforeExit();

// A worker's request posted to the UI thread: applied, true; any other message, false.
bool HandleWorkerRequest(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void CenterWindowOnParent(HWND dialog, HWND parent);

void UpdateReadingsDisplay();
// For a readings cell, the brush of its background (and the context's background colour set to
// match); null for any other control, which then keeps its default colours.
HBRUSH ReadingsCellColour(HWND control, HDC context);
void PaintStatusPanel();

INT_PTR CALLBACK ConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void InitConfigDialog(HWND dialog);

void RefreshPortList(HWND window);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void OpenUserGuide(HWND window);

// The texts of the About dialog and the user guide's address.
extern const wchar_t kCopyrightText[];
extern const wchar_t kUserGuideUrl[];
constexpr int kVersionTextUnits = 100;
constexpr int kLaunchTextUnits = 200;
// "Ombrelo V1.0 (1002)".
void FormatVersionLine(wchar_t (&out)[kVersionTextUnits]);

// Graphics objects the window's own code has created and not yet deleted (brushes and fonts).
// The system's own count is not available everywhere (Wine reports 0), this one is.
int CountLiveGdiObjects();
HBRUSH CreateCountedBrush(COLORREF colour);
HFONT CreateCountedFont(const LOGFONTW& font);
void DeleteCountedObject(HGDIOBJ object);
