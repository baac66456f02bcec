// Tests of SerialPort against a real pseudo-terminal. Natively the test holds the terminal's
// master side itself and sees exactly what the port sent. The Windows build runs under Wine on a COM
// port that scripts/wine-pty-test.sh links to a terminal whose far end is pty_peer, which echoes:
// there, bytes for the port are fed by writing them and letting them come back, and what the port
// sent is read back the same way. The port is given with --port=COMn; without one, only the cases
// that need no terminal run.
#include "device/serial_port.h"
#include "device/utf8_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

// Generous: the machine is shared and the Windows build runs under Wine.
constexpr int kEventWaitMs = 5000;
// How long to watch for something that must not happen.
constexpr int kQuietMs = 400;

std::wstring g_portName;

// Values stay below 251, so never the byte on which pty_peer --hangup-on 0xFE hangs up.
std::vector<uint8_t> Pattern(size_t length, uint8_t seed)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>((i * 7 + seed) % 251);
    return bytes;
}

// CPU time of the whole process, in ms.
int64_t GetProcessCpuMs()
{
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto toMs = [](const FILETIME& t) {
        return static_cast<int64_t>((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 10000;
    };
    return toMs(kernel) + toMs(user);
#else
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
#endif
}

// Everything the port told its handler, in order. Like the protocol layer, it can ask for the next
// read from the handler (rearm), and it can hold the port's thread inside the Started notification
// until released, which makes the thread's timing deterministic. The fields are read under Locked
// or inside a WaitUntil predicate.
class EventLog {
public:
    static void Handle(SerialPort* port, void* context, SerialEvent code)
    {
        static_cast<EventLog*>(context)->Record(port, code);
    }
    template <typename F>
    auto Locked(F f)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return f();
    }
    void Rearm(uint32_t readSize) { Locked([&] { rearmSize = readSize; }); }  // 0: off
    void HoldStarted(bool on)
    {
        Locked([&] { holdStarted = on; });
        changed.notify_all();
    }
    template <typename F>
    bool WaitUntil(F done, int timeoutMs = kEventWaitMs)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }
    bool WaitFor(SerialEvent code, size_t count = 1, int timeoutMs = kEventWaitMs)
    {
        return WaitUntil([&] { return CountLocked(code) >= count; }, timeoutMs);
    }
    size_t Count(SerialEvent code) { return Locked([&] { return CountLocked(code); }); }
    void Clear()
    {
        Locked([&] {
            events = {}, readCounts = {}, data = {}, threads = {};
        });
    }

    std::vector<SerialEvent> events;
    std::vector<uint32_t> readCounts;  // of each DataReceived
    std::vector<uint8_t> data;
    std::set<std::thread::id> threads;  // that called the handler

private:
    size_t CountLocked(SerialEvent code) const
    {
        return static_cast<size_t>(std::count(events.begin(), events.end(), code));
    }
    void Record(SerialPort* port, SerialEvent code)
    {
        std::unique_lock<std::mutex> lock(mutex);
        threads.insert(std::this_thread::get_id());
        events.push_back(code);
        if (code == SerialEvent::DataReceived) {
            readCounts.push_back(port->ReceivedCount());
            data.insert(data.end(), port->ReceiveBuffer(), port->ReceiveBuffer() + readCounts.back());
        }
        uint32_t size = code == SerialEvent::Stopped ? 0 : rearmSize;
        changed.notify_all();
        if (code == SerialEvent::Started)
            changed.wait_for(lock, std::chrono::milliseconds(2 * kEventWaitMs), [&] { return !holdStarted; });
        lock.unlock();
        if (size != 0) {
            port->SetReadSize(size);
            port->RequestRead();
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    uint32_t rearmSize = 0;
    bool holdStarted = false;
};

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef _WIN32
        if (g_portName.empty())
            GTEST_SKIP() << "no COM port given (--port=COMn)";
        name = g_portName;
#else
        // The far end, raw before the port opens the terminal, so nothing written there is echoed.
        int slave = -1;
        char path[128];
        ASSERT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
        termios settings{};
        tcgetattr(slave, &settings);
        cfmakeraw(&settings);
        tcsetattr(slave, TCSANOW, &settings);
        close(slave);
        name.assign(path, path + std::strlen(path));
#endif
        port.SetEventHandler(EventLog::Handle, &log);
    }
#ifndef _WIN32
    void TearDown() override { HangUp(); }
    // An unplugged device: the terminal hangs up for whoever holds it.
    void HangUp()
    {
        if (master >= 0)
            close(master);
        master = -1;
    }
#endif

    // Line events on, as the protocol layer opens the port; true once the thread has started.
    bool OpenAndStart()
    {
        return port.Open(name.c_str(), 115200, 0, 8, true) == kSerialOpenOk && log.WaitFor(SerialEvent::Started);
    }

    // Bytes for the port to receive. Under Wine they travel out through the port and come back.
    void Feed(const std::vector<uint8_t>& bytes)
    {
#ifdef _WIN32
        size_t done = log.Count(SerialEvent::WriteDone);
        for (size_t at = 0; at < bytes.size(); at += 200) {
            port.Write(bytes.data() + at, static_cast<uint32_t>(std::min<size_t>(200, bytes.size() - at)));
            ASSERT_TRUE(log.WaitFor(SerialEvent::WriteDone, ++done));
        }
#else
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
#endif
    }

    // What the port sent, as the far end saw it (under Wine: as it came back), with anything that
    // follows within kQuietMs.
    std::vector<uint8_t> CollectSent(size_t length)
    {
#ifdef _WIN32
        log.Rearm(256);
        port.RequestRead();
        log.WaitUntil([&] { return log.data.size() >= length; });
        log.WaitUntil([&] { return log.data.size() > length; }, kQuietMs);
        log.Rearm(0);
        return log.Locked([&] { return log.data; });
#else
        std::vector<uint8_t> bytes;
        while (bytes.size() <= length) {
            pollfd in{master, POLLIN, 0};
            if (poll(&in, 1, bytes.size() < length ? kEventWaitMs : kQuietMs) <= 0)
                break;
            uint8_t chunk[512];
            ssize_t n = read(master, chunk, sizeof chunk);
            if (n <= 0)
                break;
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
        return bytes;
#endif
    }

    // Close waits for the thread, which said Started first and Stopped last, once each, all on one
    // thread that is not the owner's; a closed port takes no frame.
    void CloseAndCheck()
    {
        port.Close();
        log.Locked([&] {
            ASSERT_FALSE(log.events.empty());
            EXPECT_EQ(std::count(log.events.begin(), log.events.end(), SerialEvent::Started), 1);
            EXPECT_EQ(std::count(log.events.begin(), log.events.end(), SerialEvent::Stopped), 1);
            EXPECT_EQ(log.events.front(), SerialEvent::Started);
            EXPECT_EQ(log.events.back(), SerialEvent::Stopped);
            EXPECT_EQ(log.threads.size(), 1u);
            EXPECT_EQ(log.threads.count(std::this_thread::get_id()), 0u);
        });
        const uint8_t byte = 1;
        EXPECT_FALSE(port.Write(&byte, 1)) << "a closed port takes no frame";
    }

    EventLog log;
#ifndef _WIN32
    int master = -1;
#endif
    std::wstring name;
    SerialPort port;  // last, so that its thread is gone before the log and the terminal
};

// What Open says, and why, for names that reach no terminal. No thread starts and nothing can be
// written, before or after.
TEST(SerialPortOpen, FailingOpenSaysWhichStepAndWhy)
{
    const std::wstring overlong = L"/dev/" + std::wstring(400, L'x');
    const struct {
        const wchar_t* name;
        uint32_t code;
        int error;  // 0: any nonzero system error
    } rows[] = {
#ifdef _WIN32
        {nullptr, kSerialOpenNoName, ERROR_INVALID_PARAMETER},
        {L"COM199", kSerialOpenDeviceFailed, 0},
        // Ten characters do not fit; the port must not open a shortened name instead.
        {L"COM1234567", kSerialOpenDeviceFailed, ERROR_FILENAME_EXCED_RANGE},
        {L"", kSerialOpenDeviceFailed, 0},
#else
        {nullptr, kSerialOpenNoName, EINVAL},
        {L"/dev/ombrelo-no-such-port", kSerialOpenDeviceFailed, ENOENT},
        {overlong.c_str(), kSerialOpenDeviceFailed, ENAMETOOLONG},
        {L"", kSerialOpenDeviceFailed, ENOENT},
        {L"/dev/null", kSerialOpenSettingsFailed, ENOTTY},  // opens, but is no terminal
#endif
    };
    EventLog log;
    SerialPort port;
    port.SetEventHandler(EventLog::Handle, &log);
    const uint8_t byte = 1;
    EXPECT_FALSE(port.Write(&byte, 1)) << "a port never opened takes no frame";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name ? std::string(row.name, row.name + std::wcslen(row.name)) : "no name");
        EXPECT_EQ(port.Open(row.name, 115200, 0, 8, true), row.code);
        EXPECT_TRUE(row.error ? port.LastOpenError() == row.error : port.LastOpenError() != 0) << port.LastOpenError();
        EXPECT_FALSE(port.Write(&byte, 1));
    }
    EXPECT_FALSE(log.WaitFor(SerialEvent::Started, 1, kQuietMs));
    port.Close();  // harmless without a thread
    EXPECT_TRUE(log.events.empty());
}

