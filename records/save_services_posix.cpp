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

#include "records/save_files.h"

namespace {

// Bytes that are not UTF-8 travel as U+DC80..U+DCFF and come back unchanged, so a home folder
// with any bytes in its name still round-trips.
constexpr wchar_t kEscapedByteBase = 0xDC00;

void DecodeUtf8(const char* bytes, std::wstring& out)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    while (*p != 0) {
        const unsigned char lead = *p;
        int extra = 0;
        char32_t c = lead;
        char32_t minimum = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1, c = lead & 0x1F, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2, c = lead & 0x0F, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3, c = lead & 0x07, minimum = 0x10000;
        } else if (lead >= 0x80) {
            extra = -1;
        }
        bool valid = extra >= 0;
        for (int i = 1; valid && i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) {
                valid = false;
            } else {
                c = (c << 6) | (p[i] & 0x3F);
            }
        }
        if (valid && extra > 0 && (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) valid = false;
        if (!valid) {
            out += static_cast<wchar_t>(kEscapedByteBase + lead);
            ++p;
            continue;
        }
        out += static_cast<wchar_t>(c);
        p += extra + 1;
    }
}

std::string EncodeUtf8(const wchar_t* text)
{
    std::string out;
    for (const wchar_t* p = text; *p != 0; ++p) {
        const auto c = static_cast<char32_t>(*p);
        if (c >= kEscapedByteBase + 0x80 && c <= kEscapedByteBase + 0xFF) {
            out += static_cast<char>(c - kEscapedByteBase);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c <= 0x10FFFF) {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += '?';
        }
    }
    return out;
}

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
