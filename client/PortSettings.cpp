#include "client/PortSettings.h"

namespace CPO = ComPortOption;

std::string PortSettings::Text() const { return BaudText(baud) + ", " + StopSizeText(stopSize) + ", " + ControlText(flow); }

std::string BaudText(uint32_t baud) { return std::to_string(baud) + " bit/s"; }

std::string StopSizeText(uint8_t stopSize) {
    switch (stopSize) {
        case CPO::SET_STOPSIZE_1: return "1 stop bit";
        case CPO::SET_STOPSIZE_2: return "2 stop bits";
        case CPO::SET_STOPSIZE_1_5: return "1.5 stop bits";
        default: return "stop size " + std::to_string(stopSize);
    }
}

std::string DataSizeText(uint8_t dataSize) { return std::to_string(dataSize) + " data bits"; }

std::string ParityText(uint8_t parity) {
    switch (parity) {
        case CPO::SET_PARITY_NONE: return "no parity";
        case CPO::SET_PARITY_ODD: return "odd parity";
        case CPO::SET_PARITY_EVEN: return "even parity";
        case CPO::SET_PARITY_MARK: return "mark parity";
        case CPO::SET_PARITY_SPACE: return "space parity";
        default: return "parity " + std::to_string(parity);
    }
}

std::string ControlText(uint8_t control) {
    switch (control) {
        case CPO::SET_CONTROL_FLOW_NONE: return "no flow control";
        case CPO::SET_CONTROL_FLOW_XONXOFF: return "XON/XOFF flow control";
        case CPO::SET_CONTROL_FLOW_HARDWARE: return "hardware flow control";
        case CPO::SET_CONTROL_BREAK_ON: return "break on";
        case CPO::SET_CONTROL_BREAK_OFF: return "break off";
        case CPO::SET_CONTROL_DTR_ON: return "DTR on";
        case CPO::SET_CONTROL_DTR_OFF: return "DTR off";
        case CPO::SET_CONTROL_RTS_ON: return "RTS on";
        case CPO::SET_CONTROL_RTS_OFF: return "RTS off";
        case CPO::SET_CONTROL_FLOW_NONE_IN: return "no inbound flow control";
        case CPO::SET_CONTROL_FLOW_XONXOFF_IN: return "inbound XON/XOFF flow control";
        case CPO::SET_CONTROL_FLOW_HARDWARE_IN: return "inbound hardware flow control";
        default: return "control " + std::to_string(control);
    }
}
