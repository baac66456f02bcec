// Windows platform services of the console tool: UTF-8 arguments and output, escape sequences on
// the console, Ctrl+C, keys from the console or bytes from a pipe without waiting (a reader
// thread), output files by UTF-8 names, and COM port names with the system's reasons.
#include "tools/console_platform.h"

#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

const char kPathSeparators[] = "\\/";
const char kDeviceHelpLine[] =
    "DEVICE is the tester's COM port, e.g. COM3 (the Device Manager lists it under \"Ports (COM & LPT)\").\n";
const char kDeviceExample[] = "the tester's COM port, e.g. COM3";

namespace {

// Set once by PrepareConsoleProcess, on the main thread, before any other thread starts.
bool g_outputEscapes = false;
UINT g_savedOutputCodePage = 0;
// The console input's mode before key mode. Main thread only.
DWORD g_savedInputMode = 0;
void (*g_onStop)(int) = nullptr;

std::string EncodeWide(const wchar_t* text)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? static_cast<size_t>(bytes - 1) : 0, '\0');
    if (bytes > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    return out;
}

std::wstring DecodeToWide(const std::string& text)
{
    int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(units > 0 ? static_cast<size_t>(units) : 0, L'\0');
    if (units > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), units);
    return out;
}

// The system's text for an error code, without its line end.
std::string DescribeSystemError(DWORD error)
{
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string reason = length && text ? EncodeWide(text) : "error " + std::to_string(error);
    if (text)
        LocalFree(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '))
        reason.pop_back();
    return reason;
}

void RestoreOutputCodePage() { SetConsoleOutputCP(g_savedOutputCodePage); }

// Runs on a thread the system starts for the event.
BOOL WINAPI OnConsoleControl(DWORD event)
{
    if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && g_onStop) {
        g_onStop(SIGINT);
        return TRUE;
    }
    return FALSE;
}

bool IsConsole(HANDLE handle)
{
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode) != 0;
}

HANDLE GetInput() { return GetStdHandle(STD_INPUT_HANDLE); }

std::once_flag g_inputReaderStarted;
std::mutex g_inputMutex;
// Written by the input reader thread, taken by the main thread; both under g_inputMutex.
std::string g_inputBytes;
bool g_inputEnded = false;

// The input reader thread: every byte of stdin into g_inputBytes until the input ends.
void ReadInputUntilEnd()
{
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(GetInput(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
        std::lock_guard<std::mutex> lock(g_inputMutex);
        g_inputBytes.append(buffer, got);
    }
    std::lock_guard<std::mutex> lock(g_inputMutex);
    g_inputEnded = true;
}

}  // namespace

void PrepareConsoleProcess(int& argc, char**& argv)
{
    // The C run-time's argv is in the ANSI code page, which cannot hold every file name.
    static std::vector<std::string> arguments;
    static std::vector<char*> pointers;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide) {
        for (int i = 0; i < count; ++i)
            arguments.push_back(EncodeWide(wide[i]));
        LocalFree(wide);
        for (std::string& argument : arguments)
            pointers.push_back(argument.data());
        pointers.push_back(nullptr);
        argc = count;
        argv = pointers.data();
    }

    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode)) {
        g_savedOutputCodePage = GetConsoleOutputCP();
        if (SetConsoleOutputCP(CP_UTF8))
            std::atexit(RestoreOutputCodePage);
        // Consoles before Windows 10 show escape sequences as text: those get plain output.
        g_outputEscapes = (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
                          SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    }
}

bool IsTerminalOutput() { return g_outputEscapes; }

bool IsTerminalInput() { return IsConsole(GetInput()); }

void CatchStopSignals(void (*onStop)(int))
{
    g_onStop = onStop;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

// Key mode: keys arrive one at a time as they are pressed, unechoed; Ctrl+C stays a signal
// (processed input). The console's line mode, which a question needs, is the saved mode.
bool EnterKeyMode()
{
    HANDLE input = GetInput();
    if (!IsConsole(input) || !GetConsoleMode(input, &g_savedInputMode))
        return false;
    return SetConsoleMode(input, g_savedInputMode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) != 0;
}

void LeaveKeyMode() { SetConsoleMode(GetInput(), g_savedInputMode); }

int ReadAvailableInput(char* buffer, int size)
{
    HANDLE input = GetInput();
    if (IsConsole(input)) {
        // The console's own input events rather than _kbhit, and the handle waited on first:
        // Wine's console takes in a terminal's keys only for a reader that waits.
        if (WaitForSingleObject(input, 0) != WAIT_OBJECT_0)
            return 0;
        int n = 0;
        DWORD pending = 0;
        while (n < size && GetNumberOfConsoleInputEvents(input, &pending) && pending > 0) {
            INPUT_RECORD record;
            DWORD got = 0;
            if (!ReadConsoleInputW(input, &record, 1, &got) || got == 0)
                break;
            if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown)
                continue;
            // Arrow and function keys carry no character, and every command is a plain letter.
            wchar_t key = record.Event.KeyEvent.uChar.UnicodeChar;
            if (key > 0 && key < 0x80)
                buffer[n++] = static_cast<char>(key);
        }
        return n;
    }
    // A pipe or a file: a thread of its own waits in the reads, because a pipe cannot be asked
    // how much it holds everywhere (Wine's pipes from the shell refuse PeekNamedPipe).
    std::call_once(g_inputReaderStarted, [] { std::thread(ReadInputUntilEnd).detach(); });
    std::lock_guard<std::mutex> lock(g_inputMutex);
    if (g_inputBytes.empty())
        return g_inputEnded ? -1 : 0;
    int n = static_cast<int>(g_inputBytes.size()) < size ? static_cast<int>(g_inputBytes.size()) : size;
    g_inputBytes.copy(buffer, static_cast<size_t>(n));
    g_inputBytes.erase(0, static_cast<size_t>(n));
    return n;
}

