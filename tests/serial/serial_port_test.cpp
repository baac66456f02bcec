// Tests of SerialPort against a real pseudo-terminal. Natively the test holds the terminal's
// master side itself and sees exactly what the port sent. The Windows build runs under Wine on a COM
// port that scripts/wine-pty-test.sh links to a terminal whose far end is pty_peer, which echoes:
// there, bytes for the port are fed by writing them and letting them come back, and what the port
// sent is read back the same way. The port is given with --port=COMn or OMBRELO_TEST_PORT; without
// one, only the cases that need no terminal run.
#include "device/serial_port.h"
#include "device/utf8_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
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
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

// Generous: the machine is shared and the Windows build runs under Wine.
constexpr int kEventWaitMs = 5000;
// How long to watch for something that must not happen.
constexpr int kQuietMs = 400;

std::wstring g_portName;

#ifdef _WIN32
// The byte on which pty_peer --hangup-on hangs up; test data never holds it (patterns stay below 251).
constexpr uint8_t kHangUpByte = 0xFE;
#endif

int64_t GetElapsedMs(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

std::vector<uint8_t> MakePattern(size_t length, uint8_t seed)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>((i * 7 + seed) % 251);
    return bytes;
}

// Everything the port told its handler, in order. Like the protocol layer, it can ask for the
// next read after each one (rearm), and it can hold the port's thread inside the Started
// notification until released, which makes the thread's timing deterministic.
class EventLog {
public:
    static void Handle(SerialPort* port, void* context, SerialEvent code)
    {
        static_cast<EventLog*>(context)->Record(port, code);
    }
    // Runs f under the log's lock, so it may read the fields below.
    template <typename F>
    auto Locked(F f)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return f();
    }
    void SetRearm(bool on, uint32_t size)
    {
        Locked([&] {
            rearm = on;
            nextReadSize = size;
        });
    }
    void HoldStarted(bool on)
    {
        Locked([&] { holdStarted = on; });
        changed.notify_all();
    }
    bool WaitUntil(const std::function<bool()>& done, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }
    bool WaitForCount(SerialEvent code, size_t count, int timeoutMs)
    {
        return WaitUntil([&] { return CountLocked(code) >= count; }, timeoutMs);
    }
    bool WaitForData(size_t length, int timeoutMs)
    {
        return WaitUntil([&] { return data.size() >= length; }, timeoutMs);
    }
    size_t Count(SerialEvent code)
    {
        return Locked([&] { return CountLocked(code); });
    }
    std::vector<SerialEvent> Events()
    {
        return Locked([&] { return events; });
    }
    std::vector<uint8_t> Data()
    {
        return Locked([&] { return data; });
    }

    std::vector<SerialEvent> events;
    std::vector<uint32_t> readCounts;  // of each DataReceived
    std::vector<uint8_t> data;
    std::thread::id handlerThread;
    bool wrongThread = false;  // read only after the port's thread has ended

private:
    size_t CountLocked(SerialEvent code) const
    {
        return static_cast<size_t>(std::count(events.begin(), events.end(), code));
    }

    void Record(SerialPort* port, SerialEvent code)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (events.empty())
            handlerThread = std::this_thread::get_id();
        else if (handlerThread != std::this_thread::get_id())
            wrongThread = true;
        events.push_back(code);
        if (code == SerialEvent::DataReceived) {
            uint32_t count = port->ReceivedCount();
            readCounts.push_back(count);
            data.insert(data.end(), port->ReceiveBuffer(), port->ReceiveBuffer() + count);
        }
        bool again = rearm && (code == SerialEvent::Started || code == SerialEvent::DataReceived);
        uint32_t size = nextReadSize;
        changed.notify_all();
        if (code == SerialEvent::Started && holdStarted)
            changed.wait_for(lock, std::chrono::seconds(20), [&] { return !holdStarted; });
        lock.unlock();
        if (again) {
            port->SetReadSize(size);
            port->RequestRead();
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool rearm = false;
    uint32_t nextReadSize = 1;
    bool holdStarted = false;
};

#ifndef _WIN32
// The far end of a pseudo-terminal, held by the test.
class PtyPeer {
public:
    ~PtyPeer() { HangUp(); }

