// The demo programs' port: one IrphyPort with the program's own transceiver variant, and the
// irphy_* face over it.
#include "irphy.h"

namespace {

// Never destroyed: a program may end with its station's task still reading the port.
union DefaultPort {
    DefaultPort() : port(transceiverLinked()) {}
    ~DefaultPort() {}
    DefaultPort(const DefaultPort&) = delete;
    DefaultPort& operator=(const DefaultPort&) = delete;
    DefaultPort(DefaultPort&&) = delete;
    DefaultPort& operator=(DefaultPort&&) = delete;
    IrphyPort port;
};

DefaultPort defaultPort;

} // namespace

IrphyPort& irphyDefaultPort() {
    return defaultPort.port;
}

bool irphy_set_port_name(const char* name) {
    return defaultPort.port.setPortName(name);
}

IrErr irphy_reset() {
    return defaultPort.port.reset();
}

int32_t irphy_close() {
    return defaultPort.port.close();
}

IrErr irphy_set_baud_rate(uint32_t speed) {
    return defaultPort.port.setSpeed(speed);
}

void irphy_send(uint8_t byte) {
    defaultPort.port.send(&byte, 1);
}

bool irphy_wait(int16_t timeoutMs) {
    return defaultPort.port.wait(timeoutMs);
}

uint8_t irphy_read() {
    return defaultPort.port.read();
}

ByteLink& irphyByteLink() {
    return defaultPort.port.byteLink();
}

const TransceiverBinding* irphyTransceiverBinding() {
    return &defaultPort.port.ownLines();
}

void irphySetLines(const TransceiverBinding* binding) {
    defaultPort.port.setLines(binding);
}
