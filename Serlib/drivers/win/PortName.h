#pragma once
// How a configuration record names a communications device on Windows:
// "COMn" is the device \\.\COMn with the port number n; any other name is
// opened as given, in the device namespace (\\.\ put in front when it is
// not there already), and gets a number from 1001 up; a record without a
// name and port n > 0 is COMn. The record's base name is a Unix device
// prefix and has no meaning here.
#include <cstdint>
#include <optional>
#include <string>

#include "Serlib/SerDriver.h"
#include "Serlib/drivers/common/Record.h"

namespace sdrv {

struct PortName {
    std::string name;    // as the record gave it ("COM1", "\\.\COM12", "CNCA0")
    std::string path;    // what CreateFile is given ("\\.\COM1")
    int32_t number = 0;  // 1-based port number; 0 when the driver assigns one
};

// Empty when the record names nothing.
std::optional<PortName> resolvePortName(const SerConfigRec& cfg);

// Whether two device paths name the same device: Windows ignores the case
// of device names.
bool samePath(const std::string& a, const std::string& b);

}  // namespace sdrv
