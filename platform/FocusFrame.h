#pragma once

// A keyboard focus mark that can be seen on small flat buttons (the glyph
// buttons of a borderless window), where the style's own focus mark is a few
// faint pixels.

class QAbstractButton;

namespace platform {

// From now on, while `button` has the keyboard focus, a 1-pixel light-yellow
// rounded frame is drawn along its edge, over what the button itself paints.
// The frame goes with the button; calling this again for the same button adds
// nothing. Call it on the user-interface thread.
void drawFocusFrameWhenFocused(QAbstractButton* button);

} // namespace platform
