// The five values the Configuration dialog edits, where each lives, and how they map to and from
// the dialog's controls. Four are bytes of the tester's settings block, which the connection
// worker reads from the tester and writes back on request; the log interval is the program's own.
#pragma once

#include <cstdint>

#include "measurement/window_ops.h"

struct AppSettings {
    uint8_t cpu12vConnected;     // settings byte 14: 1 connected, 0 not
    uint8_t pcie12vConnected;    // settings byte 15
    uint8_t complianceMode;      // settings byte 16: 0 "Strict", 1 "Loose"
    uint8_t buzzerMode;          // settings byte 17: 2 "Fatal Errors", 1 "Compliance", 0 "Off"
    uint8_t logIntervalSeconds;  // g_logIntervalSeconds: 1, 10, 30 or 60
};

// A combo box with no selected item.
constexpr int kNoSelection = -1;

// The lists of the three combo boxes, in index order.
constexpr int kComplianceChoiceCount = 2;
constexpr int kBuzzerChoiceCount = 3;
constexpr int kLogIntervalChoiceCount = 4;
extern const wchar_t* const kComplianceChoices[kComplianceChoiceCount];
extern const wchar_t* const kBuzzerChoices[kBuzzerChoiceCount];
extern const wchar_t* const kLogIntervalChoices[kLogIntervalChoiceCount];

// Value to list index, for filling the dialog.
int GetComplianceIndex(uint8_t complianceMode);    // non-zero: "Loose"
int GetBuzzerIndex(uint8_t buzzerMode);            // anything but 1 and 2: "Off"
int GetLogIntervalIndex(uint8_t intervalSeconds);  // anything but 1, 10, 30, 60: kNoSelection

// List index to value, for OK. Only the selected index counts, never an edit text.
uint8_t GetComplianceModeFromIndex(int index);  // only index 0 gives "Strict"
uint8_t GetBuzzerModeFromIndex(int index);      // index 2 or no selection gives "Off"
// False (interval unchanged) for no selection.
bool GetLogIntervalFromIndex(int index, uint8_t& intervalSeconds);

// The values as they are now: the tester's settings block and the program's interval.
AppSettings ReadAppSettings();

// What the dialog shows for a set of values.
struct ConfigDialogState {
    bool cpuChecked;
    bool pcieChecked;
    int complianceIndex;
    int buzzerIndex;
    int logIntervalIndex;
};
ConfigDialogState GetConfigDialogState(const AppSettings& settings);

// OK in the Configuration dialog (UI thread): stores the chosen values in the settings block and
// the interval, restarts timer 2 of the window with the interval while a tester is connected (the
// next readings-log row comes one full period later; without a tester no row is due), then asks
// the worker to write the block to the tester. The bytes are stored before the request is
// signalled, so the worker never sends an older block.
void ApplyConfigDialogState(WindowHandle mainWindow, const ConfigDialogState& chosen);
