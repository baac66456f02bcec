// POSIX platform services of the save machinery: the documents folder under $HOME, folder
// creation and file opening by UTF-8 path, and local time. Paths are converted without the C
// locale, so a name with any characters lands where it says whatever the user's locale.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "device/utf8_text.h"
#include "records/save_files.h"

namespace {

std::string FindHomeFolder()
{
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != 0) return home;
    struct passwd entry;
    struct passwd* found = nullptr;
    char storage[4096];
    if (getpwuid_r(getuid(), &entry, storage, sizeof storage, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return {};
}

}  // namespace

bool GetDocumentsFolder(wchar_t* buffer, size_t bufferUnits)
{
    if (bufferUnits == 0) return false;
    buffer[0] = 0;
    const std::string home = FindHomeFolder();
    if (home.empty()) return false;
    std::wstring folder;
    DecodeUtf8(home.c_str(), folder);
    while (folder.size() > 1 && folder.back() == L'/') folder.pop_back();
    if (folder != L"/") folder += L'/';
    folder += L"Documents";
    if (folder.size() + 1 > bufferUnits) return false;
    // A fresh account may have no Documents folder yet; the shell's folder always exists.
    mkdir(EncodeUtf8(folder.c_str()).c_str(), 0777);
    std::wmemcpy(buffer, folder.c_str(), folder.size() + 1);
    return true;
}

bool CreateFolder(const wchar_t* path)
{
    return mkdir(EncodeUtf8(path).c_str(), 0777) == 0;
}

std::FILE* OpenFileForWriting(const wchar_t* path)
{
    if (path == nullptr || path[0] == 0) return nullptr;
    return std::fopen(EncodeUtf8(path).c_str(), "wb");
}

bool ConvertToLocalTime(int64_t time, std::tm& local)
{
    const auto converted = static_cast<std::time_t>(time);
    if (static_cast<int64_t>(converted) != time) return false;
    return localtime_r(&converted, &local) != nullptr;
}
