// Windows backend of SerialPort: a COM device opened for overlapped I/O and one port thread that
// sleeps in a single wait on the port's seven events and reacts to the lowest one signalled.
#include "device/serial_port.h"

#include <cstring>
#include <cwchar>

#include <windows.h>
#include <process.h>

namespace {

enum EventIndex : uint32_t {
    kStopEvent = 0,
    kReadDoneEvent = 1,
    kReadRequestEvent = 2,
    kWriteDoneEvent = 3,
    kWriteRequestEvent = 4,
    kLineWaitDoneEvent = 5,
    kLineWaitRequestEvent = 6,
};

constexpr DWORD kCloseWaitMs = 2000;
constexpr DWORD kLineEventMask = EV_RING | EV_RLSD;

static_assert(sizeof(OVERLAPPED) <= 4 * sizeof(void*), "OVERLAPPED record does not fit");
static_assert(alignof(OVERLAPPED) <= alignof(void*), "OVERLAPPED record misaligned");
static_assert(sizeof(unsigned long) == sizeof(DWORD), "line event mask is not a DWORD");

OVERLAPPED* AsOverlapped(unsigned char* storage)
{
    return reinterpret_cast<OVERLAPPED*>(storage);
}

// Outcome of fetching a completed operation without waiting.
enum class Completion { Done, Failed, InProgress };

Completion FetchResult(HANDLE device, OVERLAPPED* overlapped, DWORD& count, DWORD& error)
{
    count = 0;
    error = ERROR_SUCCESS;
    if (GetOverlappedResult(device, overlapped, &count, FALSE))
        return Completion::Done;
    error = GetLastError();
    return error == ERROR_IO_INCOMPLETE ? Completion::InProgress : Completion::Failed;
}

// A started operation is fine when it completed at once or is left pending; its event reports it
// either way.
bool IsStarted(BOOL started)
{
    return started || GetLastError() == ERROR_IO_PENDING;
}

}  // namespace

// Reaches the private thread body from the C entry point the runtime's thread start needs.
struct SerialPortThreadEntry {
    static unsigned __stdcall Run(void* port)
    {
        static_cast<SerialPort*>(port)->RunThread();
        return 0;
    }
};

SerialPort::SerialPort()
    : events{},
      device(INVALID_HANDLE_VALUE),
      thread(nullptr),
      threadId(0),
      readOverlapped{},
      writeOverlapped{},
      lineWaitOverlapped{},
      lineEventMask(0),
      lineWaitsSupported(true)
{
    for (uint32_t i = 0; i < kEventCount; ++i) {
        BOOL manualReset = (i == kReadDoneEvent || i == kWriteDoneEvent || i == kLineWaitDoneEvent);
        events[i] = CreateEventW(nullptr, manualReset, FALSE, nullptr);
    }
}

SerialPort::~SerialPort()
{
    // The thread works on this object's fields and events, so it has to be gone before they are:
    // unlike Close, this waits for it without a limit.
    StopThread(true);
    for (void*& event : events) {
        if (event)
            CloseHandle(event);
        event = nullptr;
    }
    if (device != INVALID_HANDLE_VALUE) {
        CloseHandle(device);
        device = INVALID_HANDLE_VALUE;
    }
}

