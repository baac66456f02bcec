// The Configuration dialog: shows the cable flags, compliance mode, buzzer mode and log interval,
// and on OK stores them and asks the worker to send them to the tester.
#include <windows.h>

#include "measurement/handshake.h"
#include "ui/app_settings.h"
#include "ui/main_window.h"
#include "ui/ui_ids.h"

namespace {

void FillCombo(HWND dialog, int comboId, const wchar_t* const* choices, int count, int selected)
{
    SendDlgItemMessageW(dialog, comboId, CB_RESETCONTENT, 0, 0);
    for (int i = 0; i < count; ++i)
        SendDlgItemMessageW(dialog, comboId, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choices[i]));
    // CB_SETCURSEL with -1 clears the selection, which an interval outside the list asks for.
    SendDlgItemMessageW(dialog, comboId, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

int GetSelectedIndex(HWND dialog, int comboId)
{
    const LRESULT index = SendDlgItemMessageW(dialog, comboId, CB_GETCURSEL, 0, 0);
    return index == CB_ERR ? kNoSelection : static_cast<int>(index);
}

}  // namespace

void InitConfigDialog(HWND dialog)
{
    const ConfigDialogState shown = GetConfigDialogState(ReadAppSettings());
    CheckDlgButton(dialog, kCpuCableCheckId, shown.cpuChecked ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, kPcieCableCheckId, shown.pcieChecked ? BST_CHECKED : BST_UNCHECKED);
    FillCombo(dialog, kComplianceComboId, kComplianceChoices, kComplianceChoiceCount, shown.complianceIndex);
    FillCombo(dialog, kBuzzerComboId, kBuzzerChoices, kBuzzerChoiceCount, shown.buzzerIndex);
    FillCombo(dialog, kLogIntervalComboId, kLogIntervalChoices, kLogIntervalChoiceCount, shown.logIntervalIndex);
}

INT_PTR CALLBACK ConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        CenterWindowOnParent(dialog, static_cast<HWND>(g_mainWindow));
        InitConfigDialog(dialog);
        return FALSE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case kOkId: {
            const ConfigDialogState chosen = {
                IsDlgButtonChecked(dialog, kCpuCableCheckId) == BST_CHECKED,
                IsDlgButtonChecked(dialog, kPcieCableCheckId) == BST_CHECKED,
                GetSelectedIndex(dialog, kComplianceComboId),
                GetSelectedIndex(dialog, kBuzzerComboId),
                GetSelectedIndex(dialog, kLogIntervalComboId),
            };
            ApplyConfigDialogState(g_mainWindow, chosen);
            EndDialog(dialog, 0);
            return TRUE;
        }
        case kCancelId:
            EndDialog(dialog, 0);
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}
