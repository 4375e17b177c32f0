// What the Debian package holds: its control fields, the programs and the
// driver where the run path expects them, desktop entries, icons, manual
// pages, and a clean bill from lintian.
#include <dlfcn.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/package/PackageTree.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string controlField(const std::string& package, const std::string& field) {
    const CommandResult r = runCommand("dpkg-deb -f " + shellQuoted(package) + " " + field, 30s);
    return r.status == 0 ? trimmed(r.output) : std::string();
}

// Permission bits, or -1 when the path does not exist (links not followed).
int modeOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::map<std::string, std::string> desktopEntry(const std::string& path) {
    std::map<std::string, std::string> keys;
    std::istringstream in(readFile(path));
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos && line[0] != '#') keys[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return keys;
}

// The words a unit file assigns to key, in order, over all its lines; an
// empty assignment clears what came before, as systemd reads it.
std::vector<std::string> unitWords(const std::string& unit, const std::string& key) {
    std::vector<std::string> words;
    std::istringstream in(unit);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + "=", 0) != 0) continue;
        std::istringstream value(line.substr(key.size() + 1));
        size_t before = words.size();
        for (std::string word; value >> word;) words.push_back(word);
        if (words.size() == before) words.clear();
    }
    return words;
}

class Package : public ::testing::Test {
protected:
    void SetUp() override {
        deb_ = builtPackage();
        ASSERT_FALSE(deb_.empty()) << "expected exactly one .deb in " ORVO_DEB_DIR;
        root_ = std::make_unique<ScratchRoot>(deb_);
        ASSERT_TRUE(root_->ok()) << root_->error();
    }
    std::string at(const std::string& installed) const { return root_->path(installed); }

    std::string deb_;
    std::unique_ptr<ScratchRoot> root_;
};

const std::vector<std::string> kPrograms = {"orvo", "kestrin", "vdev"};

}  // namespace

TEST_F(Package, ControlFieldsNameVersionAndDependencies) {
    const std::string arch = debianArchitecture();
    ASSERT_FALSE(arch.empty());
    EXPECT_EQ(fs::path(deb_).filename().string(), "orvo_" ORVO_VERSION "_" + arch + ".deb");

    EXPECT_EQ(controlField(deb_, "Package"), "orvo");
    EXPECT_EQ(controlField(deb_, "Version"), ORVO_VERSION);
    EXPECT_EQ(controlField(deb_, "Architecture"), arch);
    EXPECT_EQ(controlField(deb_, "Section"), "utils");
    EXPECT_NE(controlField(deb_, "Maintainer").find('@'), std::string::npos);

    // dpkg-shlibdeps found the libraries the programs link.
    const std::string depends = controlField(deb_, "Depends");
    EXPECT_NE(depends.find("libc6"), std::string::npos) << depends;
    EXPECT_NE(depends.find("libfltk1.3"), std::string::npos) << depends;
    EXPECT_NE(depends.find("libstdc++6"), std::string::npos) << depends;

    // A synopsis line and an extended description under it.
    const std::string description = controlField(deb_, "Description");
    const size_t firstBreak = description.find('\n');
    ASSERT_NE(firstBreak, std::string::npos) << "no extended description: " << description;
    EXPECT_GT(firstBreak, 10u);
    EXPECT_NE(description.find("kestrin"), std::string::npos);

    // Nothing runs at install or removal: the control archive holds only the
    // control file, the checksums and the list of configuration files (the
    // example configuration, the administrator's to change).
    const CommandResult contents = runCommand("dpkg-deb --ctrl-tarfile " + shellQuoted(deb_) + " | tar -t", 30s);
    ASSERT_EQ(contents.status, 0) << contents.output;
    std::istringstream names(contents.output);
    std::vector<std::string> files;
    for (std::string name; std::getline(names, name);)
        if (!name.empty() && name != "./") files.push_back(name);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"./conffiles", "./control", "./md5sums"}));
    const CommandResult conffiles = runCommand("dpkg-deb --info " + shellQuoted(deb_) + " conffiles", 30s);
    EXPECT_EQ(conffiles.output, "/etc/orvo/example.conf\n");
    EXPECT_NE(depends.find("libsystemd0"), std::string::npos) << depends;
}

