#pragma once
// The built Debian package and a scratch root it is unpacked into, for tests
// that check what a user gets from `dpkg -i` without installing it.
#include <chrono>
#include <string>

#include "tests/support/ChildProcess.h"

struct CommandResult {
    int status = -1;     // exit status; -1 when the command did not end in time
    std::string output;  // standard output and standard error together
};

// Runs a command line with /bin/sh; ended when it runs longer than timeout.
CommandResult runCommand(const std::string& shellCommand, std::chrono::seconds timeout = std::chrono::seconds(120));
bool haveProgram(const std::string& name);

// The one package that the package_build step made; empty when there is not
// exactly one.
std::string builtPackage();
// dpkg's name for this machine's architecture (amd64, arm64, i386, ...).
std::string debianArchitecture();
// The driver library the server loads on this machine, e.g. libsdrvLux64.so.
std::string driverFileName();

// The package unpacked with dpkg -x into a fresh temporary directory, removed
// with it.
class ScratchRoot {
public:
    explicit ScratchRoot(const std::string& package);
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    // An installed path such as "usr/bin/orvo", inside the scratch root.
    std::string path(const std::string& installed) const;

private:
    TempDir dir_;
    bool ok_ = false;
    std::string error_;
};
