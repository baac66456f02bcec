// The readings display on the main window: the 500 ms update of the cell texts, the cells'
// colours and the status panel drawn over control 1013. The decisions (texts, colours, the
// panel's texts and backgrounds) live in measurement/; this file applies them.
#include <windows.h>

#include "device/tester_device.h"
#include "measurement/cell_text.h"
#include "measurement/handshake.h"
#include "measurement/readings_display.h"
#include "measurement/readings_table.h"
#include "ui/main_window.h"

HBRUSH g_cellBrush = nullptr;

namespace {

// UI thread only.
int g_liveGdiObjects = 0;

// Status panel layout, in pixels of the panel control's window.
constexpr RECT kPanelFrame = {0, 5, 305, 70};
constexpr POINT kPowerStatePosition = {25, 14};
constexpr POINT kTotalPowerPosition = {25, 40};
constexpr POINT kVoltagesLabelPosition = {180, 14};
constexpr POINT kVoltagesVerdictPosition = {250, 14};
constexpr POINT kTimingsLabelPosition = {190, 40};
constexpr POINT kTimingsVerdictPosition = {250, 40};
constexpr COLORREF kPanelTextColour = RGB(0, 0, 0);
constexpr COLORREF kPanelDefaultBackground = RGB(255, 255, 255);

// "N/A" and nothing more is read back from a cell.
constexpr int kCellReadBackUnits = 4;

void DrawPanelText(HDC context, POINT at, const wchar_t* text, StatusBackground background)
{
    switch (background) {
    case StatusBackground::Transparent:
        SetBkMode(context, TRANSPARENT);
        break;
    case StatusBackground::Pass:
        SetBkMode(context, OPAQUE);
        SetBkColor(context, kColourPass);
        break;
    case StatusBackground::Fail:
        SetBkMode(context, OPAQUE);
        SetBkColor(context, kColourFail);
        break;
    case StatusBackground::Default:
        SetBkMode(context, OPAQUE);
        SetBkColor(context, kPanelDefaultBackground);
        break;
    }
    TextOutW(context, at.x, at.y, text, lstrlenW(text));
}

}  // namespace

int CountLiveGdiObjects() { return g_liveGdiObjects; }

HBRUSH CreateCountedBrush(COLORREF colour)
{
    HBRUSH brush = CreateSolidBrush(colour);
    if (brush != nullptr)
        ++g_liveGdiObjects;
    return brush;
}

HFONT CreateCountedFont(const LOGFONTW& font)
{
    HFONT handle = CreateFontIndirectW(&font);
    if (handle != nullptr)
        ++g_liveGdiObjects;
    return handle;
}

void DeleteCountedObject(HGDIOBJ object)
{
    if (object != nullptr && DeleteObject(object))
        --g_liveGdiObjects;
}

void UpdateReadingsDisplay()
{
    FormatDisplayedCellTexts(g_readingsTable);
    HWND window = static_cast<HWND>(g_mainWindow);
    if (window != nullptr) {
        for (int cell = 0; cell < kCellCount; ++cell) {
            if (IsCellDisplayed(cell))
                SetDlgItemTextW(window, kFirstCellControlId + cell, g_readingsTable.text[cell]);
        }
    }
    g_readingsTable.Evaluate();
    PaintStatusPanel();
}

HBRUSH ReadingsCellColour(HWND control, HDC context)
{
    const int cell = CellIndexFromControlId(GetDlgCtrlID(control));
    if (cell < 0)
        return nullptr;
    DeleteCountedObject(g_cellBrush);
    g_cellBrush = nullptr;
    wchar_t shown[kCellReadBackUnits] = {};
    GetWindowTextW(control, shown, kCellReadBackUnits);
    const COLORREF colour =
        ChooseCellColour(shown, LoadWord(g_readingsTable.value[cell]), g_readingsTable.state[cell]);
    g_cellBrush = CreateCountedBrush(colour);
    SetBkColor(context, colour);
    return g_cellBrush;
}

void PaintStatusPanel()
{
    if (g_statusFont == nullptr || g_statusPanel == nullptr)
        return;
    HDC context = GetWindowDC(g_statusPanel);
    if (context == nullptr)
        return;
    HGDIOBJ previousFont = SelectObject(context, g_statusFont);
    SetTextColor(context, kPanelTextColour);
    SetBkMode(context, OPAQUE);
    Rectangle(context, kPanelFrame.left, kPanelFrame.top, kPanelFrame.right, kPanelFrame.bottom);

    const uint8_t powerStatus = LoadByte(g_testerDevice.readings.powerStatus);
    const StatusText powerState = GetPowerStateText(powerStatus);
    DrawPanelText(context, kPowerStatePosition, powerState.text, powerState.background);
    wchar_t totalPower[kTotalPowerTextSize];
    FormatTotalPowerText(static_cast<uint32_t>(LoadWord(g_testerDevice.readings.totalPower)), totalPower);
    DrawPanelText(context, kTotalPowerPosition, totalPower, StatusBackground::Default);
    DrawPanelText(context, kVoltagesLabelPosition, L"Voltages:", StatusBackground::Transparent);
    const StatusText voltages = GetVoltagesVerdict(powerStatus);
    DrawPanelText(context, kVoltagesVerdictPosition, voltages.text, voltages.background);
    DrawPanelText(context, kTimingsLabelPosition, L"Timings:", StatusBackground::Transparent);
    const StatusText timings = GetTimingsVerdict(powerStatus);
    DrawPanelText(context, kTimingsVerdictPosition, timings.text, timings.background);

    SelectObject(context, previousFont);
    ReleaseDC(g_statusPanel, context);
}