// Reads have the requested size, capped at 256, and are made only on request, the next one asked
// for from the handler. One that is not filled in time (n + 10 ms) completes with what has come,
// possibly nothing, and reception goes on.
TEST_F(SerialPortTest, ReadsHaveTheRequestedSizeOrWhatCameInTime)
{
    const struct {
        size_t fed;
        uint32_t readSize;
        std::vector<uint32_t> reads;  // the sizes of those that got something
    } rows[] = {
        {10, 4, {4, 4, 2}},
        {300, 300, {256, 44}},
        {5, 16, {5}},
        {3, 1, {1, 1, 1}},
        {0, 50, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.fed << " bytes in reads of " << row.readSize);
        log.Clear();
        ASSERT_TRUE(OpenAndStart());
        const std::vector<uint8_t> bytes = Pattern(row.fed, 3);
        Feed(bytes);
        log.Rearm(row.readSize);
        port.SetReadSize(row.readSize);
        port.RequestRead();
        // Everything arrives, then a read comes back empty.
        EXPECT_TRUE(log.WaitUntil([&] {
            return log.data.size() >= bytes.size() && !log.readCounts.empty() && log.readCounts.back() == 0;
        }));
        log.Rearm(0);
        log.Locked([&] {
            EXPECT_EQ(log.data, bytes);
            std::vector<uint32_t> reads = log.readCounts;
            reads.erase(std::remove(reads.begin(), reads.end(), 0u), reads.end());
            EXPECT_EQ(reads, row.reads);
        });
        CloseAndCheck();
    }
}

