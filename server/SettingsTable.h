#pragma once
// The serial line's settings as people name them, in the setup window's
// order, with the serial record's code for each. Written once, and read by
// the setup window (its lists), the options (the values they take) and the
// serial line adapter (the codes it sets). Immutable; any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SettingChoice {
    std::string text;  // as the window lists it and an option takes it
    int32_t code;      // the serial record's code (Serlib::SerialConfig)
};
using SettingTable = std::vector<SettingChoice>;

namespace SettingsTable {

// The setup window's lists of names and numbers that have no code.
const std::vector<std::string>& SerialPorts();  // COM1 to COM8
const std::vector<std::string>& TcpPorts();     // 3001 to 3008
const std::vector<std::string>& Dtr();          // 1, 0

// The setup window's bit rates (2400 to 115200); the options and the
// adapter take every rate the driver has a code for (SerialConfig).
const SettingTable& BitRates();
const SettingTable& DataBits();
const SettingTable& StopBits();
const SettingTable& Parities();
const SettingTable& Handshakes();

std::vector<std::string> Texts(const SettingTable& table);
// The code of the choice named text; nothing for a name the table lacks.
std::optional<int32_t> CodeOf(const SettingTable& table, const std::string& text);

}  // namespace SettingsTable
