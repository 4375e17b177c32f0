// SDRVWIN.DLL as a program sees it: the file, its exports and imports, and
// the failure of every operation on a handle that names no open port.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <set>
#include <string>

#include "tests/windriver/TestRecord.h"

namespace windriver {

void expectEveryOperationFails(int32_t h) {
    SCOPED_TRACE("handle " + std::to_string(h));
    uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(SerPutByte(h, 'x'), -1);
    EXPECT_EQ(SerPutData(h, buf, 4), -1);
    EXPECT_EQ(SerGetByte(h), -1);
    EXPECT_EQ(SerGetData(h, buf, 4), -1);
    EXPECT_EQ(SerRxFlush(h), -1);
    EXPECT_EQ(SerTxFlush(h), -1);
    EXPECT_EQ(SerTxDrain(h), -1);
    EXPECT_EQ(SerRxReadyCount(h), -1);
    EXPECT_EQ(SerTxBufCount(h), -1);
    EXPECT_EQ(SerRxOverflow(h), -1);
    EXPECT_EQ(SerSetDTR(h, 1), -1);
    EXPECT_EQ(SerSetRTS(h, 1), -1);
    EXPECT_EQ(SerSendBreak(h, 1), -1);
    EXPECT_EQ(SerSetTimeoutRx(h, 10), -1);
    EXPECT_EQ(SerSetTimeoutTx(h, 10), -1);
    EXPECT_EQ(SerGetTimeoutRx(h), -1);
    EXPECT_EQ(SerGetTimeoutTx(h), -1);
    EXPECT_EQ(SerSigCTS(h), -1);
    EXPECT_EQ(SerSigDSR(h), -1);
    EXPECT_EQ(SerSigCD(h), -1);
    EXPECT_EQ(SerSigFrameErr(h), -1);
    EXPECT_EQ(SerSigParityErr(h), -1);
    EXPECT_EQ(SerSigOverrun(h), -1);
    EXPECT_EQ(SerSigRing(h), -1);
    EXPECT_EQ(SerSigBreak(h), -1);
    EXPECT_EQ(SerFlowTask(h), -1);
    EXPECT_EQ(SerWaitRx(h, 10), -1);
    EXPECT_EQ(SerClosePort(h), -1);
}

namespace {

const IMAGE_DATA_DIRECTORY& directory(HMODULE module, int which) {
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return nt->OptionalHeader.DataDirectory[which];
}

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

TEST(SdrvWinDll, IsOneFileExportingExactlyTheContractAndNeedingOnlyWindows) {
    // Linked at load time: the program could not have started without it.
    const HMODULE module = ::GetModuleHandleA("SDRVWIN.DLL");
    ASSERT_NE(module, nullptr);
    char path[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameA(module, path, MAX_PATH), 0u);
    const std::string file(path);
    EXPECT_EQ(file.substr(file.find_last_of("\\/") + 1), "SDRVWIN.DLL");

    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(
        base + directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::set<std::string> exported;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        exported.insert(reinterpret_cast<const char*>(base + names[i]));
    }
    const std::set<std::string> contract = {
        "SerGetLibVer",    "SerOpenPort",     "SerConfigure",    "SerClosePort",    "SerPutByte",
        "SerPutData",      "SerGetByte",      "SerGetData",      "SerRxFlush",      "SerTxFlush",
        "SerTxDrain",      "SerRxReadyCount", "SerTxBufCount",   "SerRxOverflow",   "SerSetDTR",
        "SerSetRTS",       "SerSendBreak",    "SerSetTimeoutRx", "SerSetTimeoutTx", "SerGetTimeoutRx",
        "SerGetTimeoutTx", "SerSigCTS",       "SerSigDSR",       "SerSigCD",        "SerSigFrameErr",
        "SerSigParityErr", "SerSigOverrun",   "SerSigRing",      "SerSigBreak",     "SerFlowTask",
        "SerWaitRx",       "SerSetBreak"};
    EXPECT_EQ(exported, contract);
    EXPECT_EQ(exports->NumberOfFunctions, contract.size());
    // The names a program binds at run time, as the library does.
    using Generic = void (*)();
    const auto version = reinterpret_cast<int32_t (*)()>(reinterpret_cast<Generic>(::GetProcAddress(module, "SerGetLibVer")));
    const auto open =
        reinterpret_cast<int32_t (*)(SerConfigRec*)>(reinterpret_cast<Generic>(::GetProcAddress(module, "SerOpenPort")));
    ASSERT_NE(version, nullptr);
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(version(), 100);
    EXPECT_EQ(open(nullptr), SER_OPEN_NOT_VALID);

    // No run-time DLL of the compiler (libstdc++, libgcc, libwinpthread).
    const std::set<std::string> windows = {"kernel32.dll", "msvcrt.dll", "ntdll.dll", "user32.dll", "advapi32.dll"};
    const auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
        base + directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress);
    int imports = 0;
    for (; import->Name != 0; ++import, ++imports) {
        const std::string dll = lower(reinterpret_cast<const char*>(base + import->Name));
        EXPECT_TRUE(windows.count(dll) != 0 || dll.rfind("api-ms-win-", 0) == 0) << dll;
    }
    EXPECT_GT(imports, 0);
    EXPECT_EQ(SerGetLibVer(), 100);
}

TEST(SdrvWinDll, HandlesNotOpenFailEveryOperation) {
    for (const int32_t h : {-1, 0, 7, 1000, INT32_MAX - 1, INT32_MAX, INT32_MIN}) {
        expectEveryOperationFails(h);
    }
    EXPECT_EQ(SerOpenPort(nullptr), SER_OPEN_NOT_VALID);
    EXPECT_EQ(SerConfigure(nullptr), SER_CONFIG_NOT_OPEN);
    // A record that names no port, and one whose port is not open.
    TestRecord nothing;
    EXPECT_EQ(SerOpenPort(nothing.get()), SER_OPEN_NOT_VALID);
    TestRecord notOpen("COM77");
    EXPECT_EQ(SerConfigure(notOpen.get()), SER_CONFIG_NOT_OPEN);
    // Settings are judged first, as the record alone shows them bad.
    notOpen.fields().bitRate = 30;
    EXPECT_EQ(SerConfigure(notOpen.get()), SER_CONFIG_BAD_SETTING);
    notOpen.fields().bitRate = SER_BR_EXACT | 250000;  // a good one: the port is what is missing
    EXPECT_EQ(SerConfigure(notOpen.get()), SER_CONFIG_NOT_OPEN);
}

}  // namespace
}  // namespace windriver
