// What Save Log and Save Report share: the output folder in the user's documents folder, the
// remembered file name, the path buffer, the save-file prompt, and the small platform services
// behind them (documents folder, folder creation, opening a file by a wide path, local time).
// The platform services live in save_services_win32.cpp / save_services_posix.cpp; the prompt in
// ui/save_dialog_win32.cpp (a modal dialog) / save_dialog_posix.cpp (a name given beforehand).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

// WindowHandle: the owner window, as a portable handle (an HWND on Windows).
#include "measurement/window_ops.h"

#ifdef _WIN32
constexpr wchar_t kPathSeparator = L'\\';
#else
constexpr wchar_t kPathSeparator = L'/';
#endif

constexpr size_t kSaveFileNameUnits = 100;
constexpr size_t kSavePathUnits = 400;
// The dialog's limit on the full path, terminator included.
constexpr size_t kSaveDialogPathLimit = 260;
// The dialog's file-title buffer: the units of g_saveFileName behind the separator.
constexpr size_t kSaveFileTitleUnits = kSaveFileNameUnits - 1;

// The separator and the name last confirmed in a save prompt, initially the separator followed by
// "OmbreloLog.txt". A chosen name longer than the 98 characters that fit behind the separator is
// still saved to but is not remembered: the previous name stays. UI thread only.
extern wchar_t g_saveFileName[kSaveFileNameUnits];
// Full path of the file to write: the default path before the prompt, the chosen one after it.
// UI thread only.
extern wchar_t g_savePath[kSavePathUnits];

// "TXT Files (*.TXT)" matching "*.txt", as a double-terminated filter list.
extern const wchar_t kSaveFilter[];
extern const wchar_t kSaveDefaultExtension[];
extern const wchar_t kSaveDialogTitle[];

// Writes the documents folder + "Zentarix" + "Ombrelo" into buffer, creating the two levels when
// missing (creation errors are ignored). Returns false, leaving buffer empty, when the documents
// folder is unknown or the whole does not fit in bufferUnits: no folders are then created at the
// root of a drive, and the default path becomes the bare file name.
bool GetOutputFolder(wchar_t* buffer, size_t bufferUnits);
template <size_t N>
bool GetOutputFolder(wchar_t (&buffer)[N])
{
    return GetOutputFolder(buffer, N);
}

// The system's modal save prompt owned by owner. path comes in holding the default path
// (at most kSaveDialogPathLimit units are used) and goes out holding the chosen path; fileTitle
// (kSaveFileTitleUnits units) receives the chosen name without folder. Nonzero when a name was
// confirmed, zero on cancel or error.
int PromptSaveFileName(WindowHandle owner, wchar_t* path, wchar_t* fileTitle, const wchar_t* filter,
                       const wchar_t* defaultExtension, const wchar_t* title);

// Where there is no dialog (the POSIX program, and the tests of either build), the answer is
// given beforehand: a bare name (saved in the folder of the default path, where the dialog would
// open) or a path. The next PromptSaveFileName takes it, once; with none given it answers as a
// cancel. Returns false for an empty or over-long name. Called on the thread that saves.
// Defined by save_dialog_posix.cpp, the twin of the Windows dialog.
bool SetNextSaveFileName(const wchar_t* nameOrPath);

// Steps shared by both save commands: the default path from the output folder and the remembered
// name, the prompt, and keeping the chosen name for next time when it fits. Nonzero when
// g_savePath holds a confirmed path.
int ChooseSaveFile(WindowHandle owner);

// After a confirmed prompt: keeps the name in g_saveFileName when it is exactly the last
// component of path (it fitted in the file-title buffer), else puts previousName back.
void KeepChosenFileName(const wchar_t* path, wchar_t* saveFileName, const wchar_t* previousName);

// The last component of a path: behind the last separator ('/' everywhere, '\' on Windows too).
const wchar_t* FindFileNamePart(const wchar_t* path);

// Bounded append; false (buffer unchanged) when text does not fit with the terminator.
bool AppendText(wchar_t* buffer, size_t bufferUnits, const wchar_t* text);

// The path separators: '/' everywhere, and '\' on Windows too.
bool IsPathSeparator(wchar_t unit);

// Platform services. Documents folder of the user, false (buffer empty) when unknown or too long.
bool GetDocumentsFolder(wchar_t* buffer, size_t bufferUnits);
// Creates one folder level; false when it was not created (it may exist already).
bool CreateFolder(const wchar_t* path);
// Creates or truncates the file for writing in binary mode, shared for reading and writing with
// other programs; null when it cannot be opened. The path may hold any characters.
std::FILE* OpenFileForWriting(const wchar_t* path);
// Local time of a time stamp; false when the conversion rejects it.
bool ConvertToLocalTime(int64_t time, std::tm& local);

// Each UTF-16 unit or wchar_t as one byte. The texts written are ASCII; anything else becomes '?'
// rather than a byte of another character.
inline char ToFileByte(uint32_t unit) { return unit < 0x80 ? static_cast<char>(unit) : '?'; }