bool ReadInputLine(std::string& line)
{
    line.clear();
    HANDLE input = GetInput();
    bool any = false;
    if (IsConsole(input)) {
        // The console's line mode edits and echoes the line and hands it over with Enter; read
        // as UTF-16, since its bytes would be in the console's code page, not UTF-8.
        std::wstring wide;
        wchar_t c = 0;
        DWORD got = 0;
        while (ReadConsoleW(input, &c, 1, &got, nullptr) && got == 1) {
            any = true;
            if (c == L'\n')
                break;
            if (c != L'\r')
                wide += c;
        }
        line = EncodeWide(wide.c_str());
        return any;
    }
    char c = 0;
    DWORD got = 0;
    while (ReadFile(input, &c, 1, &got, nullptr) && got == 1) {
        any = true;
        if (c == '\n')
            break;
        if (c != '\r')
            line += c;
    }
    return any;
}

bool ConvertToUtc(std::time_t t, std::tm& utc) { return gmtime_s(&utc, &t) == 0; }

std::string GetCurrentFolder()
{
    DWORD units = GetCurrentDirectoryW(0, nullptr);
    std::wstring folder(units, L'\0');
    if (units == 0 || GetCurrentDirectoryW(units, folder.data()) == 0)
        return ".";
    folder.resize(units - 1);
    return EncodeWide(folder.c_str());
}

bool IsFullPath(const std::string& name)
{
    if (name.empty())
        return false;
    // "\\server\share\...", "\..." (the current drive's root), and "C:\..." or "C:...", which a
    // folder of the current one cannot hold as a name.
    return name[0] == '\\' || name[0] == '/' ||
           (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':');
}

std::string CheckOutputPath(const std::string& path, bool replaceAllowed, bool& exists)
{
    exists = false;
    if (path.empty() || path.back() == '\\' || path.back() == '/')
        return "no file name";
    DWORD attributes = GetFileAttributesW(DecodeToWide(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            return path + " is a folder";
        exists = true;
        if (!replaceAllowed)
            return path + " exists";
        if (attributes & FILE_ATTRIBUTE_READONLY)
            return path + ": " + DescribeSystemError(ERROR_ACCESS_DENIED);
        return "";
    }
    size_t slash = path.find_last_of(kPathSeparators);
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0 || (slash == 2 && path[1] == ':') ? path.substr(0, slash + 1)
                                                                        : path.substr(0, slash);
    DWORD folderAttributes = GetFileAttributesW(DecodeToWide(folder).c_str());
    if (folderAttributes == INVALID_FILE_ATTRIBUTES || !(folderAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return "the folder " + folder + " does not exist";
    // A folder's attributes do not say whether this user may create files in it (Program Files
    // may not be written, and its read-only flag means nothing): a file of our own that vanishes
    // when closed tells.
    std::wstring probe = DecodeToWide(folder);
    if (probe.back() != L'\\' && probe.back() != L'/')
        probe += L'\\';
    probe += L"ombrelo-write-check-" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    HANDLE handle = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS)
            return "cannot write to the folder " + folder + ": " + DescribeSystemError(error);
        return "";
    }
    CloseHandle(handle);
    return "";
}

std::FILE* OpenOutputFile(const std::string& path, bool exclusive)
{
    int flags = _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | (exclusive ? _O_EXCL : 0);
    int fd = _wopen(DecodeToWide(path).c_str(), flags, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    std::FILE* file = _fdopen(fd, "wb");
    if (!file) {
        int error = errno;
        _close(fd);
        errno = error;
    }
    return file;
}

std::string DescribeDeviceOpenFailure(const std::string& path, int error)
{
    switch (error) {
    case 0:
        return "no tester answers on " + path + " (Device not found!)";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "cannot open " + path + ": no such port (is the tester plugged in? The Device Manager lists "
               "the COM ports under \"Ports (COM & LPT)\")";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return "cannot open " + path + ": the port is busy (another program has it open)";
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return "cannot open " + path + ": not a COM port name (COM1, COM2, ...)";
    default:
        break;
    }
    return "cannot open " + path + ": " + DescribeSystemError(static_cast<DWORD>(error));
}

int CheckDeviceAccess(const std::string& path)
{
    if (path.empty())
        return ERROR_FILE_NOT_FOUND;
    // Windows says whether a port exists and is free only to an open: one open and close, as
    // the connection's own open will make them, with nothing sent.
    std::wstring device = L"\\\\.\\" + DecodeToWide(path);
    HANDLE handle = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return static_cast<int>(GetLastError());
    CloseHandle(handle);
    return 0;
}