uint32_t SerialPort::Open(const wchar_t* name, uint32_t newBaudRate, uint32_t newParity,
                          uint32_t dataBits, bool lineEvents)
{
    // Reopening: the old thread still uses the device, so it ends before anything is replaced.
    StopThread(true);
    if (device != INVALID_HANDLE_VALUE) {
        CloseHandle(device);
        device = INVALID_HANDLE_VALUE;
    }

    uint32_t result = kSerialOpenOk;
    openError = 0;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!name) {
        result = kSerialOpenNoName;
        openError = ERROR_INVALID_PARAMETER;
    } else {
        size_t length = std::wcslen(name);
        std::memset(readOverlapped, 0, sizeof readOverlapped);
        std::memset(writeOverlapped, 0, sizeof writeOverlapped);
        std::memset(lineWaitOverlapped, 0, sizeof lineWaitOverlapped);
        // A name that does not fit is refused rather than cut short, which would open some other
        // port.
        if (length >= kNameLength) {
            result = kSerialOpenDeviceFailed;
            openError = ERROR_FILENAME_EXCED_RANGE;
        } else {
            std::wmemcpy(portName, name, length + 1);
            baudRate = newBaudRate;
            parity = newParity;
            lineEventsEnabled = lineEvents;

            DCB settings{};
            settings.DCBlength = sizeof settings;
            settings.BaudRate = baudRate;
            settings.ByteSize = static_cast<BYTE>(dataBits);
            settings.StopBits = ONESTOPBIT;
            settings.Parity = parity == 1 ? ODDPARITY : parity == 2 ? EVENPARITY : NOPARITY;
            settings.fParity = parity != 0;
            settings.fBinary = TRUE;
            settings.fOutxCtsFlow = FALSE;
            settings.fOutxDsrFlow = FALSE;
            settings.fDtrControl = DTR_CONTROL_ENABLE;
            settings.fRtsControl = RTS_CONTROL_ENABLE;
            settings.fDsrSensitivity = FALSE;
            settings.fOutX = FALSE;
            settings.fInX = FALSE;
            settings.fErrorChar = FALSE;
            settings.fNull = FALSE;
            settings.fAbortOnError = FALSE;

            // "\\.\" in front reaches every COM device, COM10 and above included.
            wchar_t path[4 + kNameLength];
            std::wmemcpy(path, L"\\\\.\\", 4);
            std::wmemcpy(path + 4, name, length + 1);
            handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);

            // Taken before the attachments below, which may change the thread's last error.
            const DWORD createError = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
            AsOverlapped(readOverlapped)->hEvent = events[kReadDoneEvent];
            AsOverlapped(writeOverlapped)->hEvent = events[kWriteDoneEvent];
            AsOverlapped(lineWaitOverlapped)->hEvent = events[kLineWaitDoneEvent];

            // Each failing step records its own error, so the code and the error agree.
            auto failStep = [&](uint32_t code) {
                result = code;
                openError = static_cast<int>(GetLastError());
            };
            if (handle == INVALID_HANDLE_VALUE) {
                result = kSerialOpenDeviceFailed;
                openError = static_cast<int>(createError);
            } else {
                if (!SetCommMask(handle, lineEvents ? kLineEventMask : 0))
                    failStep(kSerialOpenMaskFailed);
                // Reads of n bytes end after n + 10 ms with whatever has arrived; writes end
                // when the bytes are sent.
                COMMTIMEOUTS timeouts{};
                timeouts.ReadIntervalTimeout = 0;
                timeouts.ReadTotalTimeoutMultiplier = 1;
                timeouts.ReadTotalTimeoutConstant = 10;
                timeouts.WriteTotalTimeoutMultiplier = 0;
                timeouts.WriteTotalTimeoutConstant = 0;
                if (!SetCommTimeouts(handle, &timeouts))
                    failStep(kSerialOpenTimeoutsFailed);
                if (parity > 2) {
                    result = kSerialOpenSettingsFailed;
                    openError = ERROR_INVALID_PARAMETER;
                } else if (!SetCommState(handle, &settings)) {
                    failStep(kSerialOpenSettingsFailed);
                }
            }
        }
    }
    for (void* event : events) {
        if (!event) {
            result = kSerialOpenEventMissing;
            openError = ERROR_INVALID_HANDLE;
        }
    }
    // A step that failed without setting the thread's last error still reads as a failure.
    if (result != kSerialOpenOk && openError == 0)
        openError = ERROR_INVALID_PARAMETER;
    if (result != kSerialOpenOk) {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        return result;
    }

    // Requests left over from before this Open (a Write or Close on a closed port) are dropped, so
    // that the new thread starts clean and a Write right after Open is not lost.
    device = handle;
    for (void* event : events)
        ResetEvent(event);
    writePending.store(false, std::memory_order_relaxed);
    readPending.store(false, std::memory_order_relaxed);
    lineWaitPending.store(false, std::memory_order_relaxed);
    lineWaitsSupported = true;

    unsigned id = 0;
    deviceOpen.store(true, std::memory_order_release);
    uintptr_t started = _beginthreadex(nullptr, 0, SerialPortThreadEntry::Run, this, 0, &id);
    if (started == 0) {
        // Without its thread the port would look open and never do anything.
        openError = GetLastError() != 0 ? static_cast<int>(GetLastError()) : ERROR_NOT_ENOUGH_MEMORY;
        deviceOpen.store(false, std::memory_order_release);
        CloseHandle(device);
        device = INVALID_HANDLE_VALUE;
        return kSerialOpenEventMissing;
    }
    thread = reinterpret_cast<void*>(started);
    threadId = id;
    return kSerialOpenOk;
}

