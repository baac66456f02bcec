// Centring arithmetic of CenterWindowOnParent.
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
