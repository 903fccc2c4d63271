// The modem-control lines, break and software flow of a port.
#include <sys/ioctl.h>
#include <termios.h>

#include "serial_port.h"

bool hostSetModemLine(int fd, int line, bool on) {
    return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
    int fd = -1;
    if (hostPortFind(file, fd) == nullptr) {
        return FALSE;
    }
    int result = 0;
    switch (function) {
    case SETDTR:
    case CLRDTR:
        result = hostSetModemLine(fd, TIOCM_DTR, function == SETDTR) ? 0 : -1;
        break;
    case SETRTS:
    case CLRRTS:
        result = hostSetModemLine(fd, TIOCM_RTS, function == SETRTS) ? 0 : -1;
        break;
    case SETBREAK:
        result = ioctl(fd, TIOCSBRK);
        break;
    case CLRBREAK:
        result = ioctl(fd, TIOCCBRK);
        break;
    case SETXOFF:
        result = tcflow(fd, TCOOFF);
        break;
    case SETXON:
        result = tcflow(fd, TCOON);
        break;
    default:
        return hostFailWith(ERROR_INVALID_PARAMETER);
    }
    return result == 0 ? TRUE : hostFailWithErrno();
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
    int fd = -1;
    if (hostPortFind(file, fd) == nullptr) {
        return FALSE;
    }
    if (modemStatus == nullptr) {
        return hostFailWith(ERROR_INVALID_PARAMETER);
    }
    *modemStatus = 0;
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) {
        return hostFailWithErrno();
    }
    *modemStatus =
        ((lines & TIOCM_CTS) != 0 ? MS_CTS_ON : 0) | ((lines & TIOCM_DSR) != 0 ? MS_DSR_ON : 0) |
        ((lines & TIOCM_RNG) != 0 ? MS_RING_ON : 0) | ((lines & TIOCM_CAR) != 0 ? MS_RLSD_ON : 0);
    return TRUE;
}
