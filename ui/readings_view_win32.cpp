// The readings display on the main window: the 500 ms update of the cell texts, the cells'
// colours and the status panel drawn over control 1013. The decisions (texts, colours, the
// panel's texts and backgrounds) live in measurement/; this file applies them.
//
// Every tick formats all 100 displayed cells, but only a cell whose text or colour has changed is
// redrawn: a control repaints (and asks for its colours) whenever its text is set, and redrawing
// a hundred unchanged cells twice a second is most of the tick's cost. A cell whose text stayed
// but whose verdict changed is invalidated, so it asks for its new colour.
#include <windows.h>

#include <cwchar>

#include "device/tester_device.h"
#include "measurement/cell_text.h"
#include "measurement/handshake.h"
#include "measurement/readings_display.h"
#include "measurement/readings_table.h"
#include "ui/main_window.h"
#include "ui/window_geometry.h"

HBRUSH g_cellBrush = nullptr;

namespace {

// UI thread only.
int g_liveGdiObjects = 0;
// The cell controls, found once; what each displays and the colour it was last given.
HWND g_cellControls[kCellCount] = {};
HWND g_cellControlsWindow = nullptr;
wchar_t g_cellTextShown[kCellCount][kCellTextSize] = {};
constexpr COLORREF kNoColourShown = 0xFFFFFFFF;
COLORREF g_cellColourShown[kCellCount];

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

void SetPanelBackground(HDC context, StatusBackground background)
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
}

void DrawPanelText(HDC context, POINT at, const wchar_t* text, StatusBackground background)
{
    SetPanelBackground(context, background);
    TextOutW(context, at.x, at.y, text, lstrlenW(text));
}

// Draws text from at with characterExtra pixels after each character: only the characters whose
// advance ends before clipRight, so no glyph is shown cut in half (a cut "W" reads as a "V"), and
// nothing at or right of clipRight.
void DrawClippedPanelText(HDC context, POINT at, const wchar_t* text, StatusBackground background, int clipRight,
                          int characterExtra)
{
    SetPanelBackground(context, background);
    const int previousExtra = SetTextCharacterExtra(context, characterExtra);
    int shown = lstrlenW(text);
    SIZE extent = {};
    if (!GetTextExtentExPointW(context, text, shown, clipRight - at.x, &shown, nullptr, &extent))
        shown = lstrlenW(text);
    TEXTMETRICW metrics = {};
    GetTextMetricsW(context, &metrics);
    const RECT clip = {at.x, at.y, clipRight, at.y + metrics.tmHeight};
    ExtTextOutW(context, at.x, at.y, ETO_CLIPPED, &clip, text, static_cast<UINT>(shown), nullptr);
    SetTextCharacterExtra(context, previousExtra);
}

// How far right of its origin a text's ink reaches in the selected font at normal spacing: its
// advance, plus what an italic last glyph leans out beyond it.
int MeasurePanelInk(HDC context, const wchar_t* text)
{
    const int length = lstrlenW(text);
    if (length == 0)
        return 0;
    SIZE extent = {};
    GetTextExtentPoint32W(context, text, length, &extent);
    const UINT last = static_cast<UINT>(text[length - 1]);
    ABC widths = {};
    if (GetCharABCWidthsW(context, last, last, &widths) && widths.abcC < 0)
        extent.cx -= widths.abcC;
    return extent.cx;
}

// A text at its fixed position, ending kPanelTextGap before the item at nextX.
void DrawFittedPanelText(HDC context, POINT at, const wchar_t* text, StatusBackground background, int nextX)
{
    const PanelLabelFit fit = FitStatusLabel(at.x, MeasurePanelInk(context, text), lstrlenW(text), nextX);
    DrawClippedPanelText(context, at, text, background, fit.clipRight, fit.characterExtra);
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

namespace {

// The controls of window, from its template: empty texts, colours not yet given.
void FindCellControls(HWND window)
{
    for (int cell = 0; cell < kCellCount; ++cell) {
        g_cellControls[cell] = HasCellControl(cell) ? GetDlgItem(window, kFirstCellControlId + cell) : nullptr;
        g_cellTextShown[cell][0] = L'\0';
        g_cellColourShown[cell] = kNoColourShown;
    }
    g_cellControlsWindow = window;
}

}  // namespace

void UpdateReadingsDisplay()
{
    FormatDisplayedCellTexts(g_readingsTable);
    HWND window = static_cast<HWND>(g_mainWindow);
    if (window != nullptr && window != g_cellControlsWindow)
        FindCellControls(window);
    const bool hasControls = window != nullptr;
    for (int cell = 0; hasControls && cell < kCellCount; ++cell) {
        const wchar_t* text = g_readingsTable.text[cell];
        if (!IsCellDisplayed(cell) || std::wcscmp(text, g_cellTextShown[cell]) == 0)
            continue;
        SetWindowTextW(g_cellControls[cell], text);
        std::wcscpy(g_cellTextShown[cell], text);
    }
    g_readingsTable.Evaluate();
    for (int cell = 0; hasControls && cell < kCellCount; ++cell) {
        if (!IsCellDisplayed(cell))
            continue;
        const COLORREF colour = ChooseCellColour(g_readingsTable.text[cell], LoadWord(g_readingsTable.value[cell]),
                                                 g_readingsTable.state[cell]);
        if (colour != g_cellColourShown[cell])
            InvalidateRect(g_cellControls[cell], nullptr, TRUE);
    }
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
    if (GetParent(control) == g_cellControlsWindow)
        g_cellColourShown[cell] = colour;
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
    // The fixed positions leave less room than the font needs: a long total power would run into
    // the timings label, and each label into its verdict. Each is drawn a little tighter or cut
    // short instead, so that it stops kPanelTextGap before the next item.
    DrawFittedPanelText(context, kTotalPowerPosition, totalPower, StatusBackground::Default, kTimingsLabelPosition.x);
    DrawFittedPanelText(context, kVoltagesLabelPosition, L"Voltages:", StatusBackground::Transparent,
                        kVoltagesVerdictPosition.x);
    const StatusText voltages = GetVoltagesVerdict(powerStatus);
    DrawPanelText(context, kVoltagesVerdictPosition, voltages.text, voltages.background);
    DrawFittedPanelText(context, kTimingsLabelPosition, L"Timings:", StatusBackground::Transparent,
                        kTimingsVerdictPosition.x);
    const StatusText timings = GetTimingsVerdict(powerStatus);
    DrawPanelText(context, kTimingsVerdictPosition, timings.text, timings.background);

    SelectObject(context, previousFont);
    ReleaseDC(g_statusPanel, context);
}
