// Where a dialog goes when it is centred over the main window: plain arithmetic, so the screen-edge
// rules are tested without a screen.
#pragma once

struct WindowBox {
    int left;
    int top;
    int width;
    int height;
};

struct WindowPosition {
    int x;
    int y;
};

// Centres a dialog of the given size over parent: each coordinate is parent origin + (parent
// extent - dialog extent) / 2, truncated toward zero. A dialog that would start left of or above
// the screen starts at 0; otherwise one that would end beyond the screen's width or height is
// moved back to end at that edge.
WindowPosition ComputeCenteredPosition(int dialogWidth, int dialogHeight, const WindowBox& parent,
                                       int screenWidth, int screenHeight);
