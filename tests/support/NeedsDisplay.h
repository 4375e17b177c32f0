#pragma once
// Window tests need an X display. Without one FLTK calls exit() as soon as a
// window is made, ending the whole test program, so they skip first.
#include <gtest/gtest.h>

#include <cstdlib>

inline bool haveDisplay()
{
    const char* display = std::getenv("DISPLAY");
    return display != nullptr && *display != '\0';
}

// In a test or its fixture's SetUp, before anything opens a window.
#define SKIP_WITHOUT_DISPLAY()  \
    if (haveDisplay()) {        \
    } else                      \
        GTEST_SKIP() << "no DISPLAY: window tests need an X display"
