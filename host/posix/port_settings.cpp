// Port settings: the DCB and its mapping to termios, speeds included.
#include <array>
#include <mutex>
#include <sys/ioctl.h>

#include "serial_port.h"

namespace {

struct SpeedCode {
    DWORD rate;
    speed_t code;
};

constexpr std::array SPEEDS{
    SpeedCode{110, B110},       SpeedCode{300, B300},       SpeedCode{600, B600},
    SpeedCode{1200, B1200},     SpeedCode{2400, B2400},     SpeedCode{4800, B4800},
    SpeedCode{9600, B9600},     SpeedCode{19200, B19200},   SpeedCode{38400, B38400},
    SpeedCode{57600, B57600},   SpeedCode{115200, B115200}, SpeedCode{230400, B230400},
#ifdef B460800
    SpeedCode{460800, B460800},
#endif
#ifdef B921600
    SpeedCode{921600, B921600},
#endif
};

bool speedCodeFor(DWORD rate, speed_t& code) {
    for (const SpeedCode& entry : SPEEDS) {
        if (entry.rate == rate) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

DWORD speedRateFor(speed_t code) {
    for (const SpeedCode& entry : SPEEDS) {
        if (entry.code == code) {
            return entry.rate;
        }
    }
    return 0;
}

bool sameFraming(const termios& wanted, const termios& actual) {
    constexpr tcflag_t framing = CSIZE | PARENB | PARODD | CSTOPB;
    return cfgetospeed(&wanted) == cfgetospeed(&actual) &&
           (wanted.c_cflag & framing) == (actual.c_cflag & framing);
}

} // namespace

DCB hostDcbFromTermios(const termios& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = speedRateFor(cfgetospeed(&settings));
    dcb.fBinary = TRUE;
    dcb.fParity = (settings.c_iflag & INPCK) != 0 ? 1 : 0;
#ifdef CRTSCTS
    const bool hardwareFlow = (settings.c_cflag & CRTSCTS) != 0;
#else
    const bool hardwareFlow = false;
#endif
    dcb.fOutxCtsFlow = hardwareFlow ? 1 : 0;
    // A freshly opened tty has both lines raised.
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = hardwareFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = (settings.c_iflag & IXON) != 0 ? 1 : 0;
    dcb.fInX = (settings.c_iflag & IXOFF) != 0 ? 1 : 0;
    switch (settings.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    if ((settings.c_cflag & PARENB) == 0) {
        dcb.Parity = NOPARITY;
    } else {
        dcb.Parity = (settings.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
    }
    dcb.StopBits = (settings.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.XonChar = static_cast<char>(settings.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
    return dcb;
}

bool hostTermiosFromDcb(const DCB& dcb, termios& settings) {
    speed_t speed = B0;
    if (!speedCodeFor(dcb.BaudRate, speed) || dcb.ByteSize < 5 || dcb.ByteSize > 8 ||
        dcb.Parity > EVENPARITY || dcb.StopBits == ONE5STOPBITS || dcb.StopBits > TWOSTOPBITS ||
        dcb.fOutxDsrFlow != 0 || dcb.fDsrSensitivity != 0 ||
        dcb.fDtrControl == DTR_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
        return false;
    }
    const bool hardwareFlow = dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
#ifndef CRTSCTS
    if (hardwareFlow) {
        return false;
    }
#endif
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON | IXOFF | IXANY | INPCK);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
    settings.c_cflag |= CREAD | CLOCAL;
    constexpr std::array<tcflag_t, 4> sizes{CS5, CS6, CS7, CS8};
    settings.c_cflag |= sizes.at(dcb.ByteSize - 5U);
    if (dcb.Parity != NOPARITY) {
        settings.c_cflag |= PARENB;
        if (dcb.Parity == ODDPARITY) {
            settings.c_cflag |= PARODD;
        }
    }
    if (dcb.fParity != 0) {
        settings.c_iflag |= INPCK;
    }
    if (dcb.StopBits == TWOSTOPBITS) {
        settings.c_cflag |= CSTOPB;
    }
#ifdef CRTSCTS
    settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    if (hardwareFlow) {
        settings.c_cflag |= CRTSCTS;
    }
#endif
    if (dcb.fOutX != 0) {
        settings.c_iflag |= IXON;
    }
    if (dcb.fInX != 0) {
        settings.c_iflag |= IXOFF;
    }
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    return cfsetispeed(&settings, speed) == 0 && cfsetospeed(&settings, speed) == 0;
}

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    int fd = -1;
    HostObject* port = hostPortFind(file, fd);
    if (port == nullptr) {
        return FALSE;
    }
    if (dcb == nullptr) {
        return hostFailWith(ERROR_INVALID_PARAMETER);
    }
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return hostFailWithErrno();
    }
    const std::lock_guard<std::mutex> guard(port->configLock);
    *dcb = port->dcb;
    return TRUE;
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    int fd = -1;
    HostObject* port = hostPortFind(file, fd);
    if (port == nullptr) {
        return FALSE;
    }
    if (dcb == nullptr) {
        return hostFailWith(ERROR_INVALID_PARAMETER);
    }
    const std::lock_guard<std::mutex> guard(port->configLock);
    termios old{};
    if (tcgetattr(fd, &old) != 0) {
        return hostFailWithErrno();
    }
    termios wanted = old;
    if (!hostTermiosFromDcb(*dcb, wanted)) {
        return hostFailWith(ERROR_INVALID_PARAMETER);
    }
    // A driver may take a speed it cannot run and keep its own; read back to be sure.
    termios actual{};
    if (tcsetattr(fd, TCSANOW, &wanted) != 0 || tcgetattr(fd, &actual) != 0 ||
        !sameFraming(wanted, actual)) {
        tcsetattr(fd, TCSANOW, &old);
        return hostFailWith(ERROR_INVALID_PARAMETER);
    }
    // Lines follow a control mode when it changes, so a speed change keeps the levels set since.
    if (!port->linesApplied || dcb->fDtrControl != port->dcb.fDtrControl) {
        hostSetModemLine(fd, TIOCM_DTR, dcb->fDtrControl != DTR_CONTROL_DISABLE);
    }
    if (!port->linesApplied || dcb->fRtsControl != port->dcb.fRtsControl) {
        hostSetModemLine(fd, TIOCM_RTS, dcb->fRtsControl != RTS_CONTROL_DISABLE);
    }
    port->linesApplied = true;
    port->dcb = *dcb;
    port->dcb.DCBlength = sizeof(DCB);
    return TRUE;
}
