// Through termios2 (TCGETS2/TCSETS2), which carries the bit rate as a
// number: a program may set any rate (BOTHER), not only the B* codes. Its
// header and <termios.h> define the same names, so this file has only the
// kernel's.
#include "client/PseudoTerminal.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace CPO = ComPortOption;

namespace {

std::system_error failure(const std::string& what) { return std::system_error(errno, std::generic_category(), what); }

// The rates with a code of their own; any other goes as BOTHER, a number.
struct RateCode {
    uint32_t rate;
    tcflag_t code;
};
constexpr RateCode kRateCodes[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

void setRate(termios2& tio, uint32_t rate) {
    tcflag_t code = BOTHER;
    for (const RateCode& known : kRateCodes) {
        if (known.rate == rate) code = known.code;
    }
    // A code is what programs reading the settings with tcgetattr understand.
    tio.c_cflag = (tio.c_cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | code;
    tio.c_ispeed = rate;
    tio.c_ospeed = rate;
}

termios2 get(int fd) {
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0) throw failure("TCGETS2");
    return tio;
}

void set(int fd, const termios2& tio) {
    if (::ioctl(fd, TCSETS2, &tio) != 0) throw failure("TCSETS2");
}

}  // namespace

PseudoTerminal::PseudoTerminal() {
    master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!master_.valid()) throw failure("posix_openpt");
    if (::grantpt(master_.get()) != 0) throw failure("grantpt");
    if (::unlockpt(master_.get()) != 0) throw failure("unlockpt");
    char name[64];
    if (::ptsname_r(master_.get(), name, sizeof name) != 0) throw failure("ptsname_r");
    path_ = name;
    terminal_.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!terminal_.valid()) throw failure("open " + path_);
    const int on = 1;
    if (::ioctl(master_.get(), TIOCPKT, &on) != 0) throw failure("TIOCPKT");

    // What cfmakeraw gives, at 9600 bit/s; the line's own settings replace
    // these once the server has told them.
    termios2 tio = get(terminal_.get());
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_lflag |= EXTPROC;
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    setRate(tio, 9600);
    set(terminal_.get(), tio);
}

size_t PseudoTerminal::Read(char* buffer, size_t size, uint8_t* status) {
    *status = 0;
    for (;;) {
        const ssize_t n = ::read(master_.get(), buffer, size);
        if (n > 0) {
            // Packet mode: a status byte alone, or TIOCPKT_DATA and the bytes.
            if (buffer[0] != TIOCPKT_DATA) {
                *status = static_cast<uint8_t>(buffer[0]);
                return 0;
            }
            std::memmove(buffer, buffer + 1, static_cast<size_t>(n - 1));
            return static_cast<size_t>(n - 1);
        }
        if (n == 0 || errno == EAGAIN) return 0;
        if (errno != EINTR) throw failure("read " + path_);
    }
}

size_t PseudoTerminal::Write(const char* data, size_t n) {
    for (;;) {
        const ssize_t written = ::write(master_.get(), data, n);
        if (written >= 0) return static_cast<size_t>(written);
        if (errno == EAGAIN) return 0;
        if (errno != EINTR) throw failure("write " + path_);
    }
}

PortSettings PseudoTerminal::Settings() const {
    const termios2 tio = get(master_.get());
    PortSettings settings;
    settings.baud = tio.c_ospeed;
    settings.stopSize = (tio.c_cflag & CSTOPB) != 0 ? CPO::SET_STOPSIZE_2 : CPO::SET_STOPSIZE_1;
    settings.flow = (tio.c_cflag & CRTSCTS) != 0              ? CPO::SET_CONTROL_FLOW_HARDWARE
                    : (tio.c_iflag & (IXON | IXOFF)) != 0     ? CPO::SET_CONTROL_FLOW_XONXOFF
                                                              : CPO::SET_CONTROL_FLOW_NONE;
    return settings;
}

bool PseudoTerminal::KeepExtproc() {
    termios2 tio = get(master_.get());
    if ((tio.c_lflag & EXTPROC) != 0) return false;
    tio.c_lflag |= EXTPROC;
    set(master_.get(), tio);
    return true;
}

void PseudoTerminal::Apply(const PortSettings& settings) {
    termios2 tio = get(master_.get());
    setRate(tio, settings.baud);
    if (settings.stopSize == CPO::SET_STOPSIZE_2) {
        tio.c_cflag |= CSTOPB;
    } else {
        tio.c_cflag &= ~CSTOPB;
    }
    tio.c_cflag &= ~CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF);
    if (settings.flow == CPO::SET_CONTROL_FLOW_HARDWARE) tio.c_cflag |= CRTSCTS;
    if (settings.flow == CPO::SET_CONTROL_FLOW_XONXOFF) tio.c_iflag |= IXON | IXOFF;
    tio.c_lflag |= EXTPROC;
    set(master_.get(), tio);
}
