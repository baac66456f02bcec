// The console tool's platform services, with one contract for both twins:
// console_platform_posix.cpp (a terminal, signals, device paths) and console_platform_win32.cpp
// (a console window, Ctrl+C, COM port names). The tool's own code stays portable.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

// The separators of folders in file names the user gives: "/", and also "\" on Windows. The
// first is the one the program puts between a folder and a name.
extern const char kPathSeparators[];

// The help's line on DEVICE, and what DEVICE is with an example, for the usage error: a serial
// device such as /dev/ttyACM0 on Linux, a COM port such as COM3 on Windows.
extern const char kDeviceHelpLine[];
extern const char kDeviceExample[];

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

// ---- Output files ----------------------------------------------------------------------------
// The folder the console was started in, as a full path.
std::string GetCurrentFolder();
// Whether a file name the user gave names its folder from the root ("/..." on POSIX; "C:\...",
// "\\server\..." or "\..." on Windows) rather than from the current folder.
bool IsFullPath(const std::string& name);
// Whether path can be written: "" when it can, else why not (a folder, a folder that is missing
// or may not be written, a file that may not be written), in the system's words. exists tells
// whether a file is there already; it is a problem itself unless replacing is allowed.
std::string CheckOutputPath(const std::string& path, bool replaceAllowed, bool& exists);
// Opens path (UTF-8) for writing, in binary. Exclusive: fails with errno EEXIST when a file is
// there already, so that a file that appeared since the check is not replaced. Null with errno
// set on failure.
std::FILE* OpenOutputFile(const std::string& path, bool exclusive);

// ---- Devices ---------------------------------------------------------------------------------
// Why a device cannot be used, from the error of the failed open or access check (errno on POSIX,
// the system's error code on Windows; 0: it opens but nothing answers, the worker's "Device not
// found!"). On POSIX, EACCES/EPERM names the owner and group the device belongs to; only a
// device of the group "dialout" is answered with joining that group, the others with the udev
// rule. A busy port is one another program holds.
std::string DescribeDeviceOpenFailure(const std::string& path, int error);
// Checks that the device exists and, where the system says so beforehand, may be opened for
// reading and writing; 0 or an error as above.
int CheckDeviceAccess(const std::string& path);

#ifndef _WIN32
// Who may open a device: its owner's and group's names and its permission bits.
struct DeviceOwnership {
    bool known = false;
    std::string user;
    std::string group;
    unsigned mode = 0;  // st_mode's permission bits
};
DeviceOwnership GetDeviceOwnership(const std::string& path);
// The message above for a device whose ownership is known.
std::string DescribeDeviceOpenFailure(const std::string& path, int error, const DeviceOwnership& owner);
#endif
