// The save prompt on Windows: the common save-file dialog, set up afresh on every call.
#include <windows.h>
#include <commdlg.h>

#include <cwchar>

#include "records/save_files.h"

int PromptSaveFileName(WindowHandle owner, wchar_t* path, wchar_t* fileTitle, const wchar_t* filter,
                       const wchar_t* defaultExtension, const wchar_t* title)
{
    // A default path beyond the dialog's limit would make it fail outright; offer the name alone.
    if (std::wcslen(path) >= kSaveDialogPathLimit) {
        const wchar_t* name = FindFileNamePart(path);
        std::wmemmove(path, name, std::wcslen(name) + 1);
        if (std::wcslen(path) >= kSaveDialogPathLimit) path[0] = 0;
    }

    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = static_cast<HWND>(owner);
    dialog.lpstrFilter = filter;
    dialog.lpstrCustomFilter = nullptr;
    dialog.nFilterIndex = 0;
    dialog.lpstrFile = path;
    dialog.nMaxFile = static_cast<DWORD>(kSaveDialogPathLimit);
    dialog.lpstrFileTitle = fileTitle;
    dialog.nMaxFileTitle = static_cast<DWORD>(kSaveFileTitleUnits);
    dialog.lpstrInitialDir = nullptr;
    dialog.lpstrTitle = title;
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY;
    dialog.lpstrDefExt = defaultExtension;
    dialog.lpfnHook = nullptr;
    dialog.lpTemplateName = nullptr;
    return GetSaveFileNameW(&dialog) != 0 ? 1 : 0;
}