// Write takes one frame at a time, of under 256 bytes and with data, and refuses anything else
// without sending it. A read requested while the port was closed is dropped by Open.
TEST_F(SerialPortTest, WriteTakesOneFrameAtATime)
{
    const std::vector<uint8_t> first = Pattern(40, 1), full = Pattern(256, 9);
    port.RequestRead();
    log.HoldStarted(true);  // no write can complete before the thread is released
    ASSERT_TRUE(OpenAndStart());
    EXPECT_FALSE(port.Write(full.data(), 256));
    EXPECT_FALSE(port.Write(nullptr, 10));
    EXPECT_TRUE(port.Write(first.data(), 40));
    EXPECT_FALSE(port.Write(full.data(), 30)) << "taken while a write is pending";
    log.HoldStarted(false);
    ASSERT_TRUE(log.WaitFor(SerialEvent::WriteDone));
    EXPECT_FALSE(log.WaitFor(SerialEvent::DataReceived, 1, kQuietMs)) << "a read requested before Open";
    // The next read asked for in WriteDone's handler, as the protocol does after a command.
    log.Rearm(50);
    EXPECT_TRUE(port.Write(full.data(), 255));
    ASSERT_TRUE(log.WaitFor(SerialEvent::WriteDone, 2));
    ASSERT_TRUE(log.WaitFor(SerialEvent::DataReceived));
    std::vector<uint8_t> sent = first;
    sent.insert(sent.end(), full.begin(), full.begin() + 255);
    EXPECT_EQ(CollectSent(sent.size()), sent);
    EXPECT_EQ(log.Count(SerialEvent::WriteDone), 2u);
    CloseAndCheck();
}

