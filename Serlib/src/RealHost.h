#pragma once
// The host values as the platform tells them. Internal to the library.
#include "Serlib/HostInfo.h"

namespace Serlib {

HostInfo readRealHost();

}  // namespace Serlib
