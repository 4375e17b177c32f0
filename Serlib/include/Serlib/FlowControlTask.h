#pragma once
// Background thread that services hardware flow control by calling the
// driver's SerFlowTask back to back. Only SerialPortLocal creates, starts and
// stops it.
#include <atomic>
#include <thread>

namespace Serlib {

class SerialPortLocal;

class FlowControlTask {
public:
    // Captures the port's handle now; prints "FlowControlTask created".
    explicit FlowControlTask(SerialPortLocal& serPort);
    ~FlowControlTask();  // stops the thread
    FlowControlTask(const FlowControlTask&) = delete;
    FlowControlTask& operator=(const FlowControlTask&) = delete;

    // Starts the thread; a task that was stopped is never started again.
    void start();
    // Asks the loop to end and waits until the current SerFlowTask returns.
    void stop();
    // Priorities are negated nice values: a larger number is more urgent.
    // Raising one needs privilege; false when the host refused or the
    // thread is not running.
    bool setFlowPriority(int pri);
    // The running thread's priority; before it runs, the caller's own.
    int getFlowPriority() const;
    // True while the thread is inside its loop.
    bool isRunning() const { return threadId.load() != 0; }
    int getPortNum() const { return portNum; }

private:
    void run();

    SerialPortLocal& sp;
    const int portNum;
    std::atomic<bool> stopRequested{false};
    std::atomic<long> threadId{0};  // kernel id of the running thread
    std::thread thread;
};

}  // namespace Serlib
