#pragma once
// How a configuration record names a device: "COMn" through the ports/
// directory beside the driver library (else /dev/ttyS(n-1)), an absolute path
// as given, or a numbered port under the record's base name.
#include <cstdint>
#include <optional>
#include <string>

#include "Serlib/SerDriver.h"
#include "Serlib/drivers/common/Record.h"

namespace sdrv {

struct PortName {
    std::string name;   // as the record gave it ("COM1", "/dev/ttyUSB0", "/dev/ttyS2")
    std::string path;   // what open() is given; a ports/ link is followed anew at every open
    int32_t number = 0; // 1-based port number; 0 when the driver assigns one
};

// Empty when the record names nothing usable.
std::optional<PortName> resolvePortName(const SerConfigRec& cfg);

// The directory holding the driver library file, or empty when unknown.
std::string driverDirectory();

}  // namespace sdrv
