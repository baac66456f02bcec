// Win32 twin of the auto-reset event: a kernel event object.
#include "device/auto_event.h"

#include <windows.h>

AutoResetEvent::AutoResetEvent() : handle(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

AutoResetEvent::~AutoResetEvent()
{
    if (handle)
        CloseHandle(handle);
}

bool AutoResetEvent::IsCreated() const { return handle != nullptr; }

void AutoResetEvent::Signal()
{
    if (handle)
        SetEvent(handle);
}

void AutoResetEvent::Reset()
{
    if (handle)
        ResetEvent(handle);
}

bool AutoResetEvent::Wait(uint32_t timeoutMs)
{
    return handle && WaitForSingleObject(handle, timeoutMs) == WAIT_OBJECT_0;
}
