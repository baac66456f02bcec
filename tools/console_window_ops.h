// The console tool's side of the worker's window seam: the "window" is a small table of control
// texts and states and timer 2, which the console's own loop reads, and messages become lines on
// the terminal. Everything here may be called from the worker thread and the console's loop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The port the worker will open (the console's stand-in for the port list).
void SetConsolePortName(const std::string& path);

std::string GetConsoleControlText(int controlId);
// Controls start enabled, as in the main window's template.
bool IsConsoleControlEnabled(int controlId);
// Timer 2: period in ms, 0 while stopped.
uint32_t GetConsoleLogTimerPeriod();

// Messages the worker has shown, oldest first (the last few are kept), and how many in all.
std::vector<std::string> GetConsoleMessages();
int CountConsoleMessages();

// Writes text to stdout as one piece, so lines of the loop and of the worker do not interleave.
// Once routed to stderr, it goes there instead: stdout then carries only the JSON lines.
void WriteConsoleText(const std::string& text);
void RouteConsoleTextToStderr();
// One JSON line (the line end is added) to stdout, never interleaved with other text.
void WriteConsoleJsonLine(const std::string& line);
// Narrow form of a program text (ASCII; anything else becomes '?').
std::string NarrowText(const wchar_t* text);
