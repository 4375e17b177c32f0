/* The contract between the serial port library and a native driver library.
 * A driver is a shared library (lib<name>.so; <name>.dll on Windows)
 * exporting these 30 functions with C linkage; the library binds them by
 * name at run time.
 *
 * Result conventions: SerOpenPort returns 0 (opened), 1000 (already open),
 * 1002 (in use), 1003 (not a valid port) or another failure code; after 0 the
 * record's port holds the 1-based number of the opened port. SerConfigure,
 * SerClosePort and SerPutByte return 0 for success. SerPutData returns the
 * number of bytes accepted. Every other operation returns -1 for failure.
 * Every operation given the handle -1 (no open port) reports failure.
 *
 * The POSIX driver (drivers/posix) in particular:
 * - Names: "COMn" opens the link ports/COMn in the directory of the driver
 *   library file when that link exists, else /dev/ttyS(n-1); a name starting
 *   with "/" is opened as it is; a record without a name and port n > 0
 *   opens the base name followed by n-1 ("/dev/ttyS" when empty). "COMn" and
 *   numbered ports get the number n; a path gets a number from 1001 up.
 * - Open results: 1000 when this process has the port (or the same device)
 *   open already; 1002 when another program holds the device (flock, or
 *   TIOCEXCL); 1003 when there is no such device or it is not a terminal;
 *   2000 + errno otherwise (2013: no permission).
 * - Time-outs are milliseconds, kept per port. Reads never wait: the library
 *   enforces the receive time-out by polling SerRxReadyCount, so SerGetByte
 *   and SerGetData return at once with what is waiting (-1 / 0 when nothing
 *   is). A write waits at most the send time-out (0: no limit) and then
 *   returns the count sent so far; a time-out is never an error.
 * - SerTxFlush drops what is queued for sending and restarts output that an
 *   XOFF from the far end had stopped.
 * - tics of SerSendBreak are milliseconds (0 or less: the standard break).
 * - SerFlowTask has no work (the kernel does flow control); it returns 0 for
 *   an open port.
 * - Bit rates: the standard codes only (termios names no other speed); an
 *   exact code is refused with 1004.
 * - A pseudo-terminal has no character size and no parity: SerConfigure
 *   takes the data bits and the parity without setting them (the terminal
 *   keeps its own), as a line that took them; the speed, stop bits and flow
 *   control are set as on any terminal. A real UART that refuses a setting
 *   still refuses it.
 * - Threads: a write that waits for the device (flow control) and
 *   SerWaitRx let other calls on the same port through while they wait, so
 *   one thread may send while another waits for and reads what comes in,
 *   and SerTxFlush ends a write the device holds.
 * - A device that goes away while open (USB adapter pulled: EIO, ENXIO,
 *   ENODEV or a hang-up) makes the port "lost". Its handle stays valid. The
 *   first operation to see it fails; from then on every operation that
 *   touches the device (all but the time-out getters and setters, which keep
 *   working on the stored values, and SerFlowTask) first makes one attempt
 *   to open the same name again, resolved the same way (a ports/ link is
 *   followed anew), with its locks, and to reapply the last settings given
 *   to SerConfigure, DTR/RTS as last set, and the time-outs. While that
 *   fails the operation returns its failure value at once: SerPutData,
 *   SerGetData, SerGetByte and the queries -1, SerPutByte -1, SerConfigure
 *   2005 (EIO). The first operation that succeeds again is the sign the
 *   device is back. There are no attempts between operations.
 *
 * The Windows driver (drivers/win, SDRVWIN.DLL) over the communications API:
 * - Names: "COMn" (and a record without a name with port n) opens \\.\COMn
 *   with the number n; another name opens as \\.\NAME, numbered from 1001.
 * - Open results: 1000 as above; 1002 when another program holds the port
 *   (ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION);
 *   1003 when there is no such port or it is no serial port; 2000 + the
 *   Windows error code otherwise.
 * - Bit rates: every standard code, and exact codes, whose rate goes into
 *   DCB.BaudRate as it is (1004 when SetCommState refuses it).
 * - Time-outs, reads, writes, SerTxFlush, break and SerFlowTask as the POSIX
 *   driver's. A device that goes away is not opened again: its operations
 *   fail until the port is closed and opened anew.
 */
#ifndef SERLIB_SERDRIVER_H
#define SERLIB_SERDRIVER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Mirrors the fields of Serlib::SerialConfig. The name arrays are the record's
 * bytes, not NUL-terminated; a record without a name carries one zero byte. */
