#pragma once
// One overlapped request on a device (a ReadFile, WriteFile or
// WaitCommEvent): its OVERLAPPED with an event of its own, and the wait for
// its end, bounded by a time and by the port's closing event. A request
// still running when the wait ends is cancelled, and the count it had
// transferred until then is still reported: Windows fills in the count of a
// cancelled write, which is what a send time-out must return.
#include <windows.h>

#include "Serlib/drivers/win/DeviceHandle.h"
#include "Serlib/drivers/win/UniqueHandle.h"

namespace sdrv {

struct IoOutcome {
    DWORD count = 0;        // bytes transferred, also by a request cut short
    DWORD error = 0;        // the request's failure (ERROR_OPERATION_ABORTED once cancelled), 0 when none
    bool cutShort = false;  // the wait ended (time or closing) before the request did
    bool closing = false;   // the port is being closed
};

class IoRequest {
public:
    IoRequest();
    IoRequest(const IoRequest&) = delete;
    IoRequest& operator=(const IoRequest&) = delete;

    // False when no event could be made; the request must not be started.
    bool valid() const { return event_.valid(); }

    // Starts the request with start(OVERLAPPED*), which makes the system
    // call and returns its result, and waits for its end at most waitMs
    // milliseconds (INFINITE: no limit). The buffers the call was given must
    // live until this returns; it returns only once the system is done with
    // them, even after a cancel.
    template <typename Start>
    IoOutcome run(const DeviceHandle::Use& use, DWORD waitMs, Start start) {
        const BOOL done = start(&overlapped_);
        const DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
        return finish(use, done, error, waitMs);
    }

private:
    IoOutcome finish(const DeviceHandle::Use& use, BOOL done, DWORD startError, DWORD waitMs);

    UniqueHandle event_;
    OVERLAPPED overlapped_{};
};

}  // namespace sdrv
