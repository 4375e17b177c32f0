#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "tests/serlib/FakeDriver.h"
#include "Serlib/Driver.h"
#include "Serlib/HostInfo.h"
#include "Serlib/SerialPortLocal.h"

using Serlib::Driver;
using Serlib::Host;
using Serlib::HostInfo;
using Serlib::ScopedHostOverride;
using Serlib::SerialPortLocal;

namespace {

std::string driverFor(const std::string& os, const std::string& arch, const std::string& vendor = "GNU",
                      const std::string& version = "2.36") {
    return Driver::nameFor(HostInfo{os, arch, vendor, version});
}

}  // namespace

TEST(HostNames, UnameMachineAndSystemNamesMapToTheTablesNames) {
    EXPECT_EQ(Host::archName("x86_64"), "amd64");
    for (const char* m : {"i386", "i486", "i586", "i686"}) {
        EXPECT_EQ(Host::archName(m), "x86") << m;
    }
    EXPECT_EQ(Host::archName("i786"), "i786");
    EXPECT_EQ(Host::archName("aarch64"), "aarch64");
    for (const char* m : {"armv6l", "armv7l", "armv8l"}) {
        EXPECT_EQ(Host::archName(m), "arm") << m;
    }
    EXPECT_EQ(Host::archName("arm64"), "arm64");
    EXPECT_EQ(Host::osNameOf("Linux"), "Linux");
    EXPECT_EQ(Host::osNameOf("IRIX64"), "Irix");
}

TEST(HostNames, A32BitProgramOnItsFamilys64BitKernelRunsAsItself) {
    EXPECT_EQ(Host::programArch("amd64", "x86"), "x86");
    EXPECT_EQ(Host::programArch("aarch64", "arm"), "arm");
    EXPECT_EQ(Host::programArch("amd64", "amd64"), "amd64");
    EXPECT_EQ(Host::programArch("aarch64", "aarch64"), "aarch64");
    EXPECT_EQ(Host::programArch("x86", "x86"), "x86");
    EXPECT_EQ(Host::programArch("arm", "arm"), "arm");
    // Not of one family, or a build of no known name: the kernel's.
    EXPECT_EQ(Host::programArch("aarch64", "x86"), "aarch64");
    EXPECT_EQ(Host::programArch("amd64", "arm"), "amd64");
    EXPECT_EQ(Host::programArch("sparc64", ""), "sparc64");
    EXPECT_EQ(Host::programArch("amd64", ""), "amd64");
}

TEST(HostNames, TheRealHostRunsAsTheArchitectureTheLibraryWasBuiltFor) {
    // Whatever uname says of the kernel: x86_64 under an i686 build here.
    ASSERT_FALSE(Host::builtArch().empty()) << "every platform this is built for has a name";
    EXPECT_EQ(Host::real().osArch, Host::builtArch());
}

TEST(HostNames, OverridesNestAndTheRealHostComesBack) {
    const HostInfo real = Host::real();
    EXPECT_EQ(real.osName, "Linux");
    EXPECT_FALSE(real.osArch.empty());
    {
        ScopedHostOverride outer(HostInfo{"Mac OS", "ppc", "", ""});
        EXPECT_EQ(Host::current().osName, "Mac OS");
        {
            ScopedHostOverride inner(HostInfo{"Irix", "mips", "", ""});
            EXPECT_EQ(Host::current().osArch, "mips");
        }
        EXPECT_EQ(Host::current().osName, "Mac OS");
        EXPECT_EQ(Host::real().osName, "Linux");
    }
    EXPECT_EQ(Host::current().osName, real.osName);
    EXPECT_EQ(Host::current().osArch, real.osArch);
}

TEST(DriverTable, LinuxRowsNameOneDriverPerArchitecture) {
    EXPECT_EQ(driverFor("Linux", "x86"), "sdrvLux86");
    EXPECT_EQ(driverFor("Linux", "amd64"), "sdrvLux64");
    EXPECT_EQ(driverFor("Linux", "aarch64"), "sdrvLuxA64");
    EXPECT_EQ(driverFor("Linux", "arm"), "sdrvLuxArm");
    EXPECT_EQ(driverFor("Linux", "armv7l"), "") << "the architecture's name, not uname's";
    EXPECT_EQ(driverFor("Linux", "sparc"), "");
    EXPECT_EQ(driverFor("linux", "amd64"), "");
}

TEST(DriverTable, WindowsRowsLookAtTheRuntimeTexts) {
    EXPECT_EQ(driverFor("Windows 95", "x86", "Sun", "1.1"), "sdrvWin");
    EXPECT_EQ(driverFor("Windows NT", "x86", "Sun", "102"), "sdrvWinNm");
    EXPECT_EQ(driverFor("Windows NT", "x86", "Sun", "1.0.2"), "sdrvWinNm");
    EXPECT_EQ(driverFor("Windows NT", "x86", "Microsoft Corp.", "1.1"), "sdrvWinRni");
    EXPECT_EQ(driverFor("Windows NT", "x86", "Microsoft Corp.", "102"), "sdrvWinRni");
    EXPECT_EQ(driverFor("Windows 95", "x86", "Microsoft Corp.", "1.0.2"), "sdrvWinRnia");
    EXPECT_EQ(driverFor("Windows 98", "x86", "Microsoft Corp.", "1.0.2"), "");
}

