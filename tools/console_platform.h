// The console tool's platform services, with one contract for both twins:
// console_platform_posix.cpp (a terminal, signals, device paths) and console_platform_win32.cpp
// (a console window, Ctrl+C, COM port names). The tool's own code stays portable.
#pragma once

#include <ctime>
#include <string>

// The separators of folders in file names the user gives: "/", and also "\" on Windows.
extern const char kPathSeparators[];

// Called first by main. On Windows: the arguments as UTF-8 (from the wide command line), UTF-8
// and escape sequences on the console. Nothing to do on POSIX.
void PrepareConsoleProcess(int& argc, char**& argv);

// Whether stdout shows escape sequences on a terminal, and whether stdin is one (keys one at a
// time rather than lines from a pipe).
bool IsTerminalOutput();
bool IsTerminalInput();

// Ctrl+C (and SIGTERM on POSIX) calls onStop with the signal's number instead of ending the
// process, so that the tool stops its connection and closes the port first.
void CatchStopSignals(void (*onStop)(int));

// Keys are read one at a time and not echoed while key mode is on. True when the mode changed
// (stdin is a terminal and its mode could be set), which LeaveKeyMode then undoes.
bool EnterKeyMode();
void LeaveKeyMode();

// The bytes stdin holds now, without waiting: their count, 0 when none has arrived, -1 when the
// input has ended.
int ReadAvailableInput(char* buffer, int size);
// A line from stdin without its end, waiting for it; false when the input ended before any byte.
bool ReadInputLine(std::string& line);

// The calendar time in UTC, safely from any thread; false when t cannot be converted.
bool ConvertToUtc(std::time_t t, std::tm& utc);

// Whether files can be created in the folder: 0, or an errno value.
int CheckFolderWritable(const std::string& folder);

// Why a device cannot be used, from the error of the failed open or access check (errno on POSIX,
// the system's error code on Windows; 0: it opens but nothing answers, the worker's "Device not
// found!"). On POSIX, EACCES/EPERM names the dialout group and the udev rule that grants it.
std::string DescribeDeviceOpenFailure(const std::string& path, int error);
// Checks that the device exists and, where the system says so beforehand, may be opened for
// reading and writing; 0 or an error as above.
int CheckDeviceAccess(const std::string& path);