    bool Create()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return false;
        const char* path = ptsname(master);
        if (!path)
            return false;
        slavePath = path;
        // Raw before the port opens it, so nothing written here is ever echoed back.
        int slave = open(path, O_RDWR | O_NOCTTY);
        if (slave < 0)
            return false;
        termios settings{};
        tcgetattr(slave, &settings);
        cfmakeraw(&settings);
        tcsetattr(slave, TCSANOW, &settings);
        close(slave);
        return true;
    }
    std::wstring SlaveName() const { return std::wstring(slavePath.begin(), slavePath.end()); }

    bool Send(const std::vector<uint8_t>& bytes)
    {
        return write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // Whatever the port sent, until `length` bytes or the time is up.
    std::vector<uint8_t> Receive(size_t length, int timeoutMs)
    {
        std::vector<uint8_t> bytes;
        Clock::time_point start = Clock::now();
        while (bytes.size() < length) {
            int64_t left = timeoutMs - GetElapsedMs(start);
            if (left <= 0)
                break;
            pollfd in{master, POLLIN, 0};
            if (poll(&in, 1, static_cast<int>(left)) <= 0)
                continue;
            uint8_t chunk[512];
            ssize_t n = read(master, chunk, std::min(sizeof chunk, length - bytes.size()));
            if (n <= 0)
                break;
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
        return bytes;
    }
    // An unplugged device: the terminal hangs up for whoever holds it.
    void HangUp()
    {
        if (master >= 0)
            close(master);
        master = -1;
    }

private:
    int master = -1;
    std::string slavePath;
};

#endif

// CPU time of the whole process, in ms.
int64_t GetProcessCpuMs()
{
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    auto toMs = [](const FILETIME& time) {
        return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                    time.dwLowDateTime) / 10000;
    };
    return toMs(kernel) + toMs(user);
#else
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
#endif
}

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef _WIN32
        if (g_portName.empty())
            GTEST_SKIP() << "no COM port given (--port=COMn or OMBRELO_TEST_PORT)";
        name = g_portName;
#else
        ASSERT_TRUE(peer.Create());
        name = peer.SlaveName();
#endif
        port.SetEventHandler(EventLog::Handle, &log);
    }

    // Line events on, as the protocol layer opens the port; true once the thread has started.
    bool OpenAndStart()
    {
        return port.Open(name.c_str(), 115200, 0, 8, true) == kSerialOpenOk &&
               log.WaitForCount(SerialEvent::Started, 1, kEventWaitMs);
    }

    // Bytes for the port to receive. Under Wine they travel out through the port and come back.
    void Feed(const std::vector<uint8_t>& bytes)
    {
#ifdef _WIN32
        size_t done = log.Count(SerialEvent::WriteDone);
        for (size_t at = 0; at < bytes.size(); at += 200) {
            size_t length = std::min<size_t>(200, bytes.size() - at);
            port.Write(bytes.data() + at, static_cast<uint32_t>(length));
            ASSERT_TRUE(log.WaitForCount(SerialEvent::WriteDone, ++done, kEventWaitMs));
        }
        // Let the echo land in the port's input queue before the test starts reading.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
#else
        ASSERT_TRUE(peer.Send(bytes));
#endif
    }

    // What the port sent, as the far end saw it (under Wine: as it came back).
    std::vector<uint8_t> CollectSent(size_t length, int timeoutMs)
    {
#ifdef _WIN32
        log.SetRearm(true, 256);
        port.RequestRead();
        log.WaitForData(length, timeoutMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));  // anything extra
        log.SetRearm(false, 1);
        return log.Data();
#else
        std::vector<uint8_t> bytes = peer.Receive(length, timeoutMs);
        std::vector<uint8_t> extra = peer.Receive(1, kQuietMs);
        bytes.insert(bytes.end(), extra.begin(), extra.end());
        return bytes;