TEST(DriverTable, OtherPlatformRows) {
    EXPECT_EQ(driverFor("Windows CE", "arm"), "sdrvWce");
    EXPECT_EQ(driverFor("OS/2", "x86"), "sdrvos2j");
    EXPECT_EQ(driverFor("Mac OS", "ppc"), "sdrvMac");
    EXPECT_EQ(driverFor("FreeBSD", "i386"), "sdrvBsdx86");
    EXPECT_EQ(driverFor("FreeBSD", "x86"), "sdrvBsdx86");
    EXPECT_EQ(driverFor("FreeBSD", "amd64"), "");
    EXPECT_EQ(driverFor("Solaris", "x86"), "sdrvSolx86");
    EXPECT_EQ(driverFor("SunOS", "sparc"), "sdrvSolSparc");
    EXPECT_EQ(driverFor("Solaris", "sparc"), "sdrvSolSparc");
    EXPECT_EQ(driverFor("HP-UX", "PA-RISC"), "sdrvHpxPaRisc");
    EXPECT_EQ(driverFor("HP/UX", "PA-RISC"), "");
    EXPECT_EQ(driverFor("Irix", "mips"), "sdrvIrxMips");
    EXPECT_EQ(driverFor("AIX", "POWER_PC"), "sdrvAixPpc");
    EXPECT_EQ(driverFor("BeOS", "x86"), "");
}

// The feature table, as each new port object sees its host.
struct FeatureRow {
    const char* os;
    const char* devName;
    bool polls;
    const char* supported;    // names answering true, space-separated
};

class FeatureTable : public ::testing::TestWithParam<FeatureRow> {};

TEST_P(FeatureTable, FlagsDeviceAndPollingFollowTheHost) {
    FakeDriver::install();
    const FeatureRow& row = GetParam();
    ScopedHostOverride h(HostInfo{row.os, "x86", "", ""});
    SerialPortLocal port;
    EXPECT_EQ(port.defaultDevice(), row.devName);
    EXPECT_EQ(port.pollsGetDataTimeout(), row.polls);
    const std::string supported = std::string(" ") + row.supported + " ";
    for (const char* name : {"sigBreak", "sigFrameErr", "sigOverrun", "sigParityErr", "rxOverflow", "sigRing",
                             "sigCTS", "sigDSR", "sigCD", "setRTS", "setDTR", "rxReadyCount", "txBufCount",
                             "setTimeoutTx"}) {
        const bool expected = supported.find(std::string(" ") + name + " ") != std::string::npos;
        EXPECT_EQ(port.isSupported(name), expected) << row.os << " " << name;
    }
    // Names outside the table are always supported.
    EXPECT_TRUE(port.isSupported("sendBreak"));
    EXPECT_TRUE(port.isSupported("getTimeoutTx"));
    // The port's own record names the default device and no number.
    const Serlib::Bytes& name = port.getConfig()->getPortName();
    EXPECT_EQ(std::string(name.begin(), name.end()), row.devName[0] ? row.devName : std::string());
    EXPECT_EQ(port.getPortNum(), -1);
    EXPECT_FALSE(port.isOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, FeatureTable,
    ::testing::Values(
        FeatureRow{"Windows NT", "COM1", false,
                   "sigBreak sigFrameErr sigOverrun sigParityErr rxOverflow sigRing sigCTS sigDSR sigCD setRTS setDTR "
                   "rxReadyCount txBufCount setTimeoutTx"},
        FeatureRow{"OS/2", "COM1", false,
                   "sigBreak sigFrameErr sigOverrun sigParityErr rxOverflow sigRing sigCTS sigDSR sigCD setRTS setDTR "
                   "rxReadyCount txBufCount setTimeoutTx"},
        FeatureRow{"Mac OS", "Modem Port", true,
                   "sigBreak sigFrameErr sigParityErr sigOverrun rxOverflow rxReadyCount setTimeoutTx sigCTS setDTR"},
        FeatureRow{"Linux", "/dev/ttyS0", true, "sigRing setRTS setDTR sigCD rxReadyCount txBufCount sigCTS sigDSR"},
        FeatureRow{"Solaris", "/dev/ttya", true, "sigRing setRTS setDTR sigCD rxReadyCount txBufCount sigCTS sigDSR"},
        FeatureRow{"AIX", "/dev/tty0", true, "sigRing setRTS setDTR sigCD rxReadyCount txBufCount sigCTS sigDSR"},
        FeatureRow{"Irix", "/dev/tty0", true, "sigRing sigCD rxReadyCount txBufCount sigDSR"},
        FeatureRow{"Windows CE", "", false, ""}, FeatureRow{"SunOS", "", false, ""},
        FeatureRow{"HP-UX", "", false, ""}),
    [](const ::testing::TestParamInfo<FeatureRow>& info) {
        std::string name;
        for (const char* c = info.param.os; *c; ++c) {
            if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
        }
        return name;
    });
