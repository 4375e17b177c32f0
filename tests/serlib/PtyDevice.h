#pragma once
// Test helpers for the real driver: a pseudo-terminal whose master end plays
// the serial device, a private copy of the built driver (so its ports/
// directory belongs to one test alone), and a configuration record as the
// driver receives it.
#include <termios.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Serlib/Driver.h"

class PtyDevice {
public:
    PtyDevice();
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    // The terminal a program opens as its serial port.
    const std::string& path() const { return path_; }
    int master() const { return master_; }
    // The device is pulled: the master end closes and the terminal hangs up.
    void vanish();

    void send(const std::string& bytes);
    // What the port wrote, once at least `count` bytes came or the time ran out.
    std::string receive(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // The terminal's settings as the port left them.
    termios settings() const;

private:
    int master_ = -1;
    std::string path_;
};

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

// Descriptors this process has open now.
int openDescriptorCount();
// Threads this process runs now.
int threadCount();