#endif
    }

    // Feeds length bytes and reads them in reads of `size`: the first read that gets some has
    // `expected` bytes, none more, and as many as fit in the length have it.
    void ExpectReads(size_t length, uint32_t size, uint32_t expected)
    {
        ASSERT_TRUE(OpenAndStart());
        std::vector<uint8_t> bytes = MakePattern(length, 3);
        Feed(bytes);
        log.SetRearm(true, size);
        port.SetReadSize(size);
        port.RequestRead();
        EXPECT_TRUE(log.WaitForData(bytes.size(), kEventWaitMs));
        EXPECT_EQ(log.Data(), bytes);
        std::vector<uint32_t> reads = log.Locked([&] { return log.readCounts; });
        reads.erase(std::remove(reads.begin(), reads.end(), 0u), reads.end());
        ASSERT_FALSE(reads.empty());
        EXPECT_EQ(reads.front(), expected);
        EXPECT_LE(*std::max_element(reads.begin(), reads.end()), expected);
        EXPECT_GE(static_cast<size_t>(std::count(reads.begin(), reads.end(), expected)), length / expected);
        CloseAndCheckLifecycle();
    }

    void CloseAndCheckLifecycle()
    {
        Clock::time_point start = Clock::now();
        port.Close();
        EXPECT_LT(GetElapsedMs(start), 3500);
        ASSERT_TRUE(log.WaitForCount(SerialEvent::Stopped, 1, kEventWaitMs));
        std::vector<SerialEvent> events = log.Events();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.front(), SerialEvent::Started);
        EXPECT_EQ(events.back(), SerialEvent::Stopped);
        EXPECT_EQ(log.Count(SerialEvent::Started), 1u);
        EXPECT_EQ(log.Count(SerialEvent::Stopped), 1u);
        EXPECT_FALSE(log.wrongThread);
        const uint8_t byte = 1;
        EXPECT_FALSE(port.Write(&byte, 1)) << "a closed port takes no frame";
    }

    EventLog log;
#ifndef _WIN32
    PtyPeer peer;
#endif
    std::wstring name;
    SerialPort port;  // last, so that its thread is gone before the log and the peer
};

// ----- Open without a terminal -----

// What Open says, and why, for names that reach no terminal. No thread starts and nothing can be
// written afterwards.
TEST(SerialPortOpen, FailingOpenSaysWhichStepAndWhy)
{
    struct Case {
        const wchar_t* name;
        uint32_t code;
        int error;  // 0: any nonzero system error
    };
#ifdef _WIN32
    const Case cases[] = {
        {nullptr, kSerialOpenNoName, ERROR_INVALID_PARAMETER},
        {L"COM199", kSerialOpenDeviceFailed, 0},
        // Ten characters do not fit; the port must not open a shortened name instead.
        {L"COM1234567", kSerialOpenDeviceFailed, ERROR_FILENAME_EXCED_RANGE},
        {L"", kSerialOpenDeviceFailed, 0},
    };
#else
    const std::wstring overlong = L"/dev/" + std::wstring(400, L'x');
    const Case cases[] = {
        {nullptr, kSerialOpenNoName, EINVAL},
        {L"/dev/ombrelo-no-such-port", kSerialOpenDeviceFailed, ENOENT},
        {overlong.c_str(), kSerialOpenDeviceFailed, ENAMETOOLONG},
        {L"", kSerialOpenDeviceFailed, ENOENT},
        {L"/dev/null", kSerialOpenSettingsFailed, ENOTTY},  // opens, but is no terminal
    };
#endif
    EventLog log;
    SerialPort port;
    port.SetEventHandler(EventLog::Handle, &log);
    const uint8_t byte = 1;
    EXPECT_FALSE(port.Write(&byte, 1)) << "a port never opened takes no frame";
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(port.Open(c.name, 115200, 0, 8, true), c.code) << "case " << i;
        if (c.error != 0)
            EXPECT_EQ(port.LastOpenError(), c.error) << "case " << i;
        else
            EXPECT_NE(port.LastOpenError(), 0) << "case " << i;
        EXPECT_FALSE(port.Write(&byte, 1)) << "case " << i;
    }
    EXPECT_FALSE(log.WaitForCount(SerialEvent::Started, 1, kQuietMs));
    port.Close();  // harmless without a thread
    EXPECT_TRUE(log.Events().empty());
}

// ----- Life cycle -----

TEST_F(SerialPortTest, StartedComesFirstAndStoppedLast)
{
    log.SetRearm(true, 1);
    ASSERT_TRUE(OpenAndStart());
    // The idle link keeps completing empty reads while it is open.
    ASSERT_TRUE(log.WaitForCount(SerialEvent::DataReceived, 3, kEventWaitMs));
    CloseAndCheckLifecycle();
    EXPECT_NE(log.Locked([&] { return log.handlerThread; }), std::this_thread::get_id());
}

TEST_F(SerialPortTest, CloseReturnsWhileTheHandlerHoldsTheThread)
{
    log.HoldStarted(true);
    ASSERT_TRUE(OpenAndStart());
    Clock::time_point start = Clock::now();
    port.Close();
    EXPECT_LT(GetElapsedMs(start), 3500);
    EXPECT_EQ(log.Count(SerialEvent::Stopped), 0u);  // Close gave up waiting; the thread lives on
    log.HoldStarted(false);
    ASSERT_TRUE(log.WaitForCount(SerialEvent::Stopped, 1, kEventWaitMs));
    EXPECT_EQ(log.Events().back(), SerialEvent::Stopped);
}