typedef struct SerConfigRec {
    int32_t port;
    const uint8_t* portName;
    int32_t portNameLen;
    const uint8_t* baseName;
    int32_t baseNameLen;
    int32_t txLen;
    int32_t rxLen;
    /* A code, not bit/s (Serlib/BitRates.h): 0..11 are 110, 150, 300, 600,
     * 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200; 12..29 are 50,
     * 75, 134, 200, 1800, 230400, 460800, 500000, 576000, 921600, 1000000,
     * 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000. Every
     * driver takes these. SER_BR_EXACT | n asks for n bit/s (1..0x3FFFFFFF);
     * only a driver that can set any rate takes it (Windows does, POSIX
     * refuses it with SER_CONFIG_BAD_SETTING). */
    int32_t bitRate;
    int32_t parity;
    int32_t dataBits;
    int32_t stopBits;
    int32_t handshake;
    int32_t hardFlow;
} SerConfigRec;

/* SerConfigRec.bitRate: the flag of a code that carries its rate in bit/s. */
#define SER_BR_EXACT 0x40000000

#define SER_OPEN_OK 0
#define SER_OPEN_ALREADY_OPEN 1000
#define SER_OPEN_IN_USE 1002
#define SER_OPEN_NOT_VALID 1003
/* Any other failure of SerOpenPort or SerConfigure: SER_ERRNO_BASE + errno,
 * so 2013 (EACCES) says the user may not use the device. */
#define SER_ERRNO_BASE 2000
#define SER_OPEN_ERRNO_BASE SER_ERRNO_BASE
/* SerConfigure: the record names no port that is open. */
#define SER_CONFIG_NOT_OPEN 1001
/* SerConfigure: a setting is out of range or the device did not take it. */
#define SER_CONFIG_BAD_SETTING 1004

int32_t SerGetLibVer(void);
int32_t SerOpenPort(SerConfigRec* cfg);
int32_t SerConfigure(const SerConfigRec* cfg);
int32_t SerClosePort(int32_t port);
int32_t SerPutByte(int32_t port, int32_t data);
int32_t SerPutData(int32_t port, const uint8_t* data, int32_t count);
int32_t SerGetByte(int32_t port);
int32_t SerGetData(int32_t port, uint8_t* buf, int32_t count);
int32_t SerRxFlush(int32_t port);
int32_t SerTxFlush(int32_t port);
int32_t SerTxDrain(int32_t port);
int32_t SerRxReadyCount(int32_t port);
int32_t SerTxBufCount(int32_t port);
int32_t SerRxOverflow(int32_t port);
int32_t SerSetDTR(int32_t port, int32_t onOff);
int32_t SerSetRTS(int32_t port, int32_t onOff);
int32_t SerSendBreak(int32_t port, int32_t tics);
int32_t SerSetTimeoutRx(int32_t port, int32_t mSecs);
int32_t SerSetTimeoutTx(int32_t port, int32_t mSecs);
int32_t SerGetTimeoutRx(int32_t port);
int32_t SerGetTimeoutTx(int32_t port);
int32_t SerSigCTS(int32_t port);
int32_t SerSigDSR(int32_t port);
int32_t SerSigCD(int32_t port);
int32_t SerSigFrameErr(int32_t port);
int32_t SerSigParityErr(int32_t port);
int32_t SerSigOverrun(int32_t port);
int32_t SerSigRing(int32_t port);
int32_t SerSigBreak(int32_t port);
int32_t SerFlowTask(int32_t port);

/* Optional, beyond the 30: waits until at least one byte is waiting or mSecs
 * milliseconds have passed; returns the count waiting, 0 when the time ran
 * out, -1 on failure. Lets a caller wait for a device's answer without
 * polling; the library polls SerRxReadyCount with a driver that lacks it. */
int32_t SerWaitRx(int32_t port, int32_t mSecs);

/* Optional, beyond the 30: holds the line in the break state (onOff 1) until
 * it is released (onOff 0), for a caller that times the break itself (a
 * remote client's BREAK on, BREAK off). 0, or -1 on failure. A pseudo-
 * terminal has no line to hold: both drivers' answer there is the system's.
 * The library reports "setBreak not supported" with a driver that lacks it. */
int32_t SerSetBreak(int32_t port, int32_t onOff);

#ifdef __cplusplus
}
#endif

#endif
