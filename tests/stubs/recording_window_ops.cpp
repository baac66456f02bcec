// The recording window seam: keeps every call of the worker and the hand-shake helpers so that
// tests can check what the user would have seen, and in which order.
#include "tests/stubs/recording_window_ops.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "measurement/window_ops.h"

namespace {

// All guarded by g_callsMutex.
std::mutex g_callsMutex;
std::condition_variable g_callsChanged;
std::vector<WindowCall> g_calls;
std::wstring g_portName;
bool g_holdMessages = false;
std::function<void(const WindowCall&)> g_observer;

template <typename Function>
auto Locked(Function function)
{
    std::lock_guard<std::mutex> lock(g_callsMutex);
    return function();
}

void Record(const WindowCall& call)
{
    // Before the call is recorded, so that a test that sees the call also sees what the observer
    // noted about it; outside the lock, so that the observer may call into the seam.
    if (const auto observer = Locked([] { return g_observer; }))
        observer(call);
    Locked([&] { g_calls.push_back(call); });
    g_callsChanged.notify_all();
}

CallMatch Is(WindowCallKind kind, std::optional<int> controlId = {}, std::optional<std::wstring> text = {})
{
    return [=](const WindowCall& c) {
        return c.kind == kind && (!controlId || c.controlId == *controlId) && (!text || c.text == *text);
    };
}

}  // namespace

void GetControlText(WindowHandle, int controlId, wchar_t* buffer, int bufferSize)
{
    if (bufferSize <= 0)
        return;
    const std::wstring name = Locked([&] { return g_portName.substr(0, static_cast<size_t>(bufferSize - 1)); });
    buffer[name.copy(buffer, name.size())] = L'\0';
    Record({WindowCallKind::GetText, controlId, name, L"", 0});
}

void SetControlText(WindowHandle, int controlId, const wchar_t* text)
{
    Record({WindowCallKind::SetText, controlId, text, L"", 0});
}

void EnableControl(WindowHandle, int controlId, bool enable)
{
    Record({enable ? WindowCallKind::Enable : WindowCallKind::Disable, controlId, L"", L"", 0});
}

void ShowErrorMessage(WindowHandle, const wchar_t* text, const wchar_t* title)
{
    Record({WindowCallKind::Message, 0, text, title, 0});
    std::unique_lock<std::mutex> lock(g_callsMutex);
    g_callsChanged.wait(lock, [] { return !g_holdMessages; });
}

void StartLogTimer(WindowHandle, uint32_t periodMs) { Record({WindowCallKind::StartTimer, 0, L"", L"", periodMs}); }
void StopLogTimer(WindowHandle) { Record({WindowCallKind::StopTimer, 0, L"", L"", 0}); }

void SetRecordedPortName(const std::wstring& name) { Locked([&] { g_portName = name; }); }

void SetCallObserver(std::function<void(const WindowCall&)> observer)
{
    Locked([&] { g_observer = std::move(observer); });
}

void ClearRecordedCalls() { Locked([] { g_calls.clear(); }); }

std::vector<WindowCall> GetRecordedCalls() { return Locked([] { return g_calls; }); }

void HoldMessageBoxes(bool hold)
{
    Locked([&] { g_holdMessages = hold; });
    g_callsChanged.notify_all();
}

bool WaitForRecordedCall(const CallMatch& match, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(g_callsMutex);
    return g_callsChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return std::any_of(g_calls.begin(), g_calls.end(), match); });
}

int CountRecordedCalls(const CallMatch& match)
{
    return Locked([&] { return static_cast<int>(std::count_if(g_calls.begin(), g_calls.end(), match)); });
}

CallMatch IsMessage(const std::wstring& text) { return Is(WindowCallKind::Message, {}, text); }
CallMatch IsSetText(int controlId, const std::wstring& text) { return Is(WindowCallKind::SetText, controlId, text); }
CallMatch IsEnable(int controlId) { return Is(WindowCallKind::Enable, controlId); }
CallMatch IsDisable(int controlId) { return Is(WindowCallKind::Disable, controlId); }
CallMatch IsKind(WindowCallKind kind) { return Is(kind); }