#ifdef _WIN32
// Threads of this process, the system's own helpers included.
std::vector<DWORD> ListProcessThreads()
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ids;
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
    // The system's helper may end before the memory is refilled: a few rounds.
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        EventLog roundLog;
        roundLog.SetRearm(true, 1);
        roundLog.HoldStarted(true);
        SerialPort* other = new (storage) SerialPort();
        other->SetEventHandler(EventLog::Handle, &roundLog);
        if (other->Open(name.c_str(), 115200, 0, 8, true) != kSerialOpenOk) {
            other->~SerialPort();
            GTEST_SKIP() << "no serial port behind this name";
        }
        ASSERT_TRUE(roundLog.WaitForCount(SerialEvent::Started, 1, kEventWaitMs));
        const std::vector<DWORD> before = ListProcessThreads();
        roundLog.HoldStarted(false);
        // Reads and the line-event wait are under way.
        ASSERT_TRUE(roundLog.WaitForCount(SerialEvent::DataReceived, 3, kEventWaitMs));
        std::vector<HANDLE> helpers;
        for (DWORD id : ListProcessThreads()) {
            HANDLE thread = std::count(before.begin(), before.end(), id) ? nullptr : OpenThread(SYNCHRONIZE, FALSE, id);
            if (thread != nullptr)
                helpers.push_back(thread);
        }
        other->~SerialPort();
        std::memset(storage, kFreed, sizeof storage);
        if (!helpers.empty()) {
            EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(helpers.size()), helpers.data(), TRUE, kEventWaitMs),
                      WAIT_OBJECT_0) << "a helper thread of the port outlived it";
        }
        for (HANDLE thread : helpers)
            CloseHandle(thread);
        EXPECT_EQ(std::count(storage, storage + sizeof storage, kFreed), static_cast<long>(sizeof storage))
            << "written after the port was destroyed";
    }
}
#endif

// ----- Reads -----

TEST_F(SerialPortTest, ReadsHaveTheRequestedSize) { ExpectReads(10, 4, 4); }

TEST_F(SerialPortTest, ReadSizeIsCappedAt256) { ExpectReads(300, 300, 256); }

TEST_F(SerialPortTest, EmptyReadCompletesWithZero)
{
    // Reads happen only on request, and Open drops a request made while the port was closed.
    port.RequestRead();
    ASSERT_TRUE(OpenAndStart());
    EXPECT_FALSE(log.WaitForCount(SerialEvent::DataReceived, 1, kQuietMs));
    port.SetReadSize(50);
    Clock::time_point start = Clock::now();
    port.RequestRead();
    // Due after 60 ms; the bound only says that it does not hang.
    ASSERT_TRUE(log.WaitForCount(SerialEvent::DataReceived, 1, kEventWaitMs));
    EXPECT_LT(GetElapsedMs(start), 2000);
    EXPECT_TRUE(log.Data().empty());
    EXPECT_EQ(port.ReceivedCount(), 0u);
    // A second request after the empty one reads again: reception goes on.
    port.RequestRead();
    ASSERT_TRUE(log.WaitForCount(SerialEvent::DataReceived, 2, kEventWaitMs));
    CloseAndCheckLifecycle();
}

// ----- Writes -----

TEST_F(SerialPortTest, Write255ArrivesWhole256OrWithoutDataIsIgnored)
{
    ASSERT_TRUE(OpenAndStart());
    std::vector<uint8_t> bytes = MakePattern(256, 9);
    EXPECT_FALSE(port.Write(bytes.data(), 256));
    EXPECT_FALSE(port.Write(nullptr, 10));
    EXPECT_FALSE(log.WaitForCount(SerialEvent::WriteDone, 1, kQuietMs));
    EXPECT_TRUE(CollectSent(1, kQuietMs).empty());
    // The port still writes afterwards, 255 bytes whole: nothing was left pending.
    EXPECT_TRUE(port.Write(bytes.data(), 255));
    ASSERT_TRUE(log.WaitForCount(SerialEvent::WriteDone, 1, kEventWaitMs));
    EXPECT_EQ(CollectSent(255, kEventWaitMs), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 255));
    EXPECT_EQ(log.Count(SerialEvent::WriteDone), 1u);
    CloseAndCheckLifecycle();
}

