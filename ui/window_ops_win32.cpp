// Win32 side of the worker's window seam: the main window's controls, message boxes and timer 2.
//
// Only the UI thread touches the main window. Called from there, each operation acts at once.
// Called from the connection worker, it is posted to the UI thread as a request and the worker
// goes on: a sent message would stall the worker for as long as the UI thread sleeps in the
// Disconnect or Exit wait, and SetTimer and KillTimer act only on windows of the calling thread.
// A message box is shown by the UI thread too; the worker waits until it is dismissed, or until
// the window is gone.
#include "measurement/window_ops.h"

#include <windows.h>

#include <atomic>
#include <cwchar>

#include "ui/main_commands.h"
#include "ui/main_window.h"

namespace {

enum WorkerRequest : UINT {
    kSetTextRequest = kWorkerRequestMessage,  // wParam: control id; lParam: text (new[])
    kEnableRequest,                           // wParam: control id; lParam: 1 enable, 0 disable
    kLogTimerRequest,                         // wParam: 1 start, 0 stop; lParam: period in ms
    kMessageRequest,                          // lParam: MessageRequest
};

// A message box asked for by the worker; shared by the worker, which waits for it, and the UI
// thread, which shows it. Whichever side lets go last frees it.
struct MessageRequest {
    wchar_t* text;
    wchar_t* title;
    HANDLE dismissed;  // manual-reset; set by the UI thread when the box has closed
    std::atomic<int> holders;
};

// The worker gives the window this long to answer a text request; it answers at once unless the
// UI thread is inside a bounded wait.
constexpr UINT kTextRequestTimeoutMs = 2500;
// How often a worker waiting for a message box looks whether the window still exists.
constexpr DWORD kMessageWaitStepMs = 100;

bool IsWindowThread(HWND window)
{
    return GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
}

wchar_t* CopyText(const wchar_t* text)
{
    if (text == nullptr)
        text = L"";
    size_t length = std::wcslen(text);
    wchar_t* copy = new wchar_t[length + 1];
    std::wmemcpy(copy, text, length + 1);
    return copy;
}

void ReleaseMessageRequest(MessageRequest* request)
{
    if (request->holders.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    CloseHandle(request->dismissed);
    delete[] request->text;
    delete[] request->title;
    delete request;
}

void ApplyEnable(HWND window, int controlId, bool enable)
{
    EnableWindow(GetDlgItem(window, controlId), enable ? TRUE : FALSE);
}

void ApplyLogTimer(HWND window, bool start, uint32_t periodMs)
{
    if (start)
        SetTimer(window, kLogTimerId, periodMs, nullptr);
    else
        KillTimer(window, kLogTimerId);
}

}  // namespace

void GetControlText(WindowHandle window, int controlId, wchar_t* buffer, int bufferSize)
{
    if (bufferSize <= 0)
        return;
    buffer[0] = L'\0';
    HWND control = GetDlgItem(static_cast<HWND>(window), controlId);
    if (control != nullptr) {
        // Bounded, so that a window that stops answering cannot hold the worker forever.
        DWORD_PTR copied = 0;
        SendMessageTimeoutW(control, WM_GETTEXT, static_cast<WPARAM>(bufferSize),
                            reinterpret_cast<LPARAM>(buffer), SMTO_BLOCK, kTextRequestTimeoutMs, &copied);
    }
    buffer[bufferSize - 1] = L'\0';
}

void SetControlText(WindowHandle window, int controlId, const wchar_t* text)
{
    HWND hwnd = static_cast<HWND>(window);
    if (IsWindowThread(hwnd)) {
        SetWindowTextW(GetDlgItem(hwnd, controlId), text);
        return;
    }
    wchar_t* copy = CopyText(text);
    if (!PostMessageW(hwnd, kSetTextRequest, static_cast<WPARAM>(controlId), reinterpret_cast<LPARAM>(copy)))
        delete[] copy;
}

void EnableControl(WindowHandle window, int controlId, bool enable)
{
    HWND hwnd = static_cast<HWND>(window);
    if (IsWindowThread(hwnd))
        ApplyEnable(hwnd, controlId, enable);
    else
        PostMessageW(hwnd, kEnableRequest, static_cast<WPARAM>(controlId), enable ? 1 : 0);
}

void ShowErrorMessage(WindowHandle window, const wchar_t* text, const wchar_t* title)
{
    HWND hwnd = static_cast<HWND>(window);
    if (IsWindowThread(hwnd)) {
        MessageBoxW(hwnd, text, title, MB_OK | MB_ICONERROR);
        return;
    }
    auto* request = new MessageRequest{CopyText(text), CopyText(title),
                                       CreateEventW(nullptr, TRUE, FALSE, nullptr), {2}};
    if (request->dismissed == nullptr ||
        !PostMessageW(hwnd, kMessageRequest, 0, reinterpret_cast<LPARAM>(request))) {
        ReleaseMessageRequest(request);
        ReleaseMessageRequest(request);
        return;
    }
    // A window destroyed before it showed the box drops the request: stop waiting then.
    while (WaitForSingleObject(request->dismissed, kMessageWaitStepMs) == WAIT_TIMEOUT) {
        if (!IsWindow(hwnd))
            break;
    }
    ReleaseMessageRequest(request);
}

void StartLogTimer(WindowHandle window, uint32_t periodMs)
{
    HWND hwnd = static_cast<HWND>(window);
    if (IsWindowThread(hwnd))
        ApplyLogTimer(hwnd, true, periodMs);
    else
        PostMessageW(hwnd, kLogTimerRequest, 1, static_cast<LPARAM>(periodMs));
}

void StopLogTimer(WindowHandle window)
{
    HWND hwnd = static_cast<HWND>(window);
    if (IsWindowThread(hwnd))
        ApplyLogTimer(hwnd, false, 0);
    else
        PostMessageW(hwnd, kLogTimerRequest, 0, 0);
}

bool HandleWorkerRequest(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case kSetTextRequest: {
        wchar_t* text = reinterpret_cast<wchar_t*>(lParam);
        SetWindowTextW(GetDlgItem(window, static_cast<int>(wParam)), text);
        delete[] text;
        return true;
    }
    case kEnableRequest: {
        ApplyWorkerEnable(window, static_cast<int>(wParam), lParam != 0);
        return true;
    }
    case kLogTimerRequest:
        ApplyLogTimer(window, wParam != 0, static_cast<uint32_t>(lParam));
        return true;
    case kMessageRequest: {
        auto* request = reinterpret_cast<MessageRequest*>(lParam);
        MessageBoxW(window, request->text, request->title, MB_OK | MB_ICONERROR);
        SetEvent(request->dismissed);
        ReleaseMessageRequest(request);
        return true;
    }
    default:
        return false;
    }
}
