// The save prompt where there is no dialog: the POSIX program's console names the file
// beforehand, and the tests of either build use it in place of the modal dialog. It behaves as
// the dialog does: a bare name lands in the folder of the default path, the default extension is
// added to a name without one, the path is limited to 260 units, and the file-title buffer gets
// at most 98 characters.
#include <cwchar>

#include "records/save_files.h"

namespace {

// The answer for the next prompt. Written and read on the thread that saves.
wchar_t g_nextSaveName[kSaveDialogPathLimit];
bool g_hasNextSaveName = false;

}  // namespace

bool SetNextSaveFileName(const wchar_t* nameOrPath)
{
    if (nameOrPath == nullptr || nameOrPath[0] == 0) return false;
    const size_t length = std::wcslen(nameOrPath);
    if (length >= kSaveDialogPathLimit) return false;
    std::wmemcpy(g_nextSaveName, nameOrPath, length + 1);
    g_hasNextSaveName = true;
    return true;
}

int PromptSaveFileName(WindowHandle /*owner*/, wchar_t* path, wchar_t* fileTitle, const wchar_t* /*filter*/,
                       const wchar_t* defaultExtension, const wchar_t* /*title*/)
{
    if (!g_hasNextSaveName) return 0;
    g_hasNextSaveName = false;

    // One unit more than the limit allows, so that "too long" is seen rather than cut.
    wchar_t chosen[kSaveDialogPathLimit + 1];
    chosen[0] = 0;
    if (FindFileNamePart(g_nextSaveName) == g_nextSaveName) {
        const size_t folderLength = static_cast<size_t>(FindFileNamePart(path) - path);
        if (folderLength >= kSaveDialogPathLimit) return 0;
        std::wmemcpy(chosen, path, folderLength);
        chosen[folderLength] = 0;
    }
    if (!AppendText(chosen, kSaveDialogPathLimit, g_nextSaveName)) return 0;

    const wchar_t* name = FindFileNamePart(chosen);
    if (name[0] == 0) return 0;  // a folder names no file
    if (defaultExtension != nullptr && defaultExtension[0] != 0 && std::wcschr(name, L'.') == nullptr) {
        if (!AppendText(chosen, kSaveDialogPathLimit, L".") ||
            !AppendText(chosen, kSaveDialogPathLimit, defaultExtension)) {
            return 0;
        }
    }

    std::wmemcpy(path, chosen, std::wcslen(chosen) + 1);
    // Like the dialog's title buffer: at most 98 characters, always terminated.
    name = FindFileNamePart(path);
    const size_t titleLength = std::wcslen(name) < kSaveFileTitleUnits ? std::wcslen(name) : kSaveFileTitleUnits - 1;
    std::wmemcpy(fileTitle, name, titleLength);
    fileTitle[titleLength] = 0;
    return 1;
}
