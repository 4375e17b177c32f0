#pragma once
// A program started by a test: its standard output is read line by line, and
// the process is ended (SIGTERM, then SIGKILL) and reaped when the object goes.
//
// A child must never outlive its test: one left holding ctest's output pipe
// hangs the whole run. So it runs in a process group of its own, which the
// destructor ends with everything the child started in it; the kernel kills
// it when the test dies without running destructors (FLTK calls exit() when
// it cannot open the display); and its standard error goes to a file, copied
// to the test's standard error when the object goes, never to the test's own
// stderr. The kernel ties the child to the thread that started it, so start
// it on a thread that lives as long as the object.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class ChildProcess {
public:
    // argv[0] is the program's path. Extra environment entries "NAME=value"
    // are added to the test's own environment.
    explicit ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // The next line of standard output, or nothing when the time ran out or
    // the output ended.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Reads lines until one equals text; the lines read on the way are kept
    // in seen(). False when the time ran out or the output ended first.
    bool waitForLine(const std::string& text, std::chrono::milliseconds timeout);
    // The same for a line that contains text, as a log line with a time
    // stamp or a Windows console line, which ends in CR LF.
    bool waitForText(const std::string& text, std::chrono::milliseconds timeout);
    const std::vector<std::string>& seen() const { return seen_; }

    // To the child alone, not its group.
    void signal(int sig);
    // The exit status, or nothing when it did not end in time (or was killed
    // by a signal: then -signal).
    std::optional<int> wait(std::chrono::milliseconds timeout);

private:
    // Reads lines, keeping them in seen(), until one is wanted.
    bool waitFor(const std::function<bool(const std::string&)>& wanted, std::chrono::milliseconds timeout);
    // Ends the child and then what is left of its group.
    void endGroup();
    // Copies what the child wrote to its standard error to the test's.
    void replayErrors();

    pid_t pid_ = -1;  // also the id of its process group
    int out_ = -1;
    int errors_ = -1;  // the unlinked file behind the child's stderr
    std::string buffer_;
    std::vector<std::string> seen_;
    bool reaped_ = false;
    int status_ = 0;
};

// The path of a program built into build/bin.
std::string programPath(const std::string& name);

// text quoted for /bin/sh, as one word.
std::string shellQuoted(const std::string& text);
// argv as a /bin/sh command: each word quoted, run through the emulator as
// ChildProcess runs a program of the build.
std::string shellCommand(const std::vector<std::string>& argv);

// The build tree's ports/ folder beside the serial driver (made when
// missing), where COMn links name devices.
std::string portsDirectory();

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A folder seen through an overlay whose inode numbers take more than 32
// bits (a lower layer on another file system, with xino), as the image
// layers of a container can show it: a 32-bit program built without
// large-file support cannot even lstat what is in it (EOVERFLOW). The
// overlay exists only in the mount namespace of the command wrap() makes,
// so neither the real folder nor any other test sees it. Needs root.
class WideInodeFolder {
public:
    // folder will show the symbolic links name -> target.
    WideInodeFolder(std::string folder, std::vector<std::pair<std::string, std::string>> links);
    // A command that mounts the overlay in a mount namespace of its own
    // (unshare -m), prints "inode N" for the first link, then runs argv
    // (through the emulator, as ChildProcess runs a program of the build).
    // Where the overlay cannot be mounted it prints "no overlay" instead and
    // ends with status 0.
    std::vector<std::string> wrap(const std::vector<std::string>& argv) const;

private:
    std::string folder_;
    std::vector<std::pair<std::string, std::string>> links_;
    TempDir layers_;  // the upper and work layers, on this machine's temporary folder
};
