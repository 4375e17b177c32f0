#pragma once
// The soak and fault tests' bridge: the real controller on a free loopback
// port with a recording view. The clients, devices and process counts they
// use come from the test toolkit.
#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/Eventually.h"
#include "tests/support/LineClient.h"
#include "server/LocalCAM.h"
#include "tests/support/ProcessState.h"
#include "tests/support/RecordingStatusView.h"
#include "server/SerOutPort.h"
#include "tests/support/ViewLog.h"

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// serialPort is the device path (or one that does not open, for a fake port
// put in by openPort).
std::unique_ptr<LocalCAM> startController(const std::string& serialPort, const std::shared_ptr<ViewLog>& log,
                                          SerOutPort::PortFactory openPort = SerOutPort::OpenLocalPort,
                                          LocalCAM::Options options = LocalCAM::Options());
// For a fake device that answers as it is written to: no answer wait, so
// thousands of exchanges fit in seconds.
LocalCAM::Options instantAnswers();

// Every soak test ends with this: a new client is greeted, its AT answered
// with answerToAT, and its KILL with CLOSE.
void expectFreshClientServed(int port, const std::string& answerToAT);
