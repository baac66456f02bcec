// Mappings of the Configuration dialog and the OK step that stores the chosen settings.
#include "ui/app_settings.h"

#include "device/tester_device.h"
#include "measurement/handshake.h"

const wchar_t* const kComplianceChoices[kComplianceChoiceCount] = {L"Strict", L"Loose"};
const wchar_t* const kBuzzerChoices[kBuzzerChoiceCount] = {L"Fatal Errors", L"Compliance", L"Off"};
const wchar_t* const kLogIntervalChoices[kLogIntervalChoiceCount] = {L"1", L"10", L"30", L"60"};

namespace {

constexpr uint8_t kLogIntervals[kLogIntervalChoiceCount] = {1, 10, 30, 60};
constexpr uint8_t kBuzzerFatalErrors = 2;
constexpr uint8_t kBuzzerCompliance = 1;
constexpr uint8_t kBuzzerOff = 0;

}  // namespace

int GetComplianceIndex(uint8_t complianceMode) { return complianceMode != 0 ? 1 : 0; }

int GetBuzzerIndex(uint8_t buzzerMode)
{
    if (buzzerMode == kBuzzerFatalErrors)
        return 0;
    if (buzzerMode == kBuzzerCompliance)
        return 1;
    return 2;
}

int GetLogIntervalIndex(uint8_t intervalSeconds)
{
    for (int i = 0; i < kLogIntervalChoiceCount; ++i) {
        if (kLogIntervals[i] == intervalSeconds)
            return i;
    }
    return kNoSelection;
}

uint8_t GetComplianceModeFromIndex(int index) { return index == 0 ? 0 : 1; }

uint8_t GetBuzzerModeFromIndex(int index)
{
    if (index == 0)
        return kBuzzerFatalErrors;
    if (index == 1)
        return kBuzzerCompliance;
    return kBuzzerOff;
}

bool GetLogIntervalFromIndex(int index, uint8_t& intervalSeconds)
{
    if (index < 0 || index >= kLogIntervalChoiceCount)
        return false;
    intervalSeconds = kLogIntervals[index];
    return true;
}

AppSettings ReadAppSettings()
{
    const auto& block = g_testerDevice.readings.deviceSettings;
    return {LoadByte(block[kSettingCpu12vCable]), LoadByte(block[kSettingPcie12vCable]),
            LoadByte(block[kSettingComplianceMode]), LoadByte(block[kSettingBuzzerMode]),
            g_logIntervalSeconds.load(std::memory_order_relaxed)};
}

ConfigDialogState GetConfigDialogState(const AppSettings& settings)
{
    return {settings.cpu12vConnected != 0, settings.pcie12vConnected != 0,
            GetComplianceIndex(settings.complianceMode), GetBuzzerIndex(settings.buzzerMode),
            GetLogIntervalIndex(settings.logIntervalSeconds)};
}

void ApplyConfigDialogState(WindowHandle mainWindow, const ConfigDialogState& chosen)
{
    auto& block = g_testerDevice.readings.deviceSettings;
    StoreByte(block[kSettingCpu12vCable], chosen.cpuChecked ? 1 : 0);
    StoreByte(block[kSettingPcie12vCable], chosen.pcieChecked ? 1 : 0);
    StoreByte(block[kSettingComplianceMode], GetComplianceModeFromIndex(chosen.complianceIndex));
    StoreByte(block[kSettingBuzzerMode], GetBuzzerModeFromIndex(chosen.buzzerIndex));
    uint8_t interval = 0;
    if (GetLogIntervalFromIndex(chosen.logIntervalIndex, interval))
        g_logIntervalSeconds.store(interval, std::memory_order_relaxed);
    // Without a tester every tick would log the last readings as if they had just been measured.
    // A connection lost after this test has its worker's stop of timer 2 still to come, which the
    // UI thread applies after this.
    if (g_stopRequested.load(std::memory_order_relaxed) == 0)
        StartLogTimer(mainWindow, static_cast<uint32_t>(g_logIntervalSeconds.load(std::memory_order_relaxed)) * 1000u);
    // The event's signal publishes the bytes above to the worker that consumes it.
    g_settingsChangedEvent.Signal();
}
