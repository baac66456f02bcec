// Colour and status panel decisions of the readings display, kept free of window calls so the
// rules run, and are tested, on every platform.
#include "measurement/readings_display.h"

#include <charconv>
#include <cwchar>
#include <system_error>

bool IsCellControlId(int controlId)
{
    return controlId >= kFirstCellControlId && controlId <= kLastCellControlId;
}

int CellIndexFromControlId(int controlId)
{
    return IsCellControlId(controlId) ? controlId - kFirstCellControlId : -1;
}

uint32_t ChooseCellColour(const wchar_t* controlText, int32_t value, CellState state)
{
    // The window reads back at most three characters, so "N/A" is matched as a prefix.
    const bool fixedNotAvailable = controlText != nullptr && std::wcsncmp(controlText, L"N/A", 3) == 0;
    if (fixedNotAvailable || value == kNotAvailable) {
        return kColourNotAvailable;
    }
    switch (state) {
    case CellState::Pass:
        return kColourPass;
    case CellState::Fail:
        return kColourFail;
    default:
        return kColourNotAvailable;
    }
}

StatusText GetPowerStateText(uint8_t powerStatus)
{
    if ((powerStatus & kPowerStatusOn) != 0) {
        return {L"Power: ON", StatusBackground::Default};
    }
    if ((powerStatus & kPowerStatusOff) != 0) {
        return {L"Power: OFF", StatusBackground::Default};
    }
    return {L"Power: N/A", StatusBackground::Default};
}

void FormatTotalPowerText(uint32_t totalPowerMilliwatts, wchar_t out[kTotalPowerTextSize])
{
    // The milliwatts are taken in single precision and the quotient in double, so that the
    // largest reading, 0xFFFFFFFF mW, reads 4294967.3 W rather than a coarser single-precision
    // quotient. Below 16777 W both agree to the digit.
    const float milliwatts = static_cast<float>(totalPowerMilliwatts);
    const double watts = static_cast<double>(milliwatts) / 1000.0;
    char number[24];
    const std::to_chars_result result =
        std::to_chars(number, number + sizeof(number), watts, std::chars_format::fixed, 1);
    const int length = result.ec == std::errc() ? static_cast<int>(result.ptr - number) : 0;

    static constexpr wchar_t kPrefix[] = L"Total Power: ";
    int at = 0;
    for (const wchar_t* p = kPrefix; *p != L'\0' && at < kTotalPowerTextSize - 2; ++p) {
        out[at++] = *p;
    }
    for (int i = 0; i < length && at < kTotalPowerTextSize - 2; ++i) {
        out[at++] = static_cast<wchar_t>(number[i]);
    }
    out[at++] = L'W';
    out[at] = L'\0';
}

StatusText GetVoltagesVerdict(uint8_t powerStatus)
{
    if ((powerStatus & kPowerStatusVoltagesPass) != 0) {
        return {L"PASS", StatusBackground::Pass};
    }
    return {L"FAIL", StatusBackground::Fail};
}

StatusText GetTimingsVerdict(uint8_t powerStatus)
{
    switch ((powerStatus >> kPowerStatusTimingsShift) & 3) {
    case 0:
        return {L"PASS", StatusBackground::Pass};
    case 1:
        return {L" FAIL ", StatusBackground::Fail};
    default:
        return {L"N/A", StatusBackground::Transparent};
    }
}
