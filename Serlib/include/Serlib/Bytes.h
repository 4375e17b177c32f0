#pragma once
// A byte array that carries its own length; bytes pass through unchanged.
// The one definition, which the programs' shared code uses as well.
#include <vector>

namespace Serlib {
using Bytes = std::vector<unsigned char>;
}  // namespace Serlib
