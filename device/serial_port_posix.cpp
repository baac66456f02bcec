// POSIX backend of SerialPort: a tty (a USB serial adapter, or a pseudo-terminal in tests and with
// the simulated tester) driven by one I/O thread that sleeps in poll() until there is work. It keeps
// the contract of the Windows backend: reads of exactly the requested size that complete after
// n + 10 ms at most with whatever has arrived, and every notification on the port's thread.
#include "device/serial_port.h"

#include "device/utf8_text.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <cwchar>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The port whose I/O thread this is, if any.
thread_local const SerialPort* t_portOfThisThread = nullptr;

constexpr uint32_t kReadTimeoutConstantMs = 10;
constexpr uint32_t kReadTimeoutPerByteMs = 1;
constexpr uint32_t kCloseWaitMs = 2000;

int64_t GetMonotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool MapBaudRate(uint32_t baudRate, speed_t& speed)
{
    static const struct {
        uint32_t rate;
        speed_t speed;
    } kRates[] = {
        {50, B50},         {75, B75},         {110, B110},       {134, B134},
        {150, B150},       {200, B200},       {300, B300},       {600, B600},
        {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
        {9600, B9600},     {19200, B19200},   {38400, B38400},
#ifdef B57600
        {57600, B57600},
#endif
#ifdef B115200
        {115200, B115200},
#endif
#ifdef B230400
        {230400, B230400},
#endif
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B921600
        {921600, B921600},
#endif
    };
    for (const auto& entry : kRates) {
        if (entry.rate == baudRate) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

// Raw mode: no echo, no line editing, no signals, no translation, no flow control of any kind.
// 0, or the errno value of the step that failed (EINVAL for settings this backend cannot make).
int ApplyLineSettings(int fd, uint32_t baudRate, uint32_t parity, uint32_t dataBits)
{
    speed_t speed{};
    if (!MapBaudRate(baudRate, speed) || parity > 2)
        return EINVAL;
    tcflag_t size = 0;
    switch (dataBits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return EINVAL;
    }

    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        return errno;
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON | IXOFF | IXANY | INPCK);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
#ifdef CRTSCTS
    settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    settings.c_cflag |= size | CLOCAL | CREAD;
    if (parity != 0) {
        settings.c_cflag |= PARENB;
        if (parity == 1)
            settings.c_cflag |= PARODD;
        settings.c_iflag |= INPCK;
    }
    // One byte makes a non-blocking read return it; without any, read() says EAGAIN, so a
    // return of 0 can only mean that the other end hung up.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0)
        return errno;
    if (tcsetattr(fd, TCSANOW, &settings) != 0)
        return errno;

    // DTR and RTS held on, as a real adapter expects; pseudo-terminals have no modem lines and
    // refuse, which is harmless.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)ioctl(fd, TIOCMBIS, &lines);
    return 0;
}

// Takes the device for this port alone; 0 or the errno value. TIOCEXCL makes every later open(2)
// by an ordinary user fail with EBUSY, whatever program makes it; the superuser passes it, so a
// lock on the open device also keeps out a second Ombrelo (or any program that locks the same
// way) run as root. A lock already held is reported as EBUSY, like the refused open. The lock
// comes first: the flag belongs to the terminal, not to this descriptor, so an open that loses
// to a holder must leave the flag alone.
int TakeDeviceExclusively(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? EBUSY : errno;
    if (ioctl(fd, TIOCEXCL) != 0)
        return errno;
    return 0;
}

// Exclusive use ends with the port's close. The kernel drops the flag only with the terminal
// itself, and the far end of a pseudo-terminal (the simulated tester) keeps that alive: without
// this, only root could open the terminal again. Only for a descriptor that took the device.
void CloseDevice(int fd)
{
    (void)ioctl(fd, TIOCNXCL);
    close(fd);
}

bool MakeWakePipe(int fds[2])
{
    if (pipe(fds) != 0) {
        fds[0] = fds[1] = -1;
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        fcntl(fds[i], F_SETFL, fcntl(fds[i], F_GETFL) | O_NONBLOCK);
        fcntl(fds[i], F_SETFD, FD_CLOEXEC);
    }
    return true;
}

void WakeThread(int fd)
{
    if (fd < 0)
        return;
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    char byte = 1;
    ssize_t written = write(fd, &byte, 1);
    (void)written;
}

void DrainPipe(int fd)
{
    char bytes[64];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
}

void* RunPortThread(void* port);

}  // namespace

// Reaches the private thread body from the C entry point pthread_create needs.
struct SerialPortThreadEntry {
    static void Run(SerialPort* port) { port->RunThread(); }
};

namespace {
void* RunPortThread(void* port)
{
    SerialPortThreadEntry::Run(static_cast<SerialPort*>(port));
    return nullptr;
}
}  // namespace

SerialPort::SerialPort()
    : stopRequested(false),
      readRequested(false),
      writeRequested(false),
      device(-1),
      wakeFds{-1, -1},
      threadStarted(false),
      thread{},
      readWanted(0),
      readGot(0),
      readDeadlineNs(0),
      writeLength(0),
      writeOffset(0),
      writeActive(false)
{
    MakeWakePipe(wakeFds);
}

SerialPort::~SerialPort()
{
    // The thread works on this object's fields, so it has to be gone before they are: unlike
    // Close, this waits for it without a limit.
    StopThread(true);
    if (device >= 0) {
        CloseDevice(device);
        device = -1;
    }
    for (int& fd : wakeFds) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

uint32_t SerialPort::Open(const wchar_t* name, uint32_t newBaudRate, uint32_t newParity,
                          uint32_t dataBits, bool lineEvents)
{
    // Reopening: the old thread still uses the device, so it ends before anything is replaced.
    StopThread(true);
    if (device >= 0) {
        CloseDevice(device);
        device = -1;
    }

    uint32_t result = kSerialOpenOk;
    openError = 0;
    int fd = -1;
    bool exclusive = false;  // fd holds the device: closing it must give the device up
    if (!name) {
        result = kSerialOpenNoName;
        openError = EINVAL;
    } else {
        size_t length = std::wcslen(name);
        // A path that does not fit is refused rather than cut short, which would open some other
        // device.
        char path[kNameLength * 4];
        if (length >= kNameLength || !EncodeUtf8(name, path, sizeof path)) {
            result = kSerialOpenDeviceFailed;
            openError = ENAMETOOLONG;
        } else {
            std::wmemcpy(portName, name, length + 1);
            baudRate = newBaudRate;
            parity = newParity;
            lineEventsEnabled = lineEvents;
            fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                result = kSerialOpenDeviceFailed;
                openError = errno;
            } else if ((openError = TakeDeviceExclusively(fd)) != 0) {
                // Held by another program: as good as not opened.
                result = openError == EBUSY ? kSerialOpenDeviceFailed : kSerialOpenSettingsFailed;
            } else {
                exclusive = true;
                if ((openError = ApplyLineSettings(fd, baudRate, parity, dataBits)) != 0)
                    result = kSerialOpenSettingsFailed;
            }
        }
    }
    if (wakeFds[0] < 0) {
        result = kSerialOpenEventMissing;
        openError = EMFILE;
    }
    if (result != kSerialOpenOk) {
        if (exclusive)
            CloseDevice(fd);
        else if (fd >= 0)
            close(fd);
        return result;
    }

    // Requests left over from before this Open (a Write or Close on a closed port) are dropped, so
    // that the new thread starts clean and a Write right after Open is not lost.
    device = fd;
    stopRequested.store(false, std::memory_order_relaxed);
    readRequested.store(false, std::memory_order_relaxed);
    writeRequested.store(false, std::memory_order_relaxed);
    writePending.store(false, std::memory_order_relaxed);
    readPending.store(false, std::memory_order_relaxed);
    lineWaitPending.store(false, std::memory_order_relaxed);
    threadEndedEvent.Reset();
    DrainPipe(wakeFds[0]);

    deviceOpen.store(true, std::memory_order_release);
    if (int error = pthread_create(&thread, nullptr, RunPortThread, this); error != 0) {
        deviceOpen.store(false, std::memory_order_release);
        CloseDevice(device);
        device = -1;
        openError = error;
        return kSerialOpenEventMissing;
    }
    threadStarted = true;
    return kSerialOpenOk;
}

int SerialPort::LastOpenError() const { return openError; }

void SerialPort::Close() { StopThread(false); }

void SerialPort::StopThread(bool waitWithoutLimit)
{
    stopRequested.store(true, std::memory_order_release);
    WakeThread(wakeFds[1]);
    if (!threadStarted)
        return;
    // Called from the handler: the thread ends once the handler returns; the owner joins it later.
    if (pthread_equal(pthread_self(), thread))
        return;
    if (!waitWithoutLimit && !threadEndedEvent.Wait(kCloseWaitMs))
        return;  // still inside the handler; the destructor waits for it
    pthread_join(thread, nullptr);
    threadStarted = false;
}

bool SerialPort::Write(const uint8_t* data, uint32_t length)
{
    if (!data || length >= kSerialBufferSize || !deviceOpen.load(std::memory_order_acquire))
        return false;
    bool idle = false;
    if (!writePending.compare_exchange_strong(idle, true, std::memory_order_acq_rel))
        return false;
    std::memcpy(transmitBuffer, data, length);
    transmitLength.store(length, std::memory_order_release);
    writeRequested.store(true, std::memory_order_release);
    WakeThread(wakeFds[1]);
    return true;
}

void SerialPort::SetEventHandler(SerialEventHandler handler, void* context)
{
    eventContext.store(context, std::memory_order_release);
    eventHandler.store(handler, std::memory_order_release);
}

void SerialPort::SetReadSize(uint32_t n)
{
    readSize.store(n < kSerialBufferSize ? n : kSerialBufferSize, std::memory_order_relaxed);
}

void SerialPort::RequestRead()
{
    readRequested.store(true, std::memory_order_release);
    // The protocol asks for its next read from inside the handler, on this port's own thread, about
    // every 11 ms while the line is idle: that thread looks at the flags before it sleeps again, so
    // waking it through the pipe would only cost a write, a needless poll and a drain.
    if (t_portOfThisThread == this)
        return;
    WakeThread(wakeFds[1]);
}

const uint8_t* SerialPort::ReceiveBuffer() const { return receiveBuffer; }

uint32_t SerialPort::ReceivedCount() const
{
    return receivedCount.load(std::memory_order_relaxed);
}

void SerialPort::NotifyUser(SerialEvent code)
{
    SerialEventHandler handler = eventHandler.load(std::memory_order_acquire);
    if (handler)
        handler(this, eventContext.load(std::memory_order_acquire), code);
}

void SerialPort::RunThread()
{
    // Line events: pseudo-terminals have no modem lines, and USB adapters report them only through
    // ioctls that not every driver supports, so this backend watches none and reports none.
    t_portOfThisThread = this;
    writeActive = false;
    NotifyUser(SerialEvent::Started);

    // A read that ends, successfully or not; the device is polled for input again only after the
    // next RequestRead, so a hung-up device cannot spin this thread.
    auto completeRead = [this](bool ok) {
        readPending.store(false, std::memory_order_relaxed);
        receivedCount.store(ok ? readGot : 0, std::memory_order_relaxed);
        if (ok || readGot > 0)
            NotifyUser(SerialEvent::DataReceived);
    };
    // False on a hard write failure, which ends the thread.
    auto continueWrite = [this]() {
        while (writeOffset < writeLength) {
            ssize_t n = write(device, transmitBuffer + writeOffset, writeLength - writeOffset);
            if (n > 0) {
                writeOffset += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                return true;  // the rest when the device takes more
            if (n == 0)
                return true;
            return false;
        }
        writeActive = false;
        writePending.store(false, std::memory_order_release);
        NotifyUser(SerialEvent::WriteDone);
        return true;
    };
    auto continueRead = [this, &completeRead]() {
        ssize_t n = read(device, receiveBuffer + readGot, readWanted - readGot);
        if (n > 0) {
            readGot += static_cast<uint32_t>(n);
            if (readGot == readWanted)
                completeRead(true);
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            completeRead(false);  // hung up (end of file) or an I/O error
        }
    };

    for (;;) {
        if (stopRequested.exchange(false, std::memory_order_acquire))
            break;
        int64_t now = GetMonotonicNs();
        if (readPending.load(std::memory_order_relaxed) && now >= readDeadlineNs) {
            // Time-out: take what the device holds, then complete with whatever has arrived,
            // possibly nothing.
            continueRead();
            if (readPending.load(std::memory_order_relaxed))
                completeRead(true);
        }
        if (readRequested.exchange(false, std::memory_order_acquire) &&
            !readPending.load(std::memory_order_relaxed)) {
            readPending.store(true, std::memory_order_relaxed);
            readWanted = readSize.load(std::memory_order_relaxed);
            readGot = 0;
            readDeadlineNs = now + static_cast<int64_t>(readWanted * kReadTimeoutPerByteMs +
                                                        kReadTimeoutConstantMs) * 1000000;
            if (readWanted == 0)
                completeRead(true);
        }
        if (writeRequested.exchange(false, std::memory_order_acquire)) {
            writeLength = transmitLength.load(std::memory_order_acquire);
            writeOffset = 0;
            writeActive = true;
            if (!continueWrite())
                break;
        }
        // The handlers above may have asked for more; look again before sleeping.
        if (stopRequested.load(std::memory_order_relaxed) ||
            readRequested.load(std::memory_order_relaxed) ||
            writeRequested.load(std::memory_order_relaxed))
            continue;

        bool reading = readPending.load(std::memory_order_relaxed);
        pollfd fds[2]{};
        fds[0].fd = wakeFds[0];
        fds[0].events = POLLIN;
        short deviceEvents = static_cast<short>((reading ? POLLIN : 0) | (writeActive ? POLLOUT : 0));
        // An fd of -1 is skipped: a hung-up device reports POLLHUP even when nothing is asked of it.
        fds[1].fd = deviceEvents ? device : -1;
        fds[1].events = deviceEvents;
        int timeoutMs = -1;
        if (reading) {
            int64_t left = readDeadlineNs - GetMonotonicNs();
            timeoutMs = left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
        }
        int ready = poll(fds, 2, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            DrainPipe(wakeFds[0]);
        short got = fds[1].revents;
        if (got && writeActive && (got & (POLLOUT | POLLERR | POLLHUP))) {
            if (!continueWrite())
                break;
        }
        if (got && readPending.load(std::memory_order_relaxed) &&
            (got & (POLLIN | POLLERR | POLLHUP)))
            continueRead();
    }

    deviceOpen.store(false, std::memory_order_release);
    CloseDevice(device);
    device = -1;
    NotifyUser(SerialEvent::Stopped);
    threadEndedEvent.Signal();
}