TEST_F(SerialPortTest, SecondWriteBeforeWriteDoneIsIgnored)
{
    // The thread is held in Started, so neither write can have completed when the second comes.
    log.HoldStarted(true);
    ASSERT_TRUE(OpenAndStart());
    std::vector<uint8_t> first = MakePattern(40, 1);
    std::vector<uint8_t> second = MakePattern(30, 2);
    EXPECT_TRUE(port.Write(first.data(), 40));
    EXPECT_FALSE(port.Write(second.data(), 30));
    log.HoldStarted(false);
    ASSERT_TRUE(log.WaitForCount(SerialEvent::WriteDone, 1, kEventWaitMs));
    EXPECT_EQ(CollectSent(first.size() + second.size(), 1000), first);
    EXPECT_EQ(log.Count(SerialEvent::WriteDone), 1u);
    // After WriteDone the next write is taken.
    EXPECT_TRUE(port.Write(second.data(), 30));
    ASSERT_TRUE(log.WaitForCount(SerialEvent::WriteDone, 2, kEventWaitMs));
    std::vector<uint8_t> both = first;
    both.insert(both.end(), second.begin(), second.end());
    std::vector<uint8_t> sent = CollectSent(second.size(), kEventWaitMs);
#ifdef _WIN32
    EXPECT_EQ(sent, both);  // the echo log holds everything read back so far
#else
    EXPECT_EQ(sent, second);
#endif
    CloseAndCheckLifecycle();
}

// ----- A device that goes away -----

// Natively the test closes its end of the terminal; under Wine the port sends the byte on which
// pty_peer (started with --hangup-on 0xFE) hangs up.
TEST_F(SerialPortTest, PeerHangUpFailsTheReadWithoutSpinning)
{
    ASSERT_TRUE(OpenAndStart());
    log.SetRearm(true, 16);
    port.RequestRead();
    std::vector<uint8_t> bytes = MakePattern(5, 0);
    Feed(bytes);
    ASSERT_TRUE(log.WaitForData(bytes.size(), kEventWaitMs));

#ifdef _WIN32
    const uint8_t hangUp = kHangUpByte;
    port.Write(&hangUp, 1);
#else
    peer.HangUp();
#endif
    // The pending read fails with nothing, so no DataReceived comes and reception stops.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    size_t readsBefore = log.Count(SerialEvent::DataReceived);
    int64_t cpuBefore = GetProcessCpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(log.Count(SerialEvent::DataReceived), readsBefore);
    // A thread spinning on the dead device would burn about all of the 600 ms.
    EXPECT_LT(GetProcessCpuMs() - cpuBefore, 300);
    EXPECT_EQ(log.Count(SerialEvent::Stopped), 0u);  // a failed read does not end the thread

    // A write fails hard on the dead device and ends the thread; the port takes no more.
    size_t writesBefore = log.Count(SerialEvent::WriteDone);
    EXPECT_TRUE(port.Write(bytes.data(), 5));
    ASSERT_TRUE(log.WaitForCount(SerialEvent::Stopped, 1, kEventWaitMs));
    EXPECT_EQ(log.Count(SerialEvent::WriteDone), writesBefore);
    EXPECT_FALSE(port.Write(bytes.data(), 5));
    CloseAndCheckLifecycle();
}

#ifndef _WIN32
// What an open of the terminal gets, made by this process or, forked, by the unprivileged user
// nobody. A plain open(2) stands for any other program.
struct OpenOutcome {
    uint32_t code;
    int error;
};

OpenOutcome TryOpen(const std::wstring& name, bool plainOpen)
{
    if (plainOpen) {
        std::string path(name.begin(), name.end());
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        OpenOutcome outcome{fd >= 0 ? kSerialOpenOk : kSerialOpenDeviceFailed, fd >= 0 ? 0 : errno};
        if (fd >= 0)
            close(fd);
        return outcome;
    }
    SerialPort port;
    uint32_t code = port.Open(name.c_str(), 115200, 0, 8, false);
    return {code, port.LastOpenError()};
}

