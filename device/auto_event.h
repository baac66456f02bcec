// Auto-reset event: the one hand-over primitive between the program's threads. A signal wakes
// one waiter (or the next one to wait) and is consumed by it; signals that pile up before a wait
// collapse into one, which is what the request events rely on.
#pragma once

#include <cstdint>

#ifndef _WIN32
#include <condition_variable>
#include <mutex>
#endif

class AutoResetEvent {
public:
    AutoResetEvent();
    ~AutoResetEvent();
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    // False when the platform could not create the event; every other call is then harmless.
    bool IsCreated() const;
    void Signal();
    void Reset();
    // Waits up to timeoutMs (0: only tests). True when the event was signalled; the signal is then
    // consumed.
    bool Wait(uint32_t timeoutMs);

private:
#ifdef _WIN32
    void* handle;
#else
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled;
#endif
};
