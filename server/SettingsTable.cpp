#include "server/SettingsTable.h"

#include "Serlib/SerialConfig.h"

using Serlib::SerialConfig;

namespace SettingsTable {

const std::vector<std::string>& SerialPorts() {
    static const std::vector<std::string> ports = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"};
    return ports;
}

const std::vector<std::string>& TcpPorts() {
    static const std::vector<std::string> ports = {"3001", "3002", "3003", "3004", "3005", "3006", "3007", "3008"};
    return ports;
}

const std::vector<std::string>& Dtr() {
    static const std::vector<std::string> values = {"1", "0"};
    return values;
}

const SettingTable& BitRates() {
    static const SettingTable table = {
        {"2400", SerialConfig::BR_2400},   {"9600", SerialConfig::BR_9600},   {"19200", SerialConfig::BR_19200},
        {"38400", SerialConfig::BR_38400}, {"57600", SerialConfig::BR_57600}, {"115200", SerialConfig::BR_115200},
    };
    return table;
}

const SettingTable& DataBits() {
    static const SettingTable table = {
        {"8", SerialConfig::LN_8BITS}, {"7", SerialConfig::LN_7BITS},
        {"6", SerialConfig::LN_6BITS}, {"5", SerialConfig::LN_5BITS},
    };
    return table;
}

const SettingTable& StopBits() {
    static const SettingTable table = {{"1", SerialConfig::ST_1BITS}, {"2", SerialConfig::ST_2BITS}};
    return table;
}

const SettingTable& Parities() {
    static const SettingTable table = {
        {"None", SerialConfig::PY_NONE}, {"Even", SerialConfig::PY_EVEN},
        {"Odd", SerialConfig::PY_ODD},   {"Mark", SerialConfig::PY_MARK},
    };
    return table;
}

const SettingTable& Handshakes() {
    static const SettingTable table = {
        {"None", SerialConfig::HS_NONE},        {"CTSRTS", SerialConfig::HS_CTSRTS},
        {"XONXOFF", SerialConfig::HS_XONXOFF},  {"CTSDTR", SerialConfig::HS_CTSDTR},
        {"DSRDTR", SerialConfig::HS_DSRDTR},    {"HardIn", SerialConfig::HS_HARD_IN},
        {"HardOut", SerialConfig::HS_HARD_OUT}, {"SoftIn", SerialConfig::HS_SOFT_IN},
        {"SoftOut", SerialConfig::HS_SOFT_OUT},
    };
    return table;
}

std::vector<std::string> Texts(const SettingTable& table) {
    std::vector<std::string> texts;
    for (const SettingChoice& choice : table) texts.push_back(choice.text);
    return texts;
}

std::optional<int32_t> CodeOf(const SettingTable& table, const std::string& text) {
    for (const SettingChoice& choice : table) {
        if (choice.text == text) return choice.code;
    }
    return std::nullopt;
}

}  // namespace SettingsTable
