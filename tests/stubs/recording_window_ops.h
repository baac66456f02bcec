// A recording implementation of the worker's window seam for tests: every call is kept, in
// order, with what it was given. The port list's text comes from SetRecordedPortName. Calls may
// come from any thread; tests wait for the calls they expect.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class WindowCallKind { GetText, SetText, Enable, Disable, Message, StartTimer, StopTimer };

struct WindowCall {
    WindowCallKind kind;
    int controlId;       // GetText, SetText, Enable, Disable
    std::wstring text;   // SetText, Message; GetText: what was handed out
    std::wstring title;  // Message
    uint32_t periodMs;   // StartTimer
};

// The text the port list hands out (cut like a real control's to the caller's buffer).
void SetRecordedPortName(const std::wstring& name);
void ClearRecordedCalls();
std::vector<WindowCall> GetRecordedCalls();

// While held, ShowErrorMessage blocks its caller (as a modal message box would) until released.
// The call is recorded before it blocks.
void HoldMessageBoxes(bool hold);

// Called with every call right after it is recorded, on the caller's thread, so a test can see the
// state of the program at that moment. Empty by default; set it before the worker starts and clear
// it after the worker has ended.
void SetCallObserver(std::function<void(const WindowCall&)> observer);

using CallMatch = std::function<bool(const WindowCall&)>;
// Waits until a recorded call satisfies the predicate; false after timeoutMs.
bool WaitForRecordedCall(const CallMatch& match, int timeoutMs);
// Number of recorded calls that satisfy the predicate.
int CountRecordedCalls(const CallMatch& match);

// Shorthands for predicates.
CallMatch IsMessage(const std::wstring& text);
CallMatch IsSetText(int controlId, const std::wstring& text);
CallMatch IsEnable(int controlId);
CallMatch IsDisable(int controlId);
CallMatch IsKind(WindowCallKind kind);
