// POSIX twin of the auto-reset event, built on a mutex and a condition variable.
#include "device/auto_event.h"

#include <chrono>

AutoResetEvent::AutoResetEvent() : signalled(false) {}

AutoResetEvent::~AutoResetEvent() = default;

bool AutoResetEvent::IsCreated() const { return true; }

void AutoResetEvent::Signal()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        signalled = true;
    }
    changed.notify_one();
}

void AutoResetEvent::Reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    signalled = false;
}

bool AutoResetEvent::Wait(uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled; }))
        return false;
    signalled = false;
    return true;
}
