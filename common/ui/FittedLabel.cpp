#include "common/ui/FittedLabel.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

namespace {
// Below this a label would be hard to read; it is clipped instead.
constexpr int kSmallestSize = 9;
}  // namespace

FittedLabel::FittedLabel(int x, int y, int w, int h, const char* text) : Fl_Box(x, y, w, h)
{
    copy_label(text);
    box(FL_NO_BOX);
    align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
}

int FittedLabel::fittedSize() const
{
    int size = labelsize();
    for (; size > kSmallestSize; --size) {
        fl_font(labelfont(), size);
        if (fl_width(label()) <= w()) break;
    }
    return size;
}

void FittedLabel::useHelveticaByName()
{
    // The leading space marks the plain style.
    Fl::set_font(FL_HELVETICA, " Helvetica");
}

void FittedLabel::draw()
{
    draw_box();
    if (label() == nullptr) return;
    fl_font(labelfont(), fittedSize());
    fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
    fl_draw(label(), x(), y(), w(), h(), align(), nullptr, 0);
}