int SerialPort::LastOpenError() const { return openError; }

void SerialPort::Close() { StopThread(false); }

void SerialPort::StopThread(bool waitWithoutLimit)
{
    if (events[kStopEvent])
        SetEvent(events[kStopEvent]);
    if (!thread)
        return;
    // Called from the handler: the thread ends once the handler returns; the owner waits for it
    // later.
    if (GetCurrentThreadId() == threadId)
        return;
    if (WaitForSingleObject(thread, waitWithoutLimit ? INFINITE : kCloseWaitMs) != WAIT_OBJECT_0)
        return;  // still inside the handler; the destructor waits for it
    CloseHandle(thread);
    thread = nullptr;
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
    if (events[kWriteRequestEvent])
        SetEvent(events[kWriteRequestEvent]);
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
    if (events[kReadRequestEvent])
        SetEvent(events[kReadRequestEvent]);
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
    OVERLAPPED* readRecord = AsOverlapped(readOverlapped);
    OVERLAPPED* writeRecord = AsOverlapped(writeOverlapped);
    OVERLAPPED* lineWaitRecord = AsOverlapped(lineWaitOverlapped);

    NotifyUser(SerialEvent::Started);
    if (lineEventsEnabled)
        SetEvent(events[kLineWaitRequestEvent]);

    // A read that ended. Some drivers (Wine on a pseudo-terminal) fail a read that timed out with
    // nothing where Windows completes it with 0 bytes; that is an empty read like any other, or
    // the user, who asks for the next read only after DataReceived, would never read again.
    auto completeRead = [this](bool ok, DWORD count) {
        readPending.store(false, std::memory_order_relaxed);
        receivedCount.store(ok ? count : 0, std::memory_order_relaxed);
        if (ok || count != 0)
            NotifyUser(SerialEvent::DataReceived);
    };
    // Drivers that cannot watch the modem lines at all (Wine on a pseudo-terminal says
    // ERROR_NOT_SUPPORTED) leave the data path as it is: the port just reports no line events.
    auto stopLineWaits = [this]() {
        lineWaitsSupported = false;
        lineWaitPending.store(false, std::memory_order_relaxed);
    };

    // A write handed to the system and not yet reported done. Port thread only.
    bool writeStarted = false;
    bool running = true;
    while (running) {
        DWORD signalled = WaitForMultipleObjects(kEventCount, events, FALSE, INFINITE);
        if (signalled >= WAIT_OBJECT_0 + kEventCount)
            break;
        DWORD count = 0;
        DWORD error = ERROR_SUCCESS;
        switch (signalled - WAIT_OBJECT_0) {
        case kStopEvent:
            running = false;
            break;

        case kReadRequestEvent:
            if (!readPending.load(std::memory_order_relaxed)) {
                readPending.store(true, std::memory_order_relaxed);
                DWORD size = readSize.load(std::memory_order_relaxed);
                if (!IsStarted(ReadFile(device, receiveBuffer, size, nullptr, readRecord))) {
                    if (GetLastError() == ERROR_TIMEOUT) {
                        ResetEvent(events[kReadDoneEvent]);
                        completeRead(true, 0);
                    } else {
                        readPending.store(false, std::memory_order_relaxed);  // never started
                        running = false;
                    }
                }
            }
            break;

        case kReadDoneEvent: {
            if (!readPending.load(std::memory_order_relaxed)) {
                ResetEvent(events[kReadDoneEvent]);  // nothing of ours is outstanding
                break;
            }
            Completion result = FetchResult(device, readRecord, count, error);
            ResetEvent(events[kReadDoneEvent]);
            if (result == Completion::InProgress) {
                // Signalled too early; the completion sets the event again, unless it already
                // happened between the two calls above.
                if (HasOverlappedIoCompleted(readRecord))
                    SetEvent(events[kReadDoneEvent]);
                break;
            }
            completeRead(result == Completion::Done || error == ERROR_TIMEOUT, count);
            break;
        }

        case kWriteRequestEvent: {
            DWORD length = transmitLength.load(std::memory_order_acquire);
            writeStarted = IsStarted(WriteFile(device, transmitBuffer, length, nullptr, writeRecord));
            if (!writeStarted)
                running = false;
            break;
        }

        case kWriteDoneEvent: {
            Completion result = FetchResult(device, writeRecord, count, error);
            if (result != Completion::InProgress)
                writeStarted = false;
            if (result == Completion::Done) {
                ResetEvent(events[kWriteDoneEvent]);
                writePending.store(false, std::memory_order_release);
                NotifyUser(SerialEvent::WriteDone);
            } else if (result == Completion::Failed) {
                running = false;
            } else {
                ResetEvent(events[kWriteDoneEvent]);
                if (HasOverlappedIoCompleted(writeRecord))
                    SetEvent(events[kWriteDoneEvent]);
            }
            break;
        }

        case kLineWaitRequestEvent:
            if (!lineWaitPending.load(std::memory_order_relaxed) && lineEventsEnabled &&
                lineWaitsSupported) {
                lineWaitPending.store(true, std::memory_order_relaxed);
                if (!IsStarted(WaitCommEvent(device, &lineEventMask, lineWaitRecord))) {
                    if (GetLastError() == ERROR_NOT_SUPPORTED) {
                        stopLineWaits();
                    } else {
                        lineWaitPending.store(false, std::memory_order_relaxed);  // never started
                        running = false;
                    }
                }
            }
            break;

        case kLineWaitDoneEvent: {
            if (!lineWaitPending.load(std::memory_order_relaxed)) {
                ResetEvent(events[kLineWaitDoneEvent]);
                break;
            }
            Completion result = FetchResult(device, lineWaitRecord, count, error);
            if (result == Completion::InProgress) {
                ResetEvent(events[kLineWaitDoneEvent]);
                if (HasOverlappedIoCompleted(lineWaitRecord))
                    SetEvent(events[kLineWaitDoneEvent]);
                break;
            }
            if (result == Completion::Failed) {
                if (error == ERROR_NOT_SUPPORTED) {
                    ResetEvent(events[kLineWaitDoneEvent]);
                    stopLineWaits();
                } else {
                    lineWaitPending.store(false, std::memory_order_relaxed);  // it has ended
                    running = false;
                }
                break;
            }
            ResetEvent(events[kLineWaitDoneEvent]);
            lineWaitPending.store(false, std::memory_order_relaxed);
            DWORD modemStatus = 0;
            if (!GetCommModemStatus(device, &modemStatus)) {
                stopLineWaits();  // the line state cannot be read, so there is nothing to report
                break;
            }
            if ((lineEventMask & EV_RING) && (modemStatus & MS_RING_ON))
                NotifyUser(SerialEvent::Ring);
            if (lineEventMask & EV_RLSD)
                NotifyUser((modemStatus & MS_RLSD_ON) ? SerialEvent::CarrierOn
                                                      : SerialEvent::CarrierOff);
            SetEvent(events[kLineWaitRequestEvent]);
            break;
        }

        default:
            running = false;
            break;
        }
    }

    // The system writes an operation's result into this object (its OVERLAPPED record, the line
    // event mask, the receive buffer) when the operation ends, a cancelled one too, and the owner
    // may free the object once this thread is gone. Under Wine a pending line-event wait is served
    // by a thread of its own that CancelIo does not reach: it looks at the device every 10 ms and
    // ends when the event mask changes. So every operation is ended and waited for here, however
    // long the system takes; each one's event is set as its completion's last act. The device
    // stays open meanwhile, as the ending operations still use it.
    deviceOpen.store(false, std::memory_order_release);
    SetCommMask(device, 0);
    CancelIo(device);
    if (readPending.load(std::memory_order_relaxed))
        WaitForSingleObject(events[kReadDoneEvent], INFINITE);
    if (writeStarted)
        WaitForSingleObject(events[kWriteDoneEvent], INFINITE);
    if (lineWaitPending.load(std::memory_order_relaxed))
        WaitForSingleObject(events[kLineWaitDoneEvent], INFINITE);
    CloseHandle(device);
    device = INVALID_HANDLE_VALUE;
    NotifyUser(SerialEvent::Stopped);
}
