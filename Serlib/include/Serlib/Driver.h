#pragma once
// The loaded native driver: the one-time library initialisation (choose the
// driver name for the host, load lib<name>.so, report on the console) and the
// table of its 30 bound operations. Thread-safe.
#include <string>

#include "Serlib/HostInfo.h"
#include "Serlib/SerDriver.h"

namespace Serlib {

struct DriverOps {
    int32_t (*SerGetLibVer)();
    int32_t (*SerOpenPort)(SerConfigRec*);
    int32_t (*SerConfigure)(const SerConfigRec*);
    int32_t (*SerClosePort)(int32_t);
    int32_t (*SerPutByte)(int32_t, int32_t);
    int32_t (*SerPutData)(int32_t, const uint8_t*, int32_t);
    int32_t (*SerGetByte)(int32_t);
    int32_t (*SerGetData)(int32_t, uint8_t*, int32_t);
    int32_t (*SerRxFlush)(int32_t);
    int32_t (*SerTxFlush)(int32_t);
    int32_t (*SerTxDrain)(int32_t);
    int32_t (*SerRxReadyCount)(int32_t);
    int32_t (*SerTxBufCount)(int32_t);
    int32_t (*SerRxOverflow)(int32_t);
    int32_t (*SerSetDTR)(int32_t, int32_t);
    int32_t (*SerSetRTS)(int32_t, int32_t);
    int32_t (*SerSendBreak)(int32_t, int32_t);
    int32_t (*SerSetTimeoutRx)(int32_t, int32_t);
    int32_t (*SerSetTimeoutTx)(int32_t, int32_t);
    int32_t (*SerGetTimeoutRx)(int32_t);
    int32_t (*SerGetTimeoutTx)(int32_t);
    int32_t (*SerSigCTS)(int32_t);
    int32_t (*SerSigDSR)(int32_t);
    int32_t (*SerSigCD)(int32_t);
    int32_t (*SerSigFrameErr)(int32_t);
    int32_t (*SerSigParityErr)(int32_t);
    int32_t (*SerSigOverrun)(int32_t);
    int32_t (*SerSigRing)(int32_t);
    int32_t (*SerSigBreak)(int32_t);
    int32_t (*SerFlowTask)(int32_t);
    // Optional (see SerDriver.h): null when the driver lacks them.
    int32_t (*SerWaitRx)(int32_t, int32_t);
    int32_t (*SerSetBreak)(int32_t, int32_t);
};

class Driver {
public:
    // Runs the initialisation once per process (later calls return at once):
    // prints "SerialPort class loaded: <name>", or the load error line, or
    // "Platform not supported" and ends the process with status 1.
    static void initialise();
    // The bound operations; raises DriverLoadError when no driver is loaded.
    static const DriverOps& ops();
    // The driver table: the library name for a host, empty when none fits.
    static std::string nameFor(const HostInfo& host);
    // For tests: use these operations instead of loading a library, and
    // count the initialisation as done.
    static void install(const DriverOps& ops);
    // Loads a driver library file (a path, or a file name searched like any
    // dlopen name) and binds its 30 operations; DriverLoadError with the
    // loader's own text when the file or an operation is missing. The library
    // stays loaded for the life of the process.
    static DriverOps loadFile(const std::string& file);
};

}  // namespace Serlib