// Close waits about 2 s at most: a handler that holds the thread outlives it, and the thread still
// ends with Stopped once released.
TEST_F(SerialPortTest, CloseGivesUpOnAHandlerThatHoldsTheThread)
{
    log.HoldStarted(true);
    ASSERT_TRUE(OpenAndStart());
    port.Close();
    EXPECT_EQ(log.Count(SerialEvent::Stopped), 0u);
    log.HoldStarted(false);
    ASSERT_TRUE(log.WaitFor(SerialEvent::Stopped));
    EXPECT_EQ(log.Locked([&] { return log.events.back(); }), SerialEvent::Stopped);
}

// A device that goes away: natively the test closes its end of the terminal; under Wine the port
// sends the byte on which pty_peer (started with --hangup-on 0xFE) hangs up. The pending read fails
// with nothing, so no DataReceived comes and reception stops, without the thread spinning on the
// dead device; the next write fails hard and ends the thread.
TEST_F(SerialPortTest, PeerHangUpFailsTheReadWithoutSpinning)
{
    ASSERT_TRUE(OpenAndStart());
    log.Rearm(16);
    port.RequestRead();
    const std::vector<uint8_t> bytes = Pattern(5, 0);
    Feed(bytes);
    ASSERT_TRUE(log.WaitUntil([&] { return log.data.size() >= bytes.size(); }));
#ifdef _WIN32
    const uint8_t hangUp = 0xFE;
    port.Write(&hangUp, 1);
#else
    HangUp();
#endif
    int64_t cpuMs = -1;  // in the first quiet window without a read
    for (int window = 0; window < kEventWaitMs / kQuietMs && cpuMs < 0; ++window) {
        const size_t reads = log.Count(SerialEvent::DataReceived);
        const int64_t cpuBefore = GetProcessCpuMs();
        if (!log.WaitFor(SerialEvent::DataReceived, reads + 1, kQuietMs))
            cpuMs = GetProcessCpuMs() - cpuBefore;
    }
    ASSERT_GE(cpuMs, 0) << "reads go on after the hang-up";
    EXPECT_LT(cpuMs, kQuietMs / 2) << "the thread spins";
    EXPECT_EQ(log.Count(SerialEvent::Stopped), 0u) << "a failed read ended the thread";

    const size_t writes = log.Count(SerialEvent::WriteDone);
    EXPECT_TRUE(port.Write(bytes.data(), 5));
    ASSERT_TRUE(log.WaitFor(SerialEvent::Stopped));
    EXPECT_EQ(log.Count(SerialEvent::WriteDone), writes);
    EXPECT_FALSE(port.Write(bytes.data(), 5));
    CloseAndCheck();
}

#ifdef _WIN32
// Threads of this process, the system's own helpers included.
std::vector<DWORD> ListProcessThreads()
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ids.push_back(entry.th32ThreadID);
    }
    CloseHandle(snapshot);
    return ids;
}

// The system writes an operation's result into the port (its OVERLAPPED records, the line-event
// mask) when the operation ends, even after a cancel. On a port with modem lines Wine serves the
// line-event wait with a thread of its own, which writes when it next looks at the device. None of
// that may come after the port is destroyed: its owner frees the memory then. Run on COM1, which
// Wine links to the machine's first UART when there is one.
TEST_F(SerialPortTest, NothingWritesIntoTheDestroyedPort)
{
    alignas(SerialPort) unsigned char storage[sizeof(SerialPort)];
    constexpr unsigned char kFreed = 0xA5;
    // The system's helper often ends before the memory is refilled (in about two rounds of three): 20
    // rounds catch a late write nearly always.
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        EventLog roundLog;
        roundLog.Rearm(1);
        roundLog.HoldStarted(true);
        SerialPort* other = new (storage) SerialPort();
        other->SetEventHandler(EventLog::Handle, &roundLog);
        if (other->Open(name.c_str(), 115200, 0, 8, true) != kSerialOpenOk) {
            other->~SerialPort();
            GTEST_SKIP() << "no serial port behind this name";
        }
        ASSERT_TRUE(roundLog.WaitFor(SerialEvent::Started));
        const std::vector<DWORD> before = ListProcessThreads();
        roundLog.HoldStarted(false);
        // Reads and the line-event wait are under way.
        ASSERT_TRUE(roundLog.WaitFor(SerialEvent::DataReceived, 3));
        std::vector<HANDLE> helpers;
        for (DWORD id : ListProcessThreads()) {
            HANDLE thread = std::count(before.begin(), before.end(), id) ? nullptr
                                                                           : OpenThread(SYNCHRONIZE, FALSE, id);
            if (thread != nullptr)
                helpers.push_back(thread);
        }
        other->~SerialPort();
        std::memset(storage, kFreed, sizeof storage);
        for (HANDLE thread : helpers) {
            EXPECT_EQ(WaitForSingleObject(thread, kEventWaitMs), WAIT_OBJECT_0)
                << "a helper thread of the port outlived it";
            CloseHandle(thread);
        }
        EXPECT_EQ(std::count(storage, storage + sizeof storage, kFreed), static_cast<long>(sizeof storage))
            << "written after the port was destroyed";
    }
}
#else
// What an open of the terminal gets, made through SerialPort or by a plain open(2), which stands
// for any other program.
struct Outcome {
    uint32_t code;
    int error;
};

