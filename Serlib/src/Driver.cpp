#include "Serlib/Driver.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>

#include "Serlib/IOError.h"
#include "SharedLibrary.h"

namespace Serlib {

namespace {

struct DriverState {
    std::once_flag initialised;
    std::mutex mutex;
    // Tables are never freed: a thread may still be calling through an
    // older table when a test installs a new one.
    std::deque<DriverOps> tables;
    std::atomic<const DriverOps*> active{nullptr};
    std::string loadError = "no driver library loaded";
};

DriverState& state() {
    static DriverState s;
    return s;
}

void activate(const DriverOps& ops) {
    DriverState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.tables.push_back(ops);
    s.active.store(&s.tables.back());
}

template <typename Fn>
void bind(const SharedLibrary& library, const char* symbol, Fn& slot) {
    void* address = library.symbol(symbol);
    if (address == nullptr) {
        throw DriverLoadError(std::string("undefined symbol: ") + symbol);
    }
    // POSIX guarantees that dlsym's object pointer converts to the function,
    // and Windows' entry points are such pointers.
    static_assert(sizeof(slot) == sizeof(address), "function and object pointers differ");
    std::memcpy(&slot, &address, sizeof(slot));
}

// An operation a driver may lack: its slot stays null then.
template <typename Fn>
void bindOptional(const SharedLibrary& library, const char* symbol, Fn& slot) {
    void* address = library.symbol(symbol);
    if (address != nullptr) std::memcpy(&slot, &address, sizeof(slot));
}

DriverOps bindAll(SharedLibrary handle) {
    DriverOps ops{};
    try {
        bind(handle, "SerGetLibVer", ops.SerGetLibVer);
        bind(handle, "SerOpenPort", ops.SerOpenPort);
        bind(handle, "SerConfigure", ops.SerConfigure);
        bind(handle, "SerClosePort", ops.SerClosePort);
        bind(handle, "SerPutByte", ops.SerPutByte);
        bind(handle, "SerPutData", ops.SerPutData);
        bind(handle, "SerGetByte", ops.SerGetByte);
        bind(handle, "SerGetData", ops.SerGetData);
        bind(handle, "SerRxFlush", ops.SerRxFlush);
        bind(handle, "SerTxFlush", ops.SerTxFlush);
        bind(handle, "SerTxDrain", ops.SerTxDrain);
        bind(handle, "SerRxReadyCount", ops.SerRxReadyCount);
        bind(handle, "SerTxBufCount", ops.SerTxBufCount);
        bind(handle, "SerRxOverflow", ops.SerRxOverflow);
        bind(handle, "SerSetDTR", ops.SerSetDTR);
        bind(handle, "SerSetRTS", ops.SerSetRTS);
        bind(handle, "SerSendBreak", ops.SerSendBreak);
        bind(handle, "SerSetTimeoutRx", ops.SerSetTimeoutRx);
        bind(handle, "SerSetTimeoutTx", ops.SerSetTimeoutTx);
        bind(handle, "SerGetTimeoutRx", ops.SerGetTimeoutRx);
        bind(handle, "SerGetTimeoutTx", ops.SerGetTimeoutTx);
        bind(handle, "SerSigCTS", ops.SerSigCTS);
        bind(handle, "SerSigDSR", ops.SerSigDSR);
        bind(handle, "SerSigCD", ops.SerSigCD);
        bind(handle, "SerSigFrameErr", ops.SerSigFrameErr);
        bind(handle, "SerSigParityErr", ops.SerSigParityErr);
        bind(handle, "SerSigOverrun", ops.SerSigOverrun);
        bind(handle, "SerSigRing", ops.SerSigRing);
        bind(handle, "SerSigBreak", ops.SerSigBreak);
        bind(handle, "SerFlowTask", ops.SerFlowTask);
        bindOptional(handle, "SerWaitRx", ops.SerWaitRx);
        bindOptional(handle, "SerSetBreak", ops.SerSetBreak);
    } catch (const DriverLoadError&) {
        // A library without the whole contract is not a driver; drop it.
        handle.close();
        throw;
    }
    return ops;
}

void runInitialisation() {
    const HostInfo host = Host::current();
    const std::string name = Driver::nameFor(host);
    if (name.empty()) {
        std::cout << "Platform not supported" << std::endl;
        std::exit(1);
    }
    try {
        activate(bindAll(SharedLibrary::openByName(name)));
        std::cout << "SerialPort class loaded: " << name << std::endl;
    } catch (const DriverLoadError& error) {
        {
            DriverState& s = state();
            std::lock_guard<std::mutex> lock(s.mutex);
            s.loadError = error.what();
        }
        std::cout << error.what() << ": Check that native library " << name
                  << " is in proper directory" << std::endl;
    }
}

}  // namespace

void Driver::initialise() {
    std::call_once(state().initialised, runInitialisation);
}

const DriverOps& Driver::ops() {
    initialise();
    DriverState& s = state();
    const DriverOps* table = s.active.load();
    if (table == nullptr) {
        std::lock_guard<std::mutex> lock(s.mutex);
        throw DriverLoadError(s.loadError);
    }
    return *table;
}

void Driver::install(const DriverOps& ops) {
    // Counts as the initialisation, so no library is looked for afterwards.
    std::call_once(state().initialised, [] {});
    activate(ops);
}

DriverOps Driver::loadFile(const std::string& file) {
    return bindAll(SharedLibrary::openFile(file));
}

std::string Driver::nameFor(const HostInfo& host) {
    const std::string& os = host.osName;
    const std::string& arch = host.osArch;
    std::string name;
    if (os == "Windows 95" || os == "Windows NT") {
        name = "sdrvWin";
        if (host.runtimeVersion == "1.0.2" || host.runtimeVersion == "102") {
            name = "sdrvWinNm";
        }
        if (host.runtimeVendor == "Microsoft Corp.") {
            name = "sdrvWinRni";
            if (host.runtimeVersion == "1.0.2") {
                name = "sdrvWinRnia";
            }
        }
    }
    if (os == "Windows CE") {
        name = "sdrvWce";
    }
    if (os == "OS/2") {
        name = "sdrvos2j";
    }
    if (os == "Mac OS") {
        name = "sdrvMac";
    }
    if (os == "Linux") {
        if (arch == "x86") {
            name = "sdrvLux86";
        } else if (arch == "amd64") {
            name = "sdrvLux64";
        } else if (arch == "aarch64") {
            name = "sdrvLuxA64";
        } else if (arch == "arm") {
            name = "sdrvLuxArm";
        }
    }
    if (os == "FreeBSD" && (arch == "i386" || arch == "x86")) {
        name = "sdrvBsdx86";
    }
    if (os == "Solaris" || os == "SunOS") {
        if (arch == "x86") {
            name = "sdrvSolx86";
        } else if (arch == "sparc") {
            name = "sdrvSolSparc";
        }
    }
    if (os == "HP-UX" && arch == "PA-RISC") {
        name = "sdrvHpxPaRisc";
    }
    if (os == "Irix" && arch == "mips") {
        name = "sdrvIrxMips";
    }
    if (os == "AIX" && arch == "POWER_PC") {
        name = "sdrvAixPpc";
    }
    return name;
}

}  // namespace Serlib