TEST_F(Package, ProgramsAndDriverSitWhereTheRunPathFindsThem) {
    for (const std::string& program : kPrograms) {
        const std::string file = at("usr/bin/" + program);
        ASSERT_EQ(modeOf(file), 0755) << file;
        const CommandResult elf = runCommand("readelf -d -S " + shellQuoted(file), 30s);
        ASSERT_EQ(elf.status, 0) << elf.output;
        EXPECT_EQ(elf.output.find(".symtab"), std::string::npos) << program << " is not stripped";
        // The build tree never leaks into an installed program.
        EXPECT_EQ(elf.output.find(ORVO_BUILD_DIR), std::string::npos) << elf.output;
        if (program == "orvo") {
            EXPECT_NE(elf.output.find("[$ORIGIN/../lib/orvo]"), std::string::npos) << elf.output;
        }
    }

    const std::string driverName = driverFileName();
    ASSERT_FALSE(driverName.empty()) << "no driver is known for this machine";
    std::vector<std::string> libraries;
    for (const fs::directory_entry& entry : fs::directory_iterator(at("usr/lib/orvo")))
        if (entry.is_regular_file()) libraries.push_back(entry.path().filename().string());
    std::sort(libraries.begin(), libraries.end());
    EXPECT_EQ(libraries, (std::vector<std::string>{driverName, "orvo-windows"}));
    // orvo itself loads no window code; its window program finds the driver
    // beside it.
    const CommandResult orvoNeeds = runCommand("readelf -d " + shellQuoted(at("usr/bin/orvo")), 30s);
    EXPECT_EQ(orvoNeeds.output.find("libfltk"), std::string::npos) << orvoNeeds.output;
    EXPECT_EQ(orvoNeeds.output.find("libX11"), std::string::npos) << orvoNeeds.output;
    const std::string windows = at("usr/lib/orvo/orvo-windows");
    EXPECT_EQ(modeOf(windows), 0755);
    const CommandResult windowsElf = runCommand("readelf -d " + shellQuoted(windows), 30s);
    EXPECT_NE(windowsElf.output.find("[$ORIGIN]"), std::string::npos) << windowsElf.output;
    const std::string driver = at("usr/lib/orvo/" + driverName);
    EXPECT_EQ(modeOf(driver), 0644);

    // Stripping keeps what the library binds by name.
    void* handle = ::dlopen(driver.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    for (const char* op :
         {"SerGetLibVer", "SerOpenPort", "SerConfigure", "SerClosePort", "SerPutByte", "SerPutData", "SerGetByte",
          "SerGetData", "SerRxFlush", "SerTxFlush", "SerTxDrain", "SerRxReadyCount", "SerTxBufCount", "SerRxOverflow",
          "SerSetDTR", "SerSetRTS", "SerSendBreak", "SerSetTimeoutRx", "SerSetTimeoutTx", "SerGetTimeoutRx",
          "SerGetTimeoutTx", "SerSigCTS", "SerSigDSR", "SerSigCD", "SerSigFrameErr", "SerSigParityErr",
          "SerSigOverrun", "SerSigRing", "SerSigBreak", "SerFlowTask"}) {
        EXPECT_NE(::dlsym(handle, op), nullptr) << op;
    }
    ::dlclose(handle);

    // The directory for COMn links, empty and ready for the administrator.
    const std::string ports = at("usr/lib/orvo/ports");
    ASSERT_TRUE(fs::is_directory(ports));
    EXPECT_EQ(modeOf(ports), 0755);
    EXPECT_TRUE(fs::is_empty(ports));
}

TEST_F(Package, DesktopEntriesNameTheirProgramAndIcon) {
    ASSERT_TRUE(haveProgram("desktop-file-validate")) << "desktop-file-utils is not installed";
    for (const std::string& program : {std::string("orvo"), std::string("kestrin")}) {
        const std::string entry = at("usr/share/applications/" + program + ".desktop");
        ASSERT_EQ(modeOf(entry), 0644) << entry;
        const CommandResult valid = runCommand("desktop-file-validate " + shellQuoted(entry), 30s);
        EXPECT_EQ(valid.status, 0) << valid.output;
        EXPECT_EQ(valid.output, "") << valid.output;

        std::map<std::string, std::string> keys = desktopEntry(entry);
        EXPECT_EQ(keys["Type"], "Application");
        EXPECT_EQ(keys["Terminal"], "false");
        EXPECT_NE(keys["Categories"].find("Utility;"), std::string::npos);
        EXPECT_FALSE(keys["Comment"].empty());
        EXPECT_EQ(keys["Exec"], program);
        EXPECT_EQ(modeOf(at("usr/bin/" + keys["Exec"])), 0755);

        const std::string icon = at("usr/share/icons/hicolor/scalable/apps/" + keys["Icon"] + ".svg");
        ASSERT_EQ(modeOf(icon), 0644) << icon;
        const std::string svg = readFile(icon);
        EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
        EXPECT_NE(svg.find("viewBox=\"0 0 48 48\""), std::string::npos);
        EXPECT_NE(svg.find("</svg>"), std::string::npos);
    }
}

TEST_F(Package, ManualPagesRenderWithoutWarnings) {
    ASSERT_TRUE(haveProgram("man")) << "man-db is not installed";
    for (const std::string& program : kPrograms) {
        const std::string page = at("usr/share/man/man1/" + program + ".1.gz");
        ASSERT_EQ(modeOf(page), 0644) << page;
        const CommandResult text = runCommand("gzip -dc " + shellQuoted(page), 30s);
        ASSERT_EQ(text.status, 0) << text.output;
        EXPECT_EQ(text.output.find("@ORVO_"), std::string::npos) << program << ": a placeholder was left";
        EXPECT_NE(text.output.find("Orvo " ORVO_VERSION), std::string::npos) << program;
        for (const char* section : {".SH NAME", ".SH SYNOPSIS", ".SH DESCRIPTION", ".SH EXIT STATUS", ".SH SEE ALSO"})
            EXPECT_NE(text.output.find(section), std::string::npos) << program << ": " << section;

        // What lintian runs: any warning from the formatter is a fault.
        const CommandResult warnings = runCommand(
            "LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z " + shellQuoted(page) + " >/dev/null", 60s);
        EXPECT_EQ(warnings.status, 0) << warnings.output;
        EXPECT_EQ(warnings.output, "") << program << ": " << warnings.output;
    }
    // The server's page tells how port names reach devices and what to do
    // about permissions.
    const std::string orvo = runCommand("gzip -dc " + shellQuoted(at("usr/share/man/man1/orvo.1.gz")), 30s).output;
    for (const char* topic : {"ports", "/dev/ttyS", "dialout", "1000", "1002", "1003", "4F4B0D0A", "KILL", "CLOSE"})
        EXPECT_NE(orvo.find(topic), std::string::npos) << topic;

    EXPECT_EQ(modeOf(at("usr/share/doc/orvo/copyright")), 0644);
    const CommandResult changelog = runCommand("gzip -dc " + shellQuoted(at("usr/share/doc/orvo/changelog.gz")), 30s);
    EXPECT_EQ(changelog.output.rfind("orvo (" ORVO_VERSION ")", 0), 0u) << changelog.output;
}

TEST(PackageLint, LintianReportsNoErrorsOrWarnings) {
    ASSERT_TRUE(haveProgram("lintian")) << "lintian is not installed";
    const std::string deb = builtPackage();
    ASSERT_FALSE(deb.empty());
    // Errors and warnings both fail; informational tags are listed only.
    const CommandResult lint = runCommand("lintian --fail-on error,warning --tag-display-limit 0 " + shellQuoted(deb), 600s);
    std::cout << lint.output;
    EXPECT_EQ(lint.status, 0) << lint.output;
    EXPECT_EQ(lint.output.find("\nE: "), std::string::npos) << lint.output;
    EXPECT_NE(lint.output.rfind("E: ", 0), 0u) << lint.output;
}

// The service: its unit checks clean with systemd's own analyzer (against
// the unpacked program) and exposes little; it admits serial devices whose
// driver loads after it started; the example configuration is one the
// installed server takes, and its manual page renders.
TEST_F(Package, TheServiceUnitVerifiesIsHardenedAndItsExampleConfigurationIsValid) {
    ASSERT_TRUE(haveProgram("systemd-analyze")) << "systemd is not installed";
    const std::string unit = at("lib/systemd/system/orvo@.service");
    ASSERT_EQ(modeOf(unit), 0644) << unit;
    const std::string text = readFile(unit);

    // An address to listen on may come with the network.
    const auto holds = [](const std::vector<std::string>& words, const std::string& word) {
        return std::find(words.begin(), words.end(), word) != words.end();
    };
    EXPECT_TRUE(holds(unitWords(text, "Wants"), "network-online.target")) << text;
    EXPECT_TRUE(holds(unitWords(text, "After"), "network-online.target")) << text;
    // A port another program holds (status 1) is tried again; a refused
    // configuration (status 2) is not.
    EXPECT_EQ(unitWords(text, "Restart"), std::vector<std::string>{"on-failure"});
    EXPECT_EQ(unitWords(text, "RestartPreventExitStatus"), std::vector<std::string>{"2"});
    EXPECT_EQ(unitWords(text, "DevicePolicy"), std::vector<std::string>{"closed"});
    TempDir work;
    // The unit names /usr/bin/orvo; verify it against the unpacked one.
    const std::string copy = work.path() + "/orvo@test.service";
    const CommandResult edit = runCommand("sed 's|^ExecStart=/usr/bin/orvo |ExecStart=" + at("usr/bin/orvo") + " |' " +
                                              shellQuoted(unit) + " > " + shellQuoted(copy),
                                          30s);
    ASSERT_EQ(edit.status, 0) << edit.output;
    const CommandResult verify = runCommand("systemd-analyze verify --man=no " + shellQuoted(copy), 60s);
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_EQ(verify.output, "") << verify.output;

    const CommandResult security = runCommand("systemd-analyze security --offline=yes " + shellQuoted(copy), 60s);
    const size_t at = security.output.find("Overall exposure level for orvo@test.service: ");
    ASSERT_NE(at, std::string::npos) << security.output;
    const double exposure = std::stod(security.output.substr(at + std::string("Overall exposure level for orvo@test.service: ").size()));
    // What this unit measures; any loosening of the sandbox shows here.
    EXPECT_LE(exposure, 1.5) << security.output;

    // The device list as systemd read it (ProtectClock= adds char-rtc):
    // character devices as a whole class, read and write. systemd applies
    // "char-*" without looking up /proc/devices, so a serial driver loaded
    // after the start is admitted; a named group (char-ttyUSB, char-tty*) or a
    // node is looked up once, at the start. No block device, no mknod. File
    // permissions, through dialout, choose among the character devices.
    const CommandResult assessed =
        runCommand("systemd-analyze security --offline=yes --json=short " + shellQuoted(copy), 60s);
    std::smatch row;
    ASSERT_TRUE(std::regex_search(assessed.output, row,
                                  std::regex(R"re(\{[^{}]*"name":"DeviceAllow="[^{}]*"description":"([^"]*)")re")))
        << assessed.output;
    const std::string acl = row[1];
    const std::string listed = "Service has a device ACL with some special devices: ";
    ASSERT_EQ(acl.rfind(listed, 0), 0u) << acl;
    std::istringstream entries(acl.substr(listed.size()));
    std::vector<std::string> devices;
    for (std::string entry; entries >> entry;) devices.push_back(entry);
    EXPECT_TRUE(holds(devices, "char-*:rw")) << acl;
    for (const std::string& device : devices) {
        EXPECT_NE(device.rfind("char-", 0), std::string::npos) << "not a character device group: " << device;
        EXPECT_EQ(device.find('m', device.find(':')), std::string::npos) << "device nodes may be made: " << device;
    }

    const std::string example = this->at("etc/orvo/example.conf");
    EXPECT_EQ(modeOf(example), 0644);
    const CommandResult parse =
        runCommand(shellQuoted(this->at("usr/bin/orvo")) + " --config " + shellQuoted(example) + " --port /nonexistent --headless"
                   " --tcp-port 3008 --listen 127.0.0.1 & pid=$!; sleep 1; kill $pid; wait $pid; echo status=$?", 30s);
    EXPECT_NE(parse.output.find("Serial Port /nonexistent Could Not Open"), std::string::npos) << parse.output;
    EXPECT_NE(parse.output.find("status=0"), std::string::npos) << parse.output;

    const std::string page = this->at("usr/share/man/man5/orvo.conf.5.gz");
    EXPECT_EQ(modeOf(page), 0644);
    const CommandResult warnings = runCommand(
        "LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z " + shellQuoted(page) + " >/dev/null", 60s);
    EXPECT_EQ(warnings.output, "") << warnings.output;
}
