// Where a dialog goes when it is centred over the main window, and how a status panel label fits
// before its verdict: plain arithmetic, so the screen-edge and spacing rules are tested without a
// screen.
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

// Clear pixels kept between a status panel text and whatever is drawn to its right.
constexpr int kPanelTextGap = 4;
// How far a label's characters may be moved closer together, in pixels per character.
constexpr int kMaxPanelTightening = 2;

// How a status panel text (a label, or the total power) is drawn at its fixed position so that
// its ink ends kPanelTextGap before the next item on its row (a verdict, or the timings label).
struct PanelLabelFit {
    // Extra spacing after each character (SetTextCharacterExtra): 0, or negative when the label
    // is drawn tighter to fit.
    int characterExtra;
    // Nothing of the label is drawn at or right of this x.
    int clipRight;
};

// inkWidth: how far the label's ink reaches right of labelX at normal spacing (the text's extent
// plus any overhang of its last glyph); characters: its length. A label that fits keeps its
// spacing; one that does not is tightened as little as suffices, by at most kMaxPanelTightening
// per character; what still does not fit is clipped.
PanelLabelFit FitStatusLabel(int labelX, int inkWidth, int characters, int nextX);
