// Names and numbers the main window, its dialogs and their resources agree on: control ids,
// timers, template and class names. The resource script uses the same numbers.
#pragma once

#include <cstdint>

#include "measurement/readings_display.h"
#include "measurement/window_ops.h"

// Buttons of the main window not already named by the worker's window seam.
constexpr int kClearLogButtonId = 1005;
constexpr int kSaveLogButtonId = 1006;
constexpr int kSaveReportButtonId = 1008;
constexpr int kHelpButtonId = 1010;
constexpr int kAboutButtonId = 1011;
constexpr int kExitButtonId = 1012;
constexpr int kFirstCommandId = kRefreshButtonId;
constexpr int kLastCommandId = kExitButtonId;
// The static control the status panel is drawn over.
constexpr int kStatusPanelId = 1013;

// About dialog.
constexpr int kCopyrightTextId = 1014;
constexpr int kWebAddressTextId = 1015;
constexpr int kVersionTextId = 1016;

// Configuration dialog.
constexpr int kCpuCableCheckId = 1017;
constexpr int kPcieCableCheckId = 1018;
constexpr int kComplianceComboId = 1019;
constexpr int kBuzzerComboId = 1020;
constexpr int kLogIntervalComboId = 1021;

// The dialog manager's OK (Enter) and Cancel (Escape).
constexpr int kOkId = 1;
constexpr int kCancelId = 2;

// The display timer; timer 2 (kLogTimerId) is the readings log's.
constexpr uintptr_t kDisplayTimerId = 1;
constexpr uint32_t kDisplayPeriodMs = 500;

// Resources.
inline constexpr const wchar_t* kMainWindowClass = L"TRELLIDEX";
inline constexpr const wchar_t* kMainWindowTemplate = L"TRELLIDEX";
inline constexpr const wchar_t* kMainWindowTitle = L"Ombrelo";
inline constexpr const wchar_t* kConfigDialogTemplate = L"CONFBOX";
inline constexpr const wchar_t* kAboutDialogTemplate = L"ABOUTBOX";
inline constexpr const wchar_t* kAppIconName = L"TRELLIDEX";
constexpr int kLogoBitmapId = 101;
