// The hand-shake between the main window (UI thread) and the connection worker: a few single-
// writer words and two auto-reset events, no locks. Also the small operations both sides share:
// the device controls, the Power command, the bounded wait for an ending worker and the token that
// keeps two users of the one TesterDevice from overlapping.
#pragma once

#include <atomic>
#include <cstdint>

#include "device/auto_event.h"
#include "measurement/window_ops.h"

// Set once by the main window's initialisation, before any worker starts (the thread start
// publishes it to the worker).
extern WindowHandle g_mainWindow;

// 1: not connected, or the worker is asked to stop; 0: connected and polling.
// Written by the UI thread (1 on Disconnect/Exit) and the worker (0 on acceptance, 1 on failure
// or loss).
extern std::atomic<uint8_t> g_stopRequested;
// The worker's polling loop is alive. Written by the worker only.
extern std::atomic<int32_t> g_workerRunning;
// A power switch is pending. Written by the UI thread (1, release, after the target) and the
// worker (0 after serving it).
extern std::atomic<int32_t> g_powerRequest;
// Requested PSU state for the pending switch: 1 on, 0 off. Written by the UI thread only, always
// before it publishes the request.
extern std::atomic<int32_t> g_powerTarget;
// Signalled by the UI thread (Reset Min/Max, Save Log); tested without waiting by the worker.
extern AutoResetEvent g_resetMinMaxEvent;
// Signalled by the UI thread (Configuration OK); tested without waiting by the worker.
extern AutoResetEvent g_settingsChangedEvent;
// Period of the readings-log timer, in seconds (1, 10, 30 or 60). Written by the UI thread.
extern std::atomic<uint8_t> g_logIntervalSeconds;

// Connection workers started and not yet ended: +1 by StartConnectionWorker (the starting
// thread), -1 by the worker as its very last act. Lets a caller that must outlive the worker
// (the console tool, the tests) wait for it.
extern std::atomic<int32_t> g_workerThreads;

// Poll cycles finished since the program started: +1 (release) by the worker right after each
// cycle's copy into the readings table, before it serves the reset and settings requests. Lets a
// watcher (the console's unattended test, its JSON lines) act once per cycle on that cycle's
// values. Written by the worker only.
extern std::atomic<uint32_t> g_pollCycleCount;

// Enable: Power (1004) and Reset Min/Max (1007); Configure follows only once the worker has read
// the tester's settings block. Disable: Power, Configure (1009) and Reset Min/Max, in that order.
void EnableDeviceControls(WindowHandle window);
void DisableDeviceControls(WindowHandle window);

// The Power command (UI thread, or the console's main loop): asks for the opposite of the PSU
// state the tester last reported (bit 0 of powerStatus), then disables the Power button until
// the worker has served the request. The target is stored before the request is published so
// that the worker never pairs a request with an older target.
void RequestPowerSwitch(WindowHandle window);
// Worker side of the same pairing: true when a switch is pending, with its target.
bool ReadPowerRequest(int32_t& target);
// Worker: the request has been served.
void ClearPowerRequest();

// The wait of Exit and Disconnect: asks the worker to stop, then waits while g_workerRunning is
// non-zero (and, for a worker that was polling, until its thread has ended). Returns as soon as
// the worker has ended (true), or after about 2 s whether or not it has (false when it has not).
bool WaitForWorkerExit();

// The TesterDevice has one user at a time: a connection worker or a port probe. A worker takes
// the token first (waiting while an ending worker still holds it) and gives it back as its last
// act after closing the device; a probe only probes when it can take the token at once.
// Written by its holder only (and by whoever takes it when it is free).
bool TryTakeTesterDevice();
void TakeTesterDevice();
void ReleaseTesterDevice();
bool IsTesterDeviceTaken();
