#pragma once
// The driver's open ports by handle (port number - 1), over the platform's
// port (PlatformPort.h). Thread-safe; a port found here stays usable by its
// finder even if another thread closes it.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "Serlib/SerDriver.h"
#include "Serlib/drivers/common/PlatformPort.h"

namespace sdrv {

class PortTable {
public:
    static PortTable& instance();

    // SerOpenPort: 0 with cfg->port set to the port's number, or an
    // open-result code.
    int32_t open(SerConfigRec* cfg);
    // 0, or -1 when the handle names no open port.
    int32_t close(int32_t handle);
    // Null for -1 and for every handle not open.
    std::shared_ptr<Port> find(int32_t handle);
    // The open port a record describes: by its number, else by its name.
    std::shared_ptr<Port> findFor(const SerConfigRec& cfg);

private:
    int32_t freePathNumber() const;

    std::mutex mutex_;
    std::map<int32_t, std::shared_ptr<Port>> ports_;  // by port number
};

}  // namespace sdrv
