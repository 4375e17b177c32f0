#include "ThreadPriority.h"

#include <windows.h>

namespace Serlib {

namespace {

// A handle to the thread of that id with the given rights, closed by the
// caller; null when the thread is gone.
HANDLE openThread(long tid, DWORD rights) {
    return ::OpenThread(rights, FALSE, static_cast<DWORD>(tid));
}

}  // namespace

long currentThreadId() {
    return static_cast<long>(::GetCurrentThreadId());
}

bool readPriority(long tid, int& priority) {
    HANDLE thread = openThread(tid, THREAD_QUERY_LIMITED_INFORMATION);
    if (thread == nullptr) return false;
    const int value = ::GetThreadPriority(thread);
    ::CloseHandle(thread);
    if (value == THREAD_PRIORITY_ERROR_RETURN) return false;
    priority = value;
    return true;
}

bool writePriority(long tid, int priority) {
    HANDLE thread = openThread(tid, THREAD_SET_LIMITED_INFORMATION);
    if (thread == nullptr) return false;
    const bool set = ::SetThreadPriority(thread, priority) != 0;
    ::CloseHandle(thread);
    return set;
}

}  // namespace Serlib
