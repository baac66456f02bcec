// The connection worker: the thread that owns one connection to the tester, from Connect until
// the user disconnects or the tester stops answering. It opens the port named in the port list,
// identifies the tester, then polls every measurement about twice a second into the readings
// table and serves the main window's power, reset and settings requests.
#pragma once

#include <atomic>
#include <cstdint>

#include "measurement/window_ops.h"

// Units of the port-name buffer, terminator included. On Windows the port list holds COM port
// names up to "COM256", which must arrive whole ("COM12" cut to "COM1" would open another port);
// on POSIX the name is a device path.
#ifdef _WIN32
constexpr int kPortNameBufferSize = 8;
#else
constexpr int kPortNameBufferSize = 64;
#endif

// Texts the worker shows; the window and the console rely on them being exactly these.
inline constexpr const wchar_t* kErrorTitle = L"Ombrelo Error";
inline constexpr const wchar_t* kConnectionLostTitle = L"Ombrelo: Error";
inline constexpr const wchar_t* kDeviceNotFoundText = L"Device not found!";
inline constexpr const wchar_t* kFirmwareUpdateText = L"Device firmware needs to be updated!";
inline constexpr const wchar_t* kCoolingText = L"Not allowed\nCooling is in progress";
inline constexpr const wchar_t* kUsePowerButtonText = L"Not allowed\nUse PC power botton";
inline constexpr const wchar_t* kConnectionLostText = L"Connection lost\n";
inline constexpr const wchar_t* kDisconnectText = L"Disconnect";
inline constexpr const wchar_t* kConnectText = L"Connect";
inline constexpr const wchar_t* kPowerOffText = L"Power OFF";
inline constexpr const wchar_t* kPowerOnText = L"Power ON";

// The second firmware version byte of a tester whose firmware must be updated.
constexpr uint8_t kFirmwareNeedsUpdate = 10;
// Pause between two poll cycles: sets the poll rate.
constexpr int kPollSleepMs = 500;

// How the requests since the previous poll cycle fared: the cycle's own, the reset and settings
// requests served after the previous one, and the connect-time reads before a first cycle. For
// whoever watches the link's health (the console's JSON lines, the soak run). Written by the
// worker just before it counts the cycle; `cycle` is stored last (release) and names the
// g_pollCycleCount value they belong to, so a reader that sees another number knows they moved on.
struct PollCycleStats {
    std::atomic<uint32_t> requests{0};
    std::atomic<uint32_t> failedRequests{0};  // timed out or undecodable; power switches not judged
    std::atomic<uint32_t> longestReadMs{0};   // status and measurement reads, settings read
    std::atomic<uint32_t> longestOtherMs{0};  // power switch, min/max reset, settings write
    std::atomic<uint64_t> endMs{0};           // steady clock, when the cycle was counted
    std::atomic<uint32_t> cycle{0};
};
extern PollCycleStats g_pollCycleStats;

// Thread entry: runs the whole connection and returns when it has ended. The worker works with
// g_mainWindow; the argument is kept for the thread start's sake.
void ConnectionWorker(WindowHandle window);

// Starts ConnectionWorker on a thread of its own, detached: the worker ends by itself. False when
// the system could not start the thread.
bool StartConnectionWorker(WindowHandle window);
