// Windows platform services of the console tool: UTF-8 arguments and output, escape sequences on
// the console, Ctrl+C, keys from the console or bytes from a pipe without waiting (a reader
// thread), and COM port names with the system's reasons.
#include "tools/console_platform.h"

#include <windows.h>
#include <shellapi.h>

#include <conio.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

const char kPathSeparators[] = "/\\";

namespace {

// Set once by PrepareConsoleProcess, on the main thread, before any other thread starts.
bool g_outputEscapes = false;
UINT g_savedOutputCodePage = 0;
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

// _getch reads single keys without echo whatever the console's mode: nothing to switch.
bool EnterKeyMode() { return false; }

void LeaveKeyMode() {}

int ReadAvailableInput(char* buffer, int size)
{
    HANDLE input = GetInput();
    if (IsConsole(input)) {
        int n = 0;
        while (n < size && _kbhit()) {
            int key = _getch();
            // Arrow and function keys come as two codes; neither is a command.
            if (key == 0 || key == 0xE0) {
                _getch();
                continue;
            }
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
    char c = 0;
    DWORD got = 0;
    bool any = false;
    // The console's line mode edits and echoes the line and hands it over with Enter.
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

int CheckFolderWritable(const std::string& folder)
{
    DWORD attributes = GetFileAttributesW(DecodeToWide(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return ENOENT;
    // A folder's read-only attribute does not stop files being created in it; only the attempt
    // can tell, which the save itself makes.
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ENOTDIR;
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
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0,
                                  nullptr);
    std::string reason = length && text ? EncodeWide(text) : "error " + std::to_string(error);
    if (text)
        LocalFree(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '))
        reason.pop_back();
    return "cannot open " + path + ": " + reason;
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
