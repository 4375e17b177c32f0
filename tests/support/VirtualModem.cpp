#include "tests/support/VirtualModem.h"

#include <signal.h>

#include <chrono>
#include <optional>
#include <stdexcept>

VirtualModem::VirtualModem(const std::vector<std::string>& options) : link_(dir_.path() + "/modem") { start(options); }

VirtualModem::VirtualModem(const std::string& link, const std::vector<std::string>& options) : link_(link) {
    start(options);
}

void VirtualModem::start(const std::vector<std::string>& options) {
    std::vector<std::string> argv{programPath("vdev"), "--link", link_};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = std::make_unique<ChildProcess>(argv);
    // The terminal is announced once the link is in place.
    const std::optional<std::string> path = process_->readLine(std::chrono::seconds(10));
    if (!path) throw std::runtime_error("vdev did not start");
    path_ = *path;
}

void VirtualModem::vanish() { process_->signal(SIGUSR1); }

void VirtualModem::comeBack() {
    process_->signal(SIGUSR2);
    const std::optional<std::string> path = process_->readLine(std::chrono::seconds(10));
    if (!path) throw std::runtime_error("vdev did not come back");
    path_ = *path;
}