Outcome TryOpen(const std::wstring& name, bool plainOpen)
{
    if (!plainOpen) {
        SerialPort port;
        uint32_t code = port.Open(name.c_str(), 115200, 0, 8, false);
        return {code, port.LastOpenError()};
    }
    int fd = open(std::string(name.begin(), name.end()).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return {kSerialOpenDeviceFailed, errno};
    close(fd);
    return {kSerialOpenOk, 0};
}

// The same as the unprivileged user nobody, from a child process; an ordinary user running the
// tests is unprivileged already.
Outcome TryOpenAsNobody(const std::wstring& name, bool plainOpen)
{
    int fds[2];
    if (geteuid() != 0)
        return TryOpen(name, plainOpen);
    Outcome outcome{~0u, -1};
    pid_t child = pipe(fds) == 0 ? fork() : -1;
    if (child == 0) {
        if (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0)
            outcome = TryOpen(name, plainOpen);
        _exit(write(fds[1], &outcome, sizeof outcome) == sizeof outcome ? 0 : 1);
    }
    if (child > 0) {
        close(fds[1]);
        if (read(fds[0], &outcome, sizeof outcome) != sizeof outcome)
            outcome = {~0u, -1};
        close(fds[0]);
        waitpid(child, nullptr, 0);
    }
    return outcome;
}

// The line settings reach the terminal, raw whatever it was before; settings this backend cannot
// make are refused, and the terminal is left free for the next open.
TEST_F(SerialPortTest, OpenSetsTheLineOrRefusesIt)
{
    const struct {
        uint32_t rate, parity, bits;
        speed_t speed;  // 0: refused
        tcflag_t flags;  // of CSTOPB and PARODD: a pseudo-terminal forces 8 bits without parity
    } rows[] = {
        {12345, 0, 8, 0, 0},
        {460800, 1, 5, B460800, PARODD},
        {9600, 3, 8, 0, 0},
        {230400, 2, 6, B230400, 0},
        {9600, 0, 9, 0, 0},
        {9600, 0, 7, B9600, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.rate << " " << row.parity << " " << row.bits);
        termios settings{};
        tcgetattr(master, &settings);
        settings.c_oflag |= OPOST;
        settings.c_lflag |= ICANON | ECHO;
        settings.c_cflag |= PARODD | CSTOPB;
        tcsetattr(master, TCSANOW, &settings);
        EXPECT_EQ(port.Open(name.c_str(), row.rate, row.parity, row.bits, false),
                  row.speed ? kSerialOpenOk : kSerialOpenSettingsFailed);
        EXPECT_EQ(port.LastOpenError(), row.speed ? 0 : EINVAL);
        tcgetattr(master, &settings);
        if (row.speed) {
            EXPECT_EQ(cfgetospeed(&settings), row.speed);
            EXPECT_EQ(settings.c_cflag & (PARODD | CSTOPB), row.flags);
            EXPECT_EQ(settings.c_oflag & OPOST, 0u);
            EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0u);
        }
        port.Close();
    }
}

