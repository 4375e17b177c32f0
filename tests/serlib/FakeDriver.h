#pragma once
// A scripted driver table for the library's tests: each operation answers
// what the test set and records how it was called. install() replaces the
// process's driver with it. Not thread-safe except SerFlowTask's counters.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "Serlib/Driver.h"

struct FakeDriver {
    // What the operations answer.
    int openResult = 0;
    int32_t openedNumber = 1;  // stored into a record that names its port by name
    int configureResult = 0;
    int closeResult = 0;
    int putByteResult = 0;
    int acceptLimit = -1;  // SerPutData accepts at most this many (-1: all)
    int getDataResult = 0; // used when failGetData is set
    bool failGetData = false;
    bool failReady = false;
    int setTimeoutResult = 0;
    int txBufCountResult = 0;
    std::map<std::string, int> queryResults;  // "SerSigCD" -> value; default 0

    // Bytes the device sends, each visible from its time on.
    struct Pending {
        std::chrono::steady_clock::time_point at;
        uint8_t byte;
    };
    std::deque<Pending> rx;
    void deliver(const std::string& bytes, std::chrono::milliseconds after = std::chrono::milliseconds(0));

    // What happened.
    std::vector<std::string> calls;  // operation names in call order
    std::vector<int32_t> handles;    // the handle of each call (-2 when none)
    std::vector<uint8_t> sent;       // every byte accepted by SerPutByte/SerPutData
    std::vector<int32_t> putCounts;  // the count of each SerPutData call
    std::vector<int32_t> dtrLevels;  // the level of each SerSetDTR call
    SerConfigRec lastConfigure{};
    int32_t timeoutRx = 0;
    int32_t timeoutTx = 0;
    std::atomic<long> flowCalls{0};
    std::atomic<int32_t> flowHandle{-2};

    int count(const std::string& op) const;
    bool called(const std::string& op) const { return count(op) > 0; }
    int readyCount() const;

    // Resets everything and makes this the process's driver.
    static FakeDriver& install();
    static FakeDriver& current();
};
