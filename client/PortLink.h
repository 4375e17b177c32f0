#pragma once
// The name a program opens the local port by: a symbolic link to the
// pseudo-terminal, made when kestrin starts and removed when it ends.
//
// What is already there decides whether the name may be taken. A symbolic
// link to a pseudo-terminal that no longer exists (/dev/pts/N gone: nothing
// holds its master, as after a kestrin that was killed) is kestrin's to
// replace; anything else is someone's and is refused: a file, a directory, a
// link to elsewhere, or a link to a pseudo-terminal that is open (another
// kestrin, a terminal window). The replacement is one rename, so a program
// never finds the name missing. On the way out the link is removed only
// while it still names this terminal.
//
// Threads: one thread uses it.
#include <string>

class PortLink {
public:
    // Makes link name target; raises std::runtime_error with the reason
    // when the name is taken or cannot be made.
    PortLink(std::string link, std::string target);
    ~PortLink();
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    const std::string& link() const { return link_; }

private:
    std::string link_;
    std::string target_;
};
