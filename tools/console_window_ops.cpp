// The console tool's window seam: keeps the button texts and states and timer 2 for the
// console's loop, and prints the worker's messages as lines of their own.
#include "tools/console_window_ops.h"

#include <cstdio>
#include <cwchar>
#include <map>
#include <mutex>

#include "device/utf8_text.h"
#include "measurement/connection_worker.h"
#include "measurement/window_ops.h"

namespace {

constexpr size_t kKeptMessages = 5;

std::mutex g_consoleMutex;
// All guarded by g_consoleMutex.
std::string g_portName;
std::map<int, std::string> g_controlTexts;
std::map<int, bool> g_controlEnabled;
uint32_t g_logTimerPeriod = 0;
std::vector<std::string> g_messages;
int g_messageCount = 0;

std::mutex g_outputMutex;
// Guarded by g_outputMutex.
std::FILE* g_textStream = nullptr;

// One line: the title, then the text with its line breaks turned into " - ".
std::string FormatMessageLine(const wchar_t* text, const wchar_t* title)
{
    std::string body = NarrowText(text);
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
        body.pop_back();
    std::string line;
    for (char c : body)
        line += (c == '\n') ? std::string(" - ") : std::string(1, c);
    return NarrowText(title) + ": " + line;
}

}  // namespace

std::string NarrowText(const wchar_t* text)
{
    std::string out;
    for (; text && *text; ++text)
        out.push_back(*text >= 0 && *text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

void WriteConsoleText(const std::string& text)
{
    std::lock_guard<std::mutex> lock(g_outputMutex);
    std::FILE* stream = g_textStream ? g_textStream : stdout;
    fputs(text.c_str(), stream);
    fflush(stream);
}

void RouteConsoleTextToStderr()
{
    std::lock_guard<std::mutex> lock(g_outputMutex);
    g_textStream = stderr;
}

void WriteConsoleJsonLine(const std::string& line)
{
    std::lock_guard<std::mutex> lock(g_outputMutex);
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

void SetConsolePortName(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    g_portName = path;
}

std::string GetConsoleControlText(int controlId)
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    auto it = g_controlTexts.find(controlId);
    return it == g_controlTexts.end() ? std::string() : it->second;
}

bool IsConsoleControlEnabled(int controlId)
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    auto it = g_controlEnabled.find(controlId);
    return it == g_controlEnabled.end() || it->second;
}

uint32_t GetConsoleLogTimerPeriod()
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    return g_logTimerPeriod;
}

std::vector<std::string> GetConsoleMessages()
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    return g_messages;
}

int CountConsoleMessages()
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    return g_messageCount;
}

void GetControlText(WindowHandle, int controlId, wchar_t* buffer, int bufferSize)
{
    if (bufferSize <= 0)
        return;
    std::string text;
    {
        std::lock_guard<std::mutex> lock(g_consoleMutex);
        text = controlId == kPortListId ? g_portName : g_controlTexts[controlId];
    }
    // The port is a device path given as UTF-8; the other texts are ASCII.
    std::wstring wide;
    DecodeUtf8(text.c_str(), wide);
    size_t n = wide.size() < static_cast<size_t>(bufferSize - 1) ? wide.size() : static_cast<size_t>(bufferSize - 1);
    wide.copy(buffer, n);
    buffer[n] = L'\0';
}

void SetControlText(WindowHandle, int controlId, const wchar_t* text)
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    g_controlTexts[controlId] = NarrowText(text);
}

void EnableControl(WindowHandle, int controlId, bool enable)
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    g_controlEnabled[controlId] = enable;
}

// Not modal here: the message is kept for the loop's next screen and printed at once, except the
// three that end the connection: the loop says those once, with the exit code that tells them.
void ShowErrorMessage(WindowHandle, const wchar_t* text, const wchar_t* title)
{
    std::string line = FormatMessageLine(text, title);
    {
        std::lock_guard<std::mutex> lock(g_consoleMutex);
        g_messages.push_back(line);
        if (g_messages.size() > kKeptMessages)
            g_messages.erase(g_messages.begin());
        ++g_messageCount;
    }
    const wchar_t* const ending[] = {kDeviceNotFoundText, kFirmwareUpdateText, kConnectionLostText};
    for (const wchar_t* end : ending)
        if (std::wcscmp(text, end) == 0)
            return;
    WriteConsoleText("\n! " + line + "\n");
}

void StartLogTimer(WindowHandle, uint32_t periodMs)
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    g_logTimerPeriod = periodMs;
}

void StopLogTimer(WindowHandle)
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    g_logTimerPeriod = 0;
}
