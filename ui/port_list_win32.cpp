// Three small services of the main window: the port list of the COM ports where a tester answers
// (COM1 to COM5, and when none answers the higher ports the system lists), the About dialog and
// Help, which opens the user guide.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>
#include <vector>

#include "measurement/handshake.h"
#include "ui/main_commands.h"
#include "ui/main_window.h"
#include "ui/ui_ids.h"

const wchar_t kCopyrightText[] = L"Copyright (C) 2026 Zentarix";
const wchar_t kUserGuideUrl[] = L"https://www.zentarix.com/ftp/OmbreloUsersGuide.pdf";

namespace {

constexpr const wchar_t* kProgramName = L"Ombrelo";
constexpr const wchar_t* kVersion = L"V1.0";
constexpr const wchar_t* kBuild = L"1002";
// ShellExecuteW's results above this value mean success.
constexpr INT_PTR kShellExecuteFailureLimit = 32;

// The system's list of serial ports: the data of every value under SERIALCOMM ("COM7"), which
// the serial drivers keep up to date as ports come and go.
std::vector<std::wstring> ReadSerialCommPorts()
{
    std::vector<std::wstring> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return ports;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        wchar_t data[64];
        DWORD nameUnits = 256;
        DWORD dataBytes = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        LONG result = RegEnumValueW(key, index, name, &nameUnits, nullptr, &type, reinterpret_cast<BYTE*>(data),
                                    &dataBytes);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        data[dataBytes / sizeof(wchar_t)] = 0;
        ports.push_back(data);
    }
    RegCloseKey(key);
    return ports;
}

}  // namespace

void RefreshPortList(HWND window)
{
    std::vector<std::wstring> found;
    // The tester is in use by a worker that has not finished yet: keep the list as it is.
    if (!FindTesterPorts(kProbedPortNames, kProbedPortCount, ChooseListedPorts(ReadSerialCommPorts()), found))
        return;
    HWND list = GetDlgItem(window, kPortListId);
    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    for (const std::wstring& name : found)
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    SendMessageW(list, CB_SETCURSEL, 0, 0);
}

void FormatVersionLine(wchar_t (&out)[kVersionTextUnits])
{
    std::swprintf(out, kVersionTextUnits, L"%ls %ls (%ls)", kProgramName, kVersion, kBuild);
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: {
        CenterWindowOnParent(dialog, static_cast<HWND>(g_mainWindow));
        SetDlgItemTextW(dialog, kCopyrightTextId, kCopyrightText);
        wchar_t version[kVersionTextUnits];
        FormatVersionLine(version);
        SetDlgItemTextW(dialog, kVersionTextId, version);
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == kOkId || LOWORD(wParam) == kCancelId) {
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

void OpenUserGuide(HWND window)
{
    wchar_t launch[kLaunchTextUnits];
    std::swprintf(launch, kLaunchTextUnits, L"microsoft-edge:%ls", kUserGuideUrl);
    const INT_PTR result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(window, nullptr, launch, nullptr, nullptr, SW_SHOWNORMAL));
    // Without the Edge handler the guide still opens, in whatever browser the system prefers.
    if (result <= kShellExecuteFailureLimit)
        ShellExecuteW(window, nullptr, kUserGuideUrl, nullptr, nullptr, SW_SHOWNORMAL);
}