OpenOutcome TryOpenAsNobody(const std::wstring& name, bool plainOpen)
{
    // An ordinary user running the tests is unprivileged already.
    if (geteuid() != 0)
        return TryOpen(name, plainOpen);
    int fds[2];
    if (pipe(fds) != 0)
        return {~0u, -1};
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        OpenOutcome outcome{~0u, -1};
        if (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0)
            outcome = TryOpen(name, plainOpen);
        ssize_t written = write(fds[1], &outcome, sizeof outcome);
        _exit(written == sizeof outcome ? 0 : 1);
    }
    close(fds[1]);
    OpenOutcome outcome{~0u, -1};
    if (child < 0 || read(fds[0], &outcome, sizeof outcome) != sizeof outcome)
        outcome = {~0u, -1};
    close(fds[0]);
    if (child > 0)
        waitpid(child, nullptr, 0);
    return outcome;
}

// A terminal the user may not open, and one this port holds: the code says the device did not
// open and the error says why, for this user and for an unprivileged one, through SerialPort and
// for a plain open(2) by any other program. The superuser passes TIOCEXCL, so for it the lock on
// the open device is what keeps a second port out.
TEST_F(SerialPortTest, OpenTellsForbiddenFromBusyAndReopensAfterClose)
{
    struct Case {
        const char* what;
        mode_t mode;  // of the terminal for this case
        bool held;    // this fixture's port has it open
        bool asNobody;
        bool plainOpen;
        OpenOutcome expected;
    };
    // Run as root, nobody is kept out by the owner-only 0600; an ordinary user keeps itself out
    // with 000.
    const mode_t forbidden = geteuid() == 0 ? 0600 : 0000;
    const Case cases[] = {
        {"no permission", forbidden, false, true, false, {kSerialOpenDeviceFailed, EACCES}},
        {"held, same user", 0666, true, false, false, {kSerialOpenDeviceFailed, EBUSY}},
        {"held, unprivileged user", 0666, true, true, false, {kSerialOpenDeviceFailed, EBUSY}},
        {"held, another program", 0666, true, true, true, {kSerialOpenDeviceFailed, EBUSY}},
    };
    const std::string path(name.begin(), name.end());
    for (const Case& c : cases) {
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0) << c.what;
        if (c.held && log.Count(SerialEvent::Started) == 0) {
            ASSERT_TRUE(OpenAndStart());
        }
        OpenOutcome got = c.asNobody ? TryOpenAsNobody(name, c.plainOpen) : TryOpen(name, c.plainOpen);
        EXPECT_EQ(got.code, c.expected.code) << c.what;
        EXPECT_EQ(got.error, c.expected.error) << c.what << ": " << std::strerror(got.error);
    }
    // The holder goes on working, and once it is closed the terminal opens again, without error.
    std::vector<uint8_t> bytes = MakePattern(8, 4);
    EXPECT_TRUE(port.Write(bytes.data(), 8));
    EXPECT_EQ(CollectSent(bytes.size(), kEventWaitMs), bytes);
    CloseAndCheckLifecycle();
    // Exclusive use ends with the port: the far end of a pseudo-terminal keeps the terminal, and
    // with it the exclusive flag, alive after the port has let go of it.
    OpenOutcome afterClose = TryOpenAsNobody(name, true);
    EXPECT_EQ(afterClose.code, kSerialOpenOk);
    EXPECT_EQ(afterClose.error, 0) << std::strerror(afterClose.error);

    EventLog second;
    SerialPort again;
    again.SetEventHandler(EventLog::Handle, &second);
    ASSERT_EQ(again.Open(name.c_str(), 9600, 2, 7, false), kSerialOpenOk);
    EXPECT_EQ(again.LastOpenError(), 0);
    ASSERT_TRUE(second.WaitForCount(SerialEvent::Started, 1, kEventWaitMs));
    again.Close();
    EXPECT_EQ(second.Events().back(), SerialEvent::Stopped);
}
#endif

#ifndef _WIN32
// The port's device names go to the system as UTF-8: every length of sequence and its limits, and
// bytes that are no UTF-8 (stray, overlong, surrogate, past U+10FFFF, cut short) carried through
// as U+DC80..U+DCFF and back.
TEST(Utf8Text, EncodesDecodesAndCarriesInvalidBytes)
{
    const struct {
        std::wstring text;
        std::string bytes;
    } kBoth[] = {
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
    for (const auto& row : kBoth) {
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
    std::string port;
    if (const char* fromEnvironment = std::getenv("OMBRELO_TEST_PORT"))
        port = fromEnvironment;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--port=", 7) == 0)
            port = argv[i] + 7;
    }
    g_portName.assign(port.begin(), port.end());
    return RUN_ALL_TESTS();
}
