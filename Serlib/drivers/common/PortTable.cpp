#include "Serlib/drivers/common/PortTable.h"

#include <climits>

#include "Serlib/drivers/common/Record.h"

namespace sdrv {

PortTable& PortTable::instance() {
    static PortTable table;
    return table;
}

int32_t PortTable::freePathNumber() const {
    int32_t n = kFirstPathPortNumber;
    while (ports_.count(n) != 0 && n < INT32_MAX) {
        ++n;
    }
    return n;
}

int32_t PortTable::open(SerConfigRec* cfg) {
    if (cfg == nullptr) {
        return SER_OPEN_NOT_VALID;
    }
    const std::optional<PortName> name = resolvePortName(*cfg);
    if (!name) {
        return SER_OPEN_NOT_VALID;
    }
    // Held across the open, so two threads opening one port cannot both
    // get it.
    std::lock_guard<std::mutex> lock(mutex_);
    if (name->number > 0 && ports_.count(name->number) != 0) {
        return SER_OPEN_ALREADY_OPEN;
    }
    // One device under two names is one port: opening it twice would let
    // two users interleave bytes on one line (and Windows would refuse the
    // second open as a sharing violation, which reads as another program's).
    for (const auto& entry : ports_) {
        if (entry.second->holds(*name)) {
            return SER_OPEN_ALREADY_OPEN;
        }
    }
    const int32_t number = name->number > 0 ? name->number : freePathNumber();
    auto port = std::make_shared<Port>(*name, number);
    const int32_t rc = port->open(*cfg);
    if (rc != 0) {
        return rc;
    }
    ports_.emplace(number, std::move(port));
    cfg->port = number;
    return 0;
}

int32_t PortTable::close(int32_t handle) {
    std::shared_ptr<Port> port;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = handle >= 0 && handle < INT32_MAX ? ports_.find(handle + 1) : ports_.end();
        if (it == ports_.end()) {
            return -1;
        }
        port = std::move(it->second);
        ports_.erase(it);
    }
    // Outside the table's lock: the port may be busy in another thread, and
    // its close waits for that operation to end.
    port->close();
    return 0;
}

std::shared_ptr<Port> PortTable::find(int32_t handle) {
    if (handle < 0 || handle == INT32_MAX) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = ports_.find(handle + 1);
    return it == ports_.end() ? nullptr : it->second;
}

std::shared_ptr<Port> PortTable::findFor(const SerConfigRec& cfg) {
    if (cfg.port > 0) {
        return find(cfg.port - 1);
    }
    const std::optional<PortName> name = resolvePortName(cfg);
    if (!name) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : ports_) {
        if (entry.second->holds(*name)) {
            return entry.second;
        }
    }
    return nullptr;
}

}  // namespace sdrv
