#pragma once
// A text label placed by pixels, as both programs' windows lay them out.
// FLTK's own labels keep 3 pixels free on either side, and a machine without
// Helvetica (or a metric twin) substitutes a wider face; either would cut the
// end off labels sized for Helvetica. This one draws from its left edge and,
// when the text is still too wide, at the largest size that fits.
// Event thread only.
#include <FL/Fl_Box.H>

class FittedLabel : public Fl_Box {
public:
    FittedLabel(int x, int y, int w, int h, const char* text);

    // The size the text is drawn at: labelsize(), or smaller when the text
    // would not fit at it. Measures with the display's fonts.
    int fittedSize() const;

    // Asks the font system for Helvetica itself (or a face with its metrics)
    // as FL_HELVETICA; FLTK's default for it is the generic, wider "sans".
    static void useHelveticaByName();

protected:
    void draw() override;
};
