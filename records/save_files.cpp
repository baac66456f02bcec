// The save machinery both save commands share: the output folder, the remembered file name and
// the path buffer around the save prompt.
#include "records/save_files.h"

#include <cstring>
#include <cwchar>

wchar_t g_saveFileName[kSaveFileNameUnits] = {kPathSeparator, L'O', L'm', L'b', L'r', L'e', L'l', L'o',
                                              L'L', L'o', L'g', L'.', L't', L'x', L't', 0};
wchar_t g_savePath[kSavePathUnits];

const wchar_t kSaveFilter[] = L"TXT Files (*.TXT)\0*.txt\0";
const wchar_t kSaveDefaultExtension[] = L"txt";
const wchar_t kSaveDialogTitle[] = L"Select a log file name";

bool IsPathSeparator(wchar_t unit)
{
#ifdef _WIN32
    return unit == L'\\' || unit == L'/';
#else
    return unit == L'/';
#endif
}

const wchar_t* FindFileNamePart(const wchar_t* path)
{
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p != 0; ++p) {
        if (IsPathSeparator(*p)) name = p + 1;
    }
    return name;
}

bool AppendText(wchar_t* buffer, size_t bufferUnits, const wchar_t* text)
{
    const size_t used = std::wcslen(buffer);
    const size_t added = std::wcslen(text);
    if (used + added + 1 > bufferUnits) return false;
    std::wmemcpy(buffer + used, text, added + 1);
    return true;
}

bool GetOutputFolder(wchar_t* buffer, size_t bufferUnits)
{
    if (buffer == nullptr || bufferUnits == 0) return false;
    const wchar_t zentarix[] = {kPathSeparator, L'Z', L'e', L'n', L't', L'a', L'r', L'i', L'x', 0};
    const wchar_t ombrelo[] = {kPathSeparator, L'O', L'm', L'b', L'r', L'e', L'l', L'o', 0};
    if (!GetDocumentsFolder(buffer, bufferUnits) || buffer[0] == 0 ||
        std::wcslen(buffer) + std::wcslen(zentarix) + std::wcslen(ombrelo) + 1 > bufferUnits) {
        buffer[0] = 0;
        return false;
    }
    AppendText(buffer, bufferUnits, zentarix);
    CreateFolder(buffer);
    AppendText(buffer, bufferUnits, ombrelo);
    CreateFolder(buffer);
    return true;
}

void KeepChosenFileName(const wchar_t* path, wchar_t* saveFileName, const wchar_t* previousName)
{
    // The path is what gets written; its last component is the name to offer next time, but
    // only when it fits behind the separator. A longer one (which the dialog's 99-unit title
    // buffer cannot hold whole either) is saved to and forgotten: the previous name stays.
    const wchar_t* name = FindFileNamePart(path);
    const size_t length = std::wcslen(name);
    if (length > 0 && length < kSaveFileTitleUnits) {
        saveFileName[0] = kPathSeparator;
        std::wmemcpy(saveFileName + 1, name, length + 1);
    } else {
        std::wmemcpy(saveFileName, previousName, kSaveFileNameUnits);
    }
    saveFileName[kSaveFileNameUnits - 1] = 0;
}

int ChooseSaveFile(WindowHandle owner)
{
    g_saveFileName[kSaveFileNameUnits - 1] = 0;
    g_savePath[0] = 0;
    if (!GetOutputFolder(g_savePath) || !AppendText(g_savePath, kSavePathUnits, g_saveFileName)) {
        g_savePath[0] = 0;
        AppendText(g_savePath, kSavePathUnits, g_saveFileName + 1);
    }

    wchar_t previousName[kSaveFileNameUnits];
    std::wmemcpy(previousName, g_saveFileName, kSaveFileNameUnits);
    const int confirmed = PromptSaveFileName(owner, g_savePath, g_saveFileName + 1, kSaveFilter,
                                             kSaveDefaultExtension, kSaveDialogTitle);
    g_savePath[kSavePathUnits - 1] = 0;
    if (confirmed == 0) {
        std::wmemcpy(g_saveFileName, previousName, kSaveFileNameUnits);
        return 0;
    }
    KeepChosenFileName(g_savePath, g_saveFileName, previousName);
    return 1;
}
