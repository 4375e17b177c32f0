#include "Serlib/FlowControlTask.h"

#include <iostream>

#include "Serlib/SerialPortLocal.h"
#include "ThreadPriority.h"

namespace Serlib {


FlowControlTask::FlowControlTask(SerialPortLocal& serPort) : sp(serPort), portNum(serPort.getPortNum()) {
    std::cout << "FlowControlTask created" << std::endl;
}

FlowControlTask::~FlowControlTask() {
    stop();
}

void FlowControlTask::start() {
    if (thread.joinable() || stopRequested.load()) {
        return;  // a task runs once; the port object makes a new one when needed
    }
    thread = std::thread([this] { run(); });
}

void FlowControlTask::stop() {
    stopRequested.store(true);
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
        thread.join();
    }
}

void FlowControlTask::run() {
    const long tid = currentThreadId();
    threadId.store(tid);
    int started = 0;
    // Raising a priority needs privilege on Linux; without it the task runs
    // at its creator's priority, which only costs latency.
    if (readPriority(tid, started)) {
        static_cast<void>(writePriority(tid, started + 1));
    }
    while (!stopRequested.load()) {
        try {
            static_cast<void>(sp.SerFlowTask(portNum));
        } catch (...) {
            // No driver to drive: there is nothing left for the task to do.
            break;
        }
    }
    threadId.store(0);
}

bool FlowControlTask::setFlowPriority(int pri) {
    const long tid = threadId.load();
    if (tid == 0) {
        return false;
    }
    return writePriority(tid, pri);
}

int FlowControlTask::getFlowPriority() const {
    const long tid = threadId.load();
    int priority = 0;
    // Before the thread runs (or after it ended) the answer is the calling
    // thread's priority, the one a new task starts from.
    if (!readPriority(tid == 0 ? currentThreadId() : tid, priority)) {
        return 0;
    }
    return priority;
}

}  // namespace Serlib