// A terminal the user may not open, and one this port holds: the code says the device did not
// open and the error says why, for this user and for an unprivileged one, through SerialPort and
// for any other program. The superuser passes TIOCEXCL, so for it the lock on the open device is
// what keeps a second port out. Once closed, the terminal opens again.
TEST_F(SerialPortTest, OpenTellsForbiddenFromBusyAndReopensAfterClose)
{
    // Run as root, nobody is kept out by the owner-only 0600; an ordinary user keeps itself out
    // with 000.
    const mode_t forbidden = geteuid() == 0 ? 0600 : 0000;
    const struct {
        const char* what;
        mode_t mode;  // of the terminal
        bool held;    // this fixture's port has it open
        bool asNobody;
        bool plainOpen;
        int error;  // with kSerialOpenDeviceFailed
    } rows[] = {
        {"no permission", forbidden, false, true, false, EACCES},
        {"held, same user", 0666, true, false, false, EBUSY},
        {"held, unprivileged user", 0666, true, true, false, EBUSY},
        {"held, another program", 0666, true, true, true, EBUSY},
    };
    const std::string path(name.begin(), name.end());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(chmod(path.c_str(), row.mode), 0);
        if (row.held && log.Count(SerialEvent::Started) == 0) {
            ASSERT_TRUE(OpenAndStart());
        }
        const Outcome got = row.asNobody ? TryOpenAsNobody(name, row.plainOpen) : TryOpen(name, row.plainOpen);
        EXPECT_EQ(got.code, kSerialOpenDeviceFailed);
        EXPECT_EQ(got.error, row.error) << std::strerror(got.error);
    }
    // The holder goes on working.
    const std::vector<uint8_t> bytes = Pattern(8, 4);
    EXPECT_TRUE(port.Write(bytes.data(), 8));
    EXPECT_EQ(CollectSent(bytes.size()), bytes);
    CloseAndCheck();
    // Exclusive use ends with the port: the far end of a pseudo-terminal keeps the terminal, and
    // with it the exclusive flag, alive after the port has let go of it.
    for (bool plainOpen : {true, false}) {
        const Outcome again = TryOpenAsNobody(name, plainOpen);
        EXPECT_EQ(again.code, kSerialOpenOk) << plainOpen;
        EXPECT_EQ(again.error, 0) << plainOpen << ": " << std::strerror(again.error);
    }
}

// The port's device names go to the system as UTF-8: every length of sequence and its limits, and
// bytes that are no UTF-8 (stray, overlong, surrogate, past U+10FFFF, cut short) carried through
// as U+DC80..U+DCFF and back.
TEST(Utf8Text, EncodesDecodesAndCarriesInvalidBytes)
{
    const struct {
        std::wstring text;
        std::string bytes;
    } rows[] = {
        {L"A\x7F", "A\x7F"},
        {L"\x80\x7FF", "\xC2\x80\xDF\xBF"},
        {L"\x800\xFFFF", "\xE0\xA0\x80\xEF\xBF\xBF"},
        {L"\x10000\x10FFFF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        {L"\xDC80\xDCFF", "\x80\xFF"},
        {L"\xDCC0\xDC80\xDCE0\xDC80\xDC80", "\xC0\x80\xE0\x80\x80"},
        {L"\xDCED\xDCA0\xDC80", "\xED\xA0\x80"},
        {L"\xDCF4\xDC90\xDC80\xDC80\xDCF5\xDC80", "\xF4\x90\x80\x80\xF5\x80"},
        {L"\xDCC3" L"A\xDCE2\xDC82", "\xC3" "A\xE2\x82"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(EncodeUtf8(row.text.c_str()), row.bytes);
        std::wstring decoded = L"<";
        DecodeUtf8(row.bytes.c_str(), decoded);
        EXPECT_TRUE(decoded == L"<" + row.text) << row.bytes;
    }
    EXPECT_EQ(EncodeUtf8(L"\xDC7F\x110000"), "\xED\xB1\xBF?") << "a surrogate not made by decoding; past Unicode";
    // Whole sequences only, and room for the terminator.
    char out[8];
    for (size_t capacity : {0, 1, 4, 5, 8}) {
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(EncodeUtf8(L"ab\xE9", out, capacity), capacity >= 5) << capacity;
        if (capacity > 0) {
            EXPECT_STREQ(out, capacity >= 5 ? "ab\xC3\xA9" : capacity == 4 ? "ab" : "") << capacity;
        }
    }
}
#endif

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--port=", 7) == 0)
            g_portName.assign(argv[i] + 7, argv[i] + std::strlen(argv[i]));
    }
    return RUN_ALL_TESTS();
}
