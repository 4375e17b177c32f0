#include "Serlib/drivers/win/IoRequest.h"

namespace sdrv {

IoRequest::IoRequest() : event_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    overlapped_.hEvent = event_.get();
}

IoOutcome IoRequest::finish(const DeviceHandle::Use& use, BOOL done, DWORD startError, DWORD waitMs) {
    IoOutcome out;
    if (!done && startError != ERROR_IO_PENDING) {
        out.error = startError;
        return out;
    }
    if (!done) {
        const HANDLE waits[2] = {event_.get(), use.closing()};
        const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, waitMs);
        if (woke != WAIT_OBJECT_0) {
            out.cutShort = true;
            out.closing = woke == WAIT_OBJECT_0 + 1;
            // Fails with ERROR_NOT_FOUND when the request ended meanwhile,
            // which the result below then reports as it is.
            ::CancelIoEx(use.device(), &overlapped_);
        }
    }
    // Waits even for a cancelled request: the system writes into the
    // OVERLAPPED and the caller's buffer until it has ended.
    if (!::GetOverlappedResult(use.device(), &overlapped_, &out.count, TRUE)) {
        out.error = ::GetLastError();
    }
    return out;
}

}  // namespace sdrv
