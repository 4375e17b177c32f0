#include "Serlib/drivers/win/DeviceHandle.h"

#include <utility>

namespace sdrv {

DeviceHandle::DeviceHandle(UniqueHandle device, UniqueHandle closing)
    : device_(std::move(device)), closing_(std::move(closing)) {}

DeviceHandle::~DeviceHandle() {
    close();
}

DeviceHandle::Use::Use(Use&& other) noexcept : owner_(other.owner_) {
    other.owner_ = nullptr;
}

DeviceHandle::Use::~Use() {
    if (owner_ != nullptr) {
        owner_->leave();
    }
}

DeviceHandle::Use DeviceHandle::use() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
        return Use(nullptr);
    }
    ++users_;
    return Use(this);
}

void DeviceHandle::leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--users_ == 0) {
        idle_.notify_all();
    }
}

void DeviceHandle::close() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) {
        return;
    }
    closed_ = true;
    // Writes and waits under way see the event and cancel their requests.
    ::SetEvent(closing_.get());
    idle_.wait(lock, [this] { return users_ == 0; });
    device_.reset();
}

bool DeviceHandle::closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

}  // namespace sdrv
