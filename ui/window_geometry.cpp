// Centring arithmetic of CenterWindowOnParent, and how the status panel's labels fit before their
// verdicts.
#include "ui/window_geometry.h"

namespace {

int CentreOnAxis(int parentStart, int parentExtent, int extent, int screenExtent)
{
    int start = parentStart + (parentExtent - extent) / 2;
    if (start < 0)
        start = 0;
    else if (start + extent > screenExtent)
        start = screenExtent - extent;
    return start;
}

}  // namespace

WindowPosition ComputeCenteredPosition(int dialogWidth, int dialogHeight, const WindowBox& parent,
                                       int screenWidth, int screenHeight)
{
    return {CentreOnAxis(parent.left, parent.width, dialogWidth, screenWidth),
            CentreOnAxis(parent.top, parent.height, dialogHeight, screenHeight)};
}

PanelLabelFit FitStatusLabel(int labelX, int inkWidth, int characters, int nextX)
{
    const int clipRight = nextX - kPanelTextGap;
    const int overflow = labelX + inkWidth - clipRight;
    if (overflow <= 0 || characters < 2)
        return {0, clipRight};
    // The ink of the last character moves by the extra of every character before it.
    const int gaps = characters - 1;
    int tightening = (overflow + gaps - 1) / gaps;
    if (tightening > kMaxPanelTightening)
        tightening = kMaxPanelTightening;
    return {-tightening, clipRight};
}
