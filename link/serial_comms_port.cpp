// SerialCommsPort: the table-driven port object of the secondary station.
#include "serial_comms_port.h"

#include "console.h"
#include "port_health.h"
#include "port_setup.h"

namespace {

// Called on every failure only, so a port that has gone is noted wherever it shows.
int errorNumber(SerialCommsPort* port) {
    const DWORD error = GetLastError();
    const DWORD systemError = hostSystemError();
    portHealthReport(port->health, error, systemError);
    return static_cast<int>(error);
}

} // namespace

void SerialCommsPort_construct(SerialCommsPort* port) {
    port->ops.init = SerialCommsPort_init;
    port->ops.init(port);
}

void SerialCommsPort_init(SerialCommsPort* port) {
    port->ops = SerialCommsPortOps{
        SerialCommsPort_init,         SerialCommsPort_open,   SerialCommsPort_transmitBlock,
        SerialCommsPort_receiveBlock, SerialCommsPort_close,  SerialCommsPort_isOpen,
        SerialCommsPort_setDtr,       SerialCommsPort_setRts, SerialCommsPort_getCts,
        SerialCommsPort_getDsr,
    };
    port->handle.store(INVALID_HANDLE_VALUE);
    port->dcb = DCB{};
    port->timeouts = COMMTIMEOUTS{};
}

int32_t SerialCommsPort_open(SerialCommsPort* port, const char* name, uint32_t speed) {
    if (port->ops.isOpen(port) != 0) {
        port->ops.close(port);
    }
    portHealthClear(port->health);
    const PortOpening opening = portSetupOpenAt(name, speed, port->dcb, port->timeouts,
                                                "SerialCommsPort_open", port->health);
    port->handle.store(opening.handle);
    return opening.configured ? 1 : 0;
}

int32_t SerialCommsPort_setSpeed(SerialCommsPort* port, uint32_t speed) {
    const HANDLE handle = port->handle.load();
    if (handle == INVALID_HANDLE_VALUE) {
        return 0;
    }
    // The other fields stay as the open set them.
    portSetupFields(port->dcb, speed);
    if (SetCommState(handle, &port->dcb) != FALSE) {
        return 1;
    }
    consolePrint("\nSerialCommsPort_setSpeed: SetCommState error: %d", errorNumber(port));
    return 0;
}

int32_t SerialCommsPort_close(SerialCommsPort* port) {
    if (port->ops.isOpen(port) == 0) {
        return 0;
    }
    portSetupClose(port->handle.exchange(INVALID_HANDLE_VALUE));
    return 1;
}

void SerialCommsPort_transmitBlock(SerialCommsPort* port, const uint8_t* data, uint32_t count) {
    const HANDLE handle = port->handle.load();
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    portSetupWrite(handle, data, count, "SerialCommsPort_transmitBlock", port->health);
}

int32_t SerialCommsPort_receiveBlock(SerialCommsPort* port, uint8_t* buffer, uint32_t maximum) {
    const HANDLE handle = port->handle.load();
    if (handle == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD received = 0;
    if (ReadFile(handle, buffer, maximum, &received, nullptr) == FALSE) {
        consoleError("SerialCommsPort_receiveBlock: ReadFile error: %d", errorNumber(port));
    }
    return static_cast<int32_t>(received <= maximum ? received : 0);
}

void SerialCommsPort_setReadWait(SerialCommsPort* port, uint32_t waitMs) {
    const HANDLE handle = port->handle.load();
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    portSetupReadWait(handle, port->timeouts, waitMs);
}

int32_t SerialCommsPort_isOpen(SerialCommsPort* port) {
    return port->handle.load() != INVALID_HANDLE_VALUE ? 1 : 0;
}

void SerialCommsPort_setDtr(SerialCommsPort* port, uint8_t level) {
    const HANDLE handle = port->handle.load();
    if (handle != INVALID_HANDLE_VALUE) {
        EscapeCommFunction(handle, level != 0 ? SETDTR : CLRDTR);
    }
}

void SerialCommsPort_setRts(SerialCommsPort* port, uint8_t level) {
    const HANDLE handle = port->handle.load();
    if (handle != INVALID_HANDLE_VALUE) {
        EscapeCommFunction(handle, level != 0 ? SETRTS : CLRRTS);
    }
}

namespace {

int32_t modemLine(SerialCommsPort* port, DWORD line) {
    const HANDLE handle = port->handle.load();
    DWORD status = 0;
    if (handle == INVALID_HANDLE_VALUE || GetCommModemStatus(handle, &status) == FALSE) {
        return 0;
    }
    return (status & line) != 0 ? 1 : 0;
}

} // namespace

int32_t SerialCommsPort_getCts(SerialCommsPort* port) {
    return modemLine(port, MS_CTS_ON);
}

int32_t SerialCommsPort_getDsr(SerialCommsPort* port) {
    return modemLine(port, MS_DSR_ON);
}
