#pragma once
// The handle of an open communications device, shared by the operations of
// one port, which run in several threads at once (one writes while another
// asks for the ready count). An operation holds a Use while it calls the
// system with the handle. close() lets no new Use in and sets the closing
// event, which every wait of an operation also waits on, so a pending write
// or wait ends at once; the handle itself is closed only when the last Use
// has ended. No operation ever passes a closed handle, whose value Windows
// may already have given to another object.
#include <windows.h>

#include <condition_variable>
#include <mutex>

#include "Serlib/drivers/win/UniqueHandle.h"

namespace sdrv {

class DeviceHandle {
public:
    // closing is a manual-reset event, not set.
    DeviceHandle(UniqueHandle device, UniqueHandle closing);
    ~DeviceHandle();
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;

    class Use {
    public:
        Use(Use&& other) noexcept;
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        Use& operator=(Use&&) = delete;

        // False once the port is closed: the operation must fail.
        explicit operator bool() const { return owner_ != nullptr; }
        HANDLE device() const { return owner_->device_.get(); }
        HANDLE closing() const { return owner_->closing_.get(); }

    private:
        friend class DeviceHandle;
        explicit Use(DeviceHandle* owner) : owner_(owner) {}
        DeviceHandle* owner_;
    };

    Use use();
    void close();
    bool closed() const;

private:
    void leave();

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    int users_ = 0;
    bool closed_ = false;
    UniqueHandle device_;
    UniqueHandle closing_;
};

}  // namespace sdrv
