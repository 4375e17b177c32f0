#pragma once
// Window tests drive FLTK's event loop in bounded steps, never Fl::run().
// Event thread only.
#include <FL/Fl.H>

#include <chrono>

// Runs the event loop until done() holds or the time ran out; whether it held.
template <typename Done>
bool pumpUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        Fl::wait(0.01);
    }
    return true;
}

// Runs the event loop for span, so that what is queued is drawn.
inline void pumpFor(std::chrono::milliseconds span) {
    pumpUntil([] { return false; }, span);
}
