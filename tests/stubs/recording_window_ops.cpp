// The recording window seam: keeps every call of the worker and the hand-shake helpers so that
// tests can check what the user would have seen, and in which order.
#include "tests/stubs/recording_window_ops.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "measurement/window_ops.h"

namespace {

std::mutex g_callsMutex;
std::condition_variable g_callsChanged;
std::vector<WindowCall> g_calls;         // guarded by g_callsMutex
std::wstring g_portName;                 // guarded by g_callsMutex
bool g_holdMessages = false;             // guarded by g_callsMutex
std::function<void(const WindowCall&)> g_observer;  // guarded by g_callsMutex

void Record(WindowCall call)
{
    std::function<void(const WindowCall&)> observer;
    {
        std::lock_guard<std::mutex> lock(g_callsMutex);
        observer = g_observer;
    }
    // Before the call is recorded, so that a test that sees the call also sees what the observer
    // noted about it; outside the lock, so that the observer may call into the seam.
    if (observer)
        observer(call);
    {
        std::lock_guard<std::mutex> lock(g_callsMutex);
        g_calls.push_back(call);
    }
    g_callsChanged.notify_all();
}

}  // namespace

void GetControlText(WindowHandle, int controlId, wchar_t* buffer, int bufferSize)
{
    if (bufferSize <= 0)
        return;
    std::wstring name;
    {
        std::lock_guard<std::mutex> lock(g_callsMutex);
        name = g_portName.substr(0, static_cast<size_t>(bufferSize - 1));
    }
    name.copy(buffer, name.size());
    buffer[name.size()] = L'\0';
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

void SetRecordedPortName(const std::wstring& name)
{
    std::lock_guard<std::mutex> lock(g_callsMutex);
    g_portName = name;
}

void SetCallObserver(std::function<void(const WindowCall&)> observer)
{
    std::lock_guard<std::mutex> lock(g_callsMutex);
    g_observer = std::move(observer);
}

void ClearRecordedCalls()
{
    std::lock_guard<std::mutex> lock(g_callsMutex);
    g_calls.clear();
}

std::vector<WindowCall> GetRecordedCalls()
{
    std::lock_guard<std::mutex> lock(g_callsMutex);
    return g_calls;
}

void HoldMessageBoxes(bool hold)
{
    {
        std::lock_guard<std::mutex> lock(g_callsMutex);
        g_holdMessages = hold;
    }
    g_callsChanged.notify_all();
}

bool WaitForRecordedCall(const std::function<bool(const WindowCall&)>& match, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(g_callsMutex);
    return g_callsChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const WindowCall& call : g_calls)
            if (match(call))
                return true;
        return false;
    });
}

int CountRecordedCalls(const std::function<bool(const WindowCall&)>& match)
{
    std::lock_guard<std::mutex> lock(g_callsMutex);
    int count = 0;
    for (const WindowCall& call : g_calls)
        count += match(call) ? 1 : 0;
    return count;
}

std::function<bool(const WindowCall&)> IsMessage(const std::wstring& text)
{
    return [text](const WindowCall& c) { return c.kind == WindowCallKind::Message && c.text == text; };
}

std::function<bool(const WindowCall&)> IsSetText(int controlId, const std::wstring& text)
{
    return [=](const WindowCall& c) {
        return c.kind == WindowCallKind::SetText && c.controlId == controlId && c.text == text;
    };
}

std::function<bool(const WindowCall&)> IsEnable(int controlId)
{
    return [=](const WindowCall& c) { return c.kind == WindowCallKind::Enable && c.controlId == controlId; };
}

std::function<bool(const WindowCall&)> IsDisable(int controlId)
{
    return [=](const WindowCall& c) { return c.kind == WindowCallKind::Disable && c.controlId == controlId; };
}

std::function<bool(const WindowCall&)> IsKind(WindowCallKind kind)
{
    return [=](const WindowCall& c) { return c.kind == kind; };
}
