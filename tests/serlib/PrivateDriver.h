#pragma once
// The real driver for the driver's tests: a private copy of the built driver
// (so its ports/ directory belongs to one test alone), and a configuration
// record as the driver receives it.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "Serlib/Driver.h"

class PrivateDriver {
public:
    // Copies the built driver into a fresh directory, binds it and makes it
    // the library's driver.
    PrivateDriver();
    const Serlib::DriverOps& ops() const { return ops_; }
    const std::string& dir() const { return dir_.path(); }
    // Makes (or moves) ports/<name> beside the driver point at target.
    void linkPort(const std::string& name, const std::string& target) const;
    // Removes ports/<name>, as the system removes the node of a pulled
    // device (so no later reopen can reach a terminal another test got).
    void unlinkPort(const std::string& name) const;

private:
    TempDir dir_;
    Serlib::DriverOps ops_{};
};

// A configuration record as the driver receives it, owning its name bytes.
struct Record {
    explicit Record(const std::string& portName, int32_t port = 0, const std::string& baseName = "");
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    SerConfigRec* get() { return &rec; }

    std::vector<uint8_t> name;
    std::vector<uint8_t> base;
    SerConfigRec rec{};
};
