#include "irphy.h"

#include <algorithm>
#include <cstring>

#include "console.h"
#include "lap_terms.h"
#include "port_health.h"
#include "port_setup.h"

namespace {

constexpr uint32_t IRPHY_START_SPEED = 9600;
constexpr uint8_t RX_IDLE = 1;
constexpr uint8_t RX_HELD = 2;
// A start bit, eight data bits and a stop bit.
constexpr uint32_t BITS_PER_BYTE = 10;

IrphyPort& portOf(void* context) {
    return *static_cast<IrphyPort*>(context);
}

bool linesPortIsOpen(void* context) {
    return portOf(context).isOpen();
}

// The flags are dropped; the status is not asked for, which spares a query per byte.
void clearCommError(HANDLE handle) {
    DWORD errors = 0;
    ClearCommError(handle, &errors, nullptr);
}

} // namespace

IrphyPort::IrphyPort(const TransceiverVariant& transceiver)
    : SirFramePort(line), variant(transceiver),
      lines{this, linesPortIsOpen,
            [](void* context, uint8_t level) {
                EscapeCommFunction(portOf(context).handle.load(), level != 0 ? SETDTR : CLRDTR);
            },
            [](void* context, uint8_t level) {
                EscapeCommFunction(portOf(context).handle.load(), level != 0 ? SETRTS : CLRRTS);
            },
            [](void* /*context*/, uint8_t milliseconds) { Sleep(milliseconds); }} {}

// Called on every failure only, so a port that has gone is noted wherever it shows.
int IrphyPort::errorNumber() {
    const DWORD error = GetLastError();
    const DWORD systemError = hostSystemError();
    if (portHealthReport(health, error, systemError)) {
        lostUnreported.store(true);
    }
    return static_cast<int>(error);
}

const TransceiverBinding& IrphyPort::activeLines() const {
    const TransceiverBinding* bound = linesOverride.load();
    return bound != nullptr ? *bound : lines;
}

bool IrphyPort::setPortName(const char* newName) {
    if (newName == nullptr || std::strlen(newName) >= name.size()) {
        return false;
    }
    name.fill('\0');
    std::memcpy(name.data(), newName, std::strlen(newName));
    return true;
}

DWORD IrphyPort::hold() {
    const HANDLE port = portSetupOpenDevice(name.data());
    if (port == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    held.store(port);
    holding.store(true);
    return ERROR_SUCCESS;
}

void IrphyPort::release() {
    holding.store(false);
    const HANDLE port = held.exchange(INVALID_HANDLE_VALUE);
    if (port != INVALID_HANDLE_VALUE) {
        portSetupClose(port);
    }
}

PortOpening IrphyPort::openHeld(bool lost) {
    const HANDLE port = held.load();
    if (port != INVALID_HANDLE_VALUE && !lost) {
        return {port, portSetupConfigure(port, IRPHY_START_SPEED, dcb, timeouts, "irphy_reset",
                                         health, variant.linesRaised)};
    }
    // The device behind the old handle has gone; its successor opens under the same name.
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(held.exchange(INVALID_HANDLE_VALUE));
    }
    const PortOpening opening = portSetupOpenAt(name.data(), IRPHY_START_SPEED, dcb, timeouts,
                                                "irphy_reset", health, variant.linesRaised);
    held.store(opening.handle);
    return opening;
}

IrErr IrphyPort::reset() {
    if (isOpen()) {
        close();
    }
    const bool lost = lostError() != 0;
    portHealthClear(health);
    lostUnreported.store(false);
    const PortOpening opening = holding.load()
                                    ? openHeld(lost)
                                    : portSetupOpenAt(name.data(), IRPHY_START_SPEED, dcb, timeouts,
                                                      "irphy_reset", health, variant.linesRaised);
    handle.store(opening.handle);
    if (!opening.configured) {
        return IR_ERR_IO;
    }
    variant.reset(activeLines());
    const IrErr speed = setSpeed(IRPHY_START_SPEED);
    rxState.store(RX_IDLE);
    return speed;
}

