#pragma once
// How a window ends the program: with the given exit status, after whatever
// the program must do on its way out. Tests record the call instead.
#include <functional>

using ProcessExit = std::function<void(int status)>;
