#pragma once
// What a terminal device tells about its users.
#include <sys/types.h>
#include <termios.h>

#include <optional>
#include <string>
#include <vector>

// Whether the terminal at path is held for exclusive use (TIOCEXCL): a
// program that ended without closing its port leaves it so wherever another
// process keeps the device open, and every later opener but root is refused.
// Read through TIOCGEXCL, since root itself is not turned away; where that is
// not passed on (qemu-user), by an open as nobody. Nothing when that cannot
// be told.
std::optional<bool> exclusiveUse(const std::string& path);

// The processes that have the terminal at path open right now (any of
// their descriptors names it), from /proc: whether a program gave its port
// back where no exclusive use tells, as under wine, which takes none.
// Raises std::runtime_error when /proc cannot be read.
std::vector<pid_t> terminalUsers(const std::string& path);

// Whether a terminal keeps the mark/space parity flag (CMSPAR) it is given:
// qemu-user drops it on the way to the kernel, so a driver that checks what
// the terminal took refuses mark and space parity there.
bool terminalsKeepMarkParity();

// Whether a terminal keeps the speed it is given: qemu-user passes only the
// speeds of its own table on to the kernel (none above 460800 in 7.2), so a
// driver that checks what the terminal took refuses the others there.
bool terminalsKeepSpeed(speed_t speed);

// Whether a terminal takes a break held and released by request (TIOCSBRK,
// TIOCCBRK): qemu-user (7.2) knows neither request and refuses both, so a
// driver that holds a break reports the failure there.
bool terminalsHoldBreak();
