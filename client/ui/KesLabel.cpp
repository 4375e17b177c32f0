#include "KesLabel.h"

#include <FL/fl_draw.H>

namespace {
// Below this a label would be hard to read; it is clipped instead.
constexpr int kSmallestSize = 9;
}

KesLabel::KesLabel(int x, int y, int w, int h, const char* text) : Fl_Box(x, y, w, h, text) {
    box(FL_NO_BOX);
    align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
}

int KesLabel::fittedSize() const {
    int size = labelsize();
    for (; size > kSmallestSize; --size) {
        fl_font(labelfont(), size);
        if (fl_width(label()) <= w()) break;
    }
    return size;
}

void KesLabel::draw() {
    draw_box();
    if (label() == nullptr) return;
    fl_font(labelfont(), fittedSize());
    fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
    fl_draw(label(), x(), y(), w(), h(), align(), nullptr, 0);
}
