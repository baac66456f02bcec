// Windows side of ombrelo-plot: UTF-8 paths become UTF-16 for _wfopen, so a log in a folder with
// any name opens; and a console window that Explorer opened for a dropped file stays up until
// the user has read the error.
#include "plot/plot_files.h"

#include <windows.h>

#include <cstdio>
#include <string>

std::FILE* OpenPlotFile(const std::string& path, const char* mode)
{
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                          static_cast<int>(path.size()), nullptr, 0);
    if (units <= 0) return nullptr;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                        wide.data(), units);
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(wide.c_str(), wideMode.c_str());
}

void HoldConsoleAfterError()
{
    // Only this process on the console: it was made for us and closes when we end. A console
    // shared with a command prompt, or redirected input, needs no waiting.
    DWORD processes[2];
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (GetConsoleProcessList(processes, 2) != 1 || input == INVALID_HANDLE_VALUE ||
        GetFileType(input) != FILE_TYPE_CHAR) {
        return;
    }
    std::fputs("Press Enter to close this window.\n", stderr);
    std::getchar();
}
