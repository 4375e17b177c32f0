#include "tests/package/PackageTree.h"

#include <sys/utsname.h>

#include <filesystem>
#include <optional>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

CommandResult runCommand(const std::string& shellCommand, std::chrono::seconds timeout) {
    // The trailing echo ends the last line, so a final line without a line
    // feed is not lost; the command's own status is kept.
    ChildProcess child({"/bin/sh", "-c", "{ " + shellCommand + "\n} 2>&1; s=$?; echo; exit $s"});
    CommandResult result;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return result;
        std::optional<std::string> line = child.readLine(left);
        if (!line) break;
        result.output += *line + "\n";
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (std::optional<int> status = child.wait(std::max(left, std::chrono::milliseconds(1000)))) result.status = *status;
    // Drop the line the trailing echo added.
    if (result.output.size() >= 2 && result.output.compare(result.output.size() - 2, 2, "\n\n") == 0)
        result.output.pop_back();
    else if (result.output == "\n")
        result.output.clear();
    return result;
}

bool haveProgram(const std::string& name) {
    return runCommand("command -v " + shellQuoted(name) + " >/dev/null", std::chrono::seconds(10)).status == 0;
}

std::string builtPackage() {
    std::error_code error;
    std::string found;
    int count = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(ORVO_DEB_DIR, error)) {
        if (entry.path().extension() == ".deb") {
            found = entry.path().string();
            ++count;
        }
    }
    return count == 1 ? found : std::string();
}

std::string debianArchitecture() {
    CommandResult r = runCommand("dpkg --print-architecture", std::chrono::seconds(10));
    while (!r.output.empty() && (r.output.back() == '\n' || r.output.back() == '\r')) r.output.pop_back();
    return r.status == 0 ? r.output : std::string();
}

std::string driverFileName() {
    struct utsname names {};
    if (::uname(&names) != 0) return {};
    const std::string machine = names.machine;
    if (machine == "x86_64") return "libsdrvLux64.so";
    if (machine == "aarch64" || machine == "arm64") return "libsdrvLuxA64.so";
    if (machine == "i386" || machine == "i486" || machine == "i586" || machine == "i686") return "libsdrvLux86.so";
    return {};
}

ScratchRoot::ScratchRoot(const std::string& package) {
    if (package.empty()) {
        error_ = "no package in " ORVO_DEB_DIR " (the package_build step makes it)";
        return;
    }
    const CommandResult r = runCommand("dpkg -x " + shellQuoted(package) + " " + shellQuoted(dir_.path()));
    ok_ = r.status == 0;
    if (!ok_) error_ = "dpkg -x failed: " + r.output;
}

std::string ScratchRoot::path(const std::string& installed) const { return dir_.path() + "/" + installed; }
