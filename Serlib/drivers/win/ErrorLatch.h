#pragma once
// The line errors a port's device reported (CE_FRAME, CE_RXPARITY,
// CE_OVERRUN, CE_RXOVER, CE_BREAK). ClearCommError reports and clears the
// device's errors at every call, and several operations call it (the ready
// count, the queue count, a wait, the error queries), so what any call saw
// is kept here until the query for that error takes it: each error is
// reported once, by its own query, whichever call saw it.
#include <windows.h>

#include <atomic>

namespace sdrv {

class ErrorLatch {
public:
    // Keeps the errors one ClearCommError call reported.
    void add(DWORD errors) { seen_.fetch_or(errors); }
    // Whether any of bits was seen since these bits were last taken; the
    // bits are cleared, the other errors stay.
    bool take(DWORD bits) { return (seen_.fetch_and(~bits) & bits) != 0; }

private:
    std::atomic<DWORD> seen_{0};
};

}  // namespace sdrv
