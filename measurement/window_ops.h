// The few main-window operations the connection worker and the hand-shake helpers need, as free
// functions on an opaque window handle. This is a link-time seam: the Win32 program links
// ui/window_ops_win32.cpp, the console tool links its own text version and the tests link a
// recording one, so the worker's logic stays portable and testable.
#pragma once

#include <cstdint>

// A window of the platform (HWND on Windows); only the seam implementation looks inside.
using WindowHandle = void*;

// Controls of the main window that the worker and the hand-shake helpers touch.
constexpr int kRefreshButtonId = 1001;
constexpr int kPortListId = 1002;
constexpr int kConnectButtonId = 1003;
constexpr int kPowerButtonId = 1004;
constexpr int kResetMinMaxButtonId = 1007;
constexpr int kConfigureButtonId = 1009;

// The readings-log timer of the main window.
constexpr uintptr_t kLogTimerId = 2;

// Copies the control's text into buffer, cut to bufferSize - 1 units and always terminated
// (empty when the control has no text or does not exist).
void GetControlText(WindowHandle window, int controlId, wchar_t* buffer, int bufferSize);
void SetControlText(WindowHandle window, int controlId, const wchar_t* text);
void EnableControl(WindowHandle window, int controlId, bool enable);
// Modal: returns when the user has dismissed the message (error icon, OK button).
void ShowErrorMessage(WindowHandle window, const wchar_t* text, const wchar_t* title);
// Starts (or restarts) timer 2 of the window with the given period.
void StartLogTimer(WindowHandle window, uint32_t periodMs);
void StopLogTimer(WindowHandle window);