int32_t IrphyPort::close() {
    const HANDLE closing = handle.exchange(INVALID_HANDLE_VALUE);
    if (closing == INVALID_HANDLE_VALUE) {
        return 0;
    }
    if (closing != held.load()) {
        portSetupClose(closing);
    }
    return 1;
}

IrErr IrphyPort::setSpeed(uint32_t speed) {
    // The port would cut off what it still holds at the old speed, such as the UA that accepts
    // the very link whose speed this sets.
    const uint32_t wireMs = sentCount * BITS_PER_BYTE * 1000 / lineSpeed + 1;
    const uint32_t since = GetTickCount() - sentTick;
    if (since < wireMs) {
        Sleep(wireMs - since);
    }
    const HANDLE port = handle.load();
    clearCommError(port);
    dcb.DCBlength = sizeof(DCB);
    GetCommState(port, &dcb);
    // The flow-control fields read back are the ones reset set, so this changes the speed.
    portSetupFields(dcb, speed, variant.linesRaised);
    if (SetCommState(port, &dcb) == FALSE) {
        const int number = errorNumber();
        consoleError("\nirphy_set_baud_rate: SetCommState error: %d", number);
        return lostError() != 0 ? IR_ERR_PORT_LOST : IR_ERR_SPEED;
    }
    lineSpeed = speed;
    variant.setSpeed(activeLines(), speed);
    return IR_OK;
}

uint8_t IrphyPort::offeredBaudBits() {
    const HANDLE holdingPort = held.load();
    const HANDLE port = holdingPort != INVALID_HANDLE_VALUE ? holdingPort : handle.load();
    if (!variant.speedsFromPort || port == INVALID_HANDLE_VALUE) {
        return variant.baudBits;
    }
    uint8_t taken = LAP_BAUD_9600;
    for (unsigned bit = 0; bit < 8; ++bit) {
        const auto mask = static_cast<uint8_t>(1U << bit);
        if ((variant.baudBits & mask) != 0 &&
            portSetupTakesSpeed(port, lapHighestBaud(mask), variant.linesRaised)) {
            taken = static_cast<uint8_t>(taken | mask);
        }
    }
    return taken;
}

// A frame goes in one write: one write per byte cost more than anything else in sending.
void IrphyPort::send(const uint8_t* data, DWORD count) {
    const HANDLE port = handle.load();
    if (port == INVALID_HANDLE_VALUE) {
        return;
    }
    clearCommError(port);
    portSetupWrite(port, data, count, "irphy_send", health);
    sentTick = GetTickCount();
    sentCount = count;
}

bool IrphyPort::wait(int16_t timeoutMs) {
    const HANDLE port = handle.load();
    if (port == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (rxState.load() == RX_HELD) {
        return true;
    }
    // A negative time-out looks once, like 0.
    portSetupReadWait(port, timeouts, timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : 0);
    clearCommError(port);
    uint8_t byte = 0;
    DWORD received = 0;
    if (ReadFile(port, &byte, 1, &received, nullptr) == FALSE) {
        // A port that has gone fails every wait; said once, not a line each time.
        const bool wasLost = lostError() != 0;
        const int number = errorNumber();
        if (!wasLost) {
            consoleError("irphy_wait: ReadFile error: %d", number);
        }
        rxState.store(RX_IDLE);
        return false;
    }
    if (received == 1) {
        heldByte.store(byte);
        rxState.store(RX_HELD);
        return true;
    }
    rxState.store(RX_IDLE);
    return false;
}

uint8_t IrphyPort::read() {
    wait(0);
    if (rxState.load() == RX_HELD) {
        rxState.store(RX_IDLE);
    }
    return heldByte.load();
}

bool IrphyPort::Line::waitByte(uint16_t timeoutMs) {
    return port.wait(static_cast<int16_t>(std::min<uint16_t>(timeoutMs, INT16_MAX)));
}

IrErr IrphyPort::Line::takeError() {
    return port.lostUnreported.exchange(false) ? IR_ERR_PORT_LOST : IR_OK;
}
