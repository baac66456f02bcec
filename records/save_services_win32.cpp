// Windows platform services of the save machinery: the shell's documents folder, folder creation
// and file opening through the wide API (a user folder with any characters in its name works),
// and local time.
#include <windows.h>
#include <shlobj.h>
#include <share.h>

#include <cstdio>
#include <cwchar>
#include <ctime>

#include "records/save_files.h"

bool GetDocumentsFolder(wchar_t* buffer, size_t bufferUnits)
{
    if (bufferUnits == 0) return false;
    buffer[0] = 0;
    wchar_t folder[MAX_PATH];
    folder[0] = 0;
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, folder))) return false;
    folder[MAX_PATH - 1] = 0;
    const size_t length = std::wcslen(folder);
    if (length == 0 || length + 1 > bufferUnits) return false;
    std::wmemcpy(buffer, folder, length + 1);
    return true;
}

bool CreateFolder(const wchar_t* path)
{
    return CreateDirectoryW(path, nullptr) != 0;
}

std::FILE* OpenFileForWriting(const wchar_t* path)
{
    if (path == nullptr || path[0] == 0) return nullptr;
    // Binary: the writers put CR LF themselves, so both builds write the same bytes.
    return _wfsopen(path, L"wb", _SH_DENYNO);
}

bool ConvertToLocalTime(int64_t time, std::tm& local)
{
    const __time64_t converted = time;
    return _localtime64_s(&local, &converted) == 0;
}
