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

    void start();
    // Asks the loop to end and waits until the current SerFlowTask returns.
    void stop();
    void setFlowPriority(int pri);
    int getFlowPriority() const;
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
