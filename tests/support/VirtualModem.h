#pragma once
// The virtual modem program (vdev) as a test's serial device: a pseudo-
// terminal reached through a link, which can be pulled and plugged back in
// under the same link, on a new terminal. Ends with the object.
#include <memory>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

class VirtualModem {
public:
    // vdev with options; the link is made in a directory of the modem's own.
    explicit VirtualModem(const std::vector<std::string>& options = {});
    // vdev with its link at a fixed path (made, or moved to the terminal, by
    // vdev; removed when it ends), for a program that names the device the
    // same way every time, such as a COM port of wine mapped to that path.
    VirtualModem(const std::string& link, const std::vector<std::string>& options);
    const std::string& link() const { return link_; }
    // The terminal the link names now.
    const std::string& path() const { return path_; }
    // The modem's process, which keeps its terminal open too.
    pid_t pid() const { return process_->pid(); }
    // SIGUSR1: the terminal goes away, its link soon after.
    void vanish();
    // SIGUSR2: a new terminal, the link moved to it once this returns.
    void comeBack();

private:
    void start(const std::vector<std::string>& options);

    TempDir dir_;
    std::string link_;
    std::string path_;
    std::unique_ptr<ChildProcess> process_;
};
