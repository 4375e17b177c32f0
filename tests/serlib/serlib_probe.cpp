// serlib_probe: a separate program using the serial port library, for tests
// that need a second process or a fresh library initialisation.
//
//   serlib_probe init [OS ARCH]   initialise (as host OS/ARCH when given),
//                                 then report whether the driver answers
//   serlib_probe open PATH [TEXT] open the port at PATH (and send TEXT), and
//                                 report the outcome
#include <iostream>
#include <memory>
#include <string>

#include "Serlib/Driver.h"
#include "Serlib/HostInfo.h"
#include "Serlib/SerialPortLocal.h"

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "init") {
        std::unique_ptr<Serlib::ScopedHostOverride> host;
        if (argc > 3) {
            host = std::make_unique<Serlib::ScopedHostOverride>(Serlib::HostInfo{argv[2], argv[3], "", ""});
        }
        Serlib::Driver::initialise();
        try {
            const int version = Serlib::Driver::ops().SerGetLibVer();
            std::cout << "driver version " << version << std::endl;
        } catch (const Serlib::DriverLoadError& e) {
            std::cout << "no driver: " << e.what() << std::endl;
        }
        return 0;
    }
    if (mode == "open" && argc > 2) {
        try {
            Serlib::SerialPortLocal port(std::make_shared<Serlib::SerialConfig>(argv[2]));
            if (argc > 3) port.putString(argv[3]);
            std::cout << "opened " << port.getPortNum() << std::endl;
        } catch (const Serlib::IOError& e) {
            std::cout << e.what() << std::endl;
        }
        return 0;
    }
    std::cerr << "usage: serlib_probe init [OS ARCH] | open PATH [TEXT]" << std::endl;
    return 2;
}
