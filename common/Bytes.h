#pragma once
// A byte array that carries its own length; bytes pass through unchanged.
#include <vector>

using Bytes = std::vector<unsigned char>;
