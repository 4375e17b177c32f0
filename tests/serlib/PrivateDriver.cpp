#include "tests/serlib/PrivateDriver.h"

#include <filesystem>

PrivateDriver::PrivateDriver() {
    const std::string file = dir_.path() + "/" + std::filesystem::path(SERLIB_DRIVER_FILE).filename().string();
    std::filesystem::copy_file(SERLIB_DRIVER_FILE, file);
    ops_ = Serlib::Driver::loadFile(file);
    Serlib::Driver::install(ops_);
}

void PrivateDriver::linkPort(const std::string& name, const std::string& target) const {
    const std::filesystem::path ports = std::filesystem::path(dir_.path()) / "ports";
    std::filesystem::create_directories(ports);
    // A new link renamed over the old one: the name never goes missing.
    const std::filesystem::path link = ports / name;
    const std::filesystem::path fresh = ports / (name + ".new");
    std::filesystem::remove(fresh);
    std::filesystem::create_symlink(target, fresh);
    std::filesystem::rename(fresh, link);
}

void PrivateDriver::unlinkPort(const std::string& name) const {
    std::filesystem::remove(std::filesystem::path(dir_.path()) / "ports" / name);
}

Record::Record(const std::string& portName, int32_t port, const std::string& baseName)
    : name(portName.begin(), portName.end()), base(baseName.begin(), baseName.end()) {
    // A record without a name carries one zero byte.
    if (name.empty()) name.push_back(0);
    if (base.empty()) base.push_back(0);
    rec.port = port;
    rec.portName = name.data();
    rec.portNameLen = static_cast<int32_t>(name.size());
    rec.baseName = base.data();
    rec.baseNameLen = static_cast<int32_t>(base.size());
    rec.txLen = 2048;
    rec.rxLen = 4096;
    rec.bitRate = 7;
    rec.dataBits = 3;
}
