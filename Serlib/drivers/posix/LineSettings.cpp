#include "Serlib/drivers/posix/LineSettings.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

#include <cerrno>

namespace sdrv {

namespace {

// The termios speed of each standard code, in code order (Serlib/BitRates.h).
constexpr speed_t kSpeeds[] = {B110,     B150,     B300,     B600,     B1200,    B2400,    B4800,    B9600,
                               B19200,   B38400,   B57600,   B115200,  B50,      B75,      B134,     B200,
                               B1800,    B230400,  B460800,  B500000,  B576000,  B921600,  B1000000, B1152000,
                               B1500000, B2000000, B2500000, B3000000, B3500000, B4000000};
static_assert(sizeof kSpeeds / sizeof kSpeeds[0] == Serlib::bitrates::kStandardCodes, "a speed for every code");
constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};

// The device majors of pseudo-terminal slaves: Unix 98 (136 to 143) and BSD.
constexpr unsigned int kFirstPtySlaveMajor = 136;
constexpr unsigned int kPtySlaveMajors = 8;
constexpr unsigned int kBsdPtySlaveMajor = 3;

int32_t errnoResult() {
    return SER_ERRNO_BASE + errno;
}

int tcsetattrRetrying(int fd, const termios& tio) {
    int rc;
    do {
        rc = ::tcsetattr(fd, TCSANOW, &tio);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

void makeRaw(termios& tio) {
    ::cfmakeraw(&tio);
    // The port ignores the modem's carrier, and reads return at once with
    // what is there: time-outs are kept above the terminal, not in it.
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

}  // namespace

termios termiosFor(const termios& present, const LineSettings& s) {
    termios tio = present;
    makeRaw(tio);
    tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    tio.c_cflag |= kSizes[s.dataBits];
    if (s.stopBits == 1) {
        tio.c_cflag |= CSTOPB;
    }
    if (s.parity == kParityOdd) {
        tio.c_cflag |= PARENB | PARODD;
    } else if (s.parity == kParityEven) {
        tio.c_cflag |= PARENB;
    } else if (s.parity == kParityMark) {
        // Stick parity: with PARODD the parity bit is always 1 (mark).
        tio.c_cflag |= PARENB | PARODD | CMSPAR;
    }
    const int32_t mode = s.handshake & kModeMask;
    // Linux drives RTS/CTS as one pair, so either In or Out asks for both.
    if (mode == kModeCtsRts || (s.handshake & (kHardIn | kHardOut)) != 0) {
        tio.c_cflag |= CRTSCTS;
    }
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (mode == kModeXonXoff || (s.handshake & kSoftOut) != 0) {
        tio.c_iflag |= IXON;   // the far end's XON/XOFF pause our output
    }
    if (mode == kModeXonXoff || (s.handshake & kSoftIn) != 0) {
        tio.c_iflag |= IXOFF;  // we send XON/XOFF to pause the far end
    }
    // Cannot fail: every speed in the table is a valid one, and settingsFrom
    // lets only standard codes through.
    static_cast<void>(::cfsetispeed(&tio, kSpeeds[s.bitRate]));
    static_cast<void>(::cfsetospeed(&tio, kSpeeds[s.bitRate]));
    return tio;
}

bool isPseudoTerminal(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    // Unix 98 pseudo-terminal slaves (/dev/pts/N) and the old BSD ones.
    const unsigned int m = major(st.st_rdev);
    return (m >= kFirstPtySlaveMajor && m < kFirstPtySlaveMajor + kPtySlaveMajors) || m == kBsdPtySlaveMajor;
}

int32_t applySettings(int fd, const LineSettings& s) {
    termios present{};
    if (::tcgetattr(fd, &present) != 0) {
        return errnoResult();
    }
    termios wanted = termiosFor(present, s);
    if (isPseudoTerminal(fd)) {
        // A pseudo-terminal keeps no character size and no parity (Linux
        // always shows CS8 without PARENB) and refuses with EINVAL a change
        // of nothing else; it carries bytes, not bits. Its own framing stays,
        // and the port takes the record's as a line would.
        constexpr tcflag_t framing = CSIZE | PARENB;
        wanted.c_cflag = (wanted.c_cflag & ~framing) | (present.c_cflag & framing);
    }
    if (tcsetattrRetrying(fd, wanted) != 0) {
        return errnoResult();
    }
    // tcsetattr succeeds when any part was taken, so read back what the
    // terminal kept. Only the speed and the kind of parity are held to it:
    // some terminals keep no framing at all (a pseudo-terminal is always
    // 8 bits without parity), and a UART without stick parity would
    // otherwise turn mark parity into odd parity without a word.
    termios now{};
    if (::tcgetattr(fd, &now) != 0) {
        return errnoResult();
    }
    if (::cfgetospeed(&now) != ::cfgetospeed(&wanted) || (now.c_cflag & CMSPAR) != (wanted.c_cflag & CMSPAR)) {
        return SER_CONFIG_BAD_SETTING;
    }
    return 0;
}

int32_t applyRawMode(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        return errnoResult();
    }
    makeRaw(tio);
    if (tcsetattrRetrying(fd, tio) != 0) {
        return errnoResult();
    }
    return 0;
}

}  // namespace sdrv
