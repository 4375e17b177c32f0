#pragma once
// How long since a moment, in whole milliseconds: what tests print and bound.
#include <chrono>

inline long long msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}
