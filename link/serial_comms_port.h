// Serial port object of the secondary station: its operations are called through the table it
// carries. Opens exclusively, raw 8N1, reads that never block, DTR and RTS under program control.
#pragma once

#include <atomic>
#include <cstdint>

#include "port_health.h"
#include "win32.h"

struct SerialCommsPort;

// One slot per operation, in this order; each takes the port first.
struct SerialCommsPortOps {
    void (*init)(SerialCommsPort* port);
    int32_t (*open)(SerialCommsPort* port, const char* name, uint32_t speed);
    void (*transmitBlock)(SerialCommsPort* port, const uint8_t* data, uint32_t count);
    int32_t (*receiveBlock)(SerialCommsPort* port, uint8_t* buffer, uint32_t maximum);
    int32_t (*close)(SerialCommsPort* port);
    int32_t (*isOpen)(SerialCommsPort* port);
    void (*setDtr)(SerialCommsPort* port, uint8_t level);
    void (*setRts)(SerialCommsPort* port, uint8_t level);
    int32_t (*getCts)(SerialCommsPort* port);
    int32_t (*getDsr)(SerialCommsPort* port);
};

struct SerialCommsPort {
    SerialCommsPortOps ops;
    // INVALID_HANDLE_VALUE while closed; read by the receive thread while others write.
    std::atomic<HANDLE> handle;
    DCB dcb;
    COMMTIMEOUTS timeouts;
    // Cleared by each open; readable from any thread.
    PortHealth health;
};

// Fills the table and marks the port closed.
void SerialCommsPort_init(SerialCommsPort* port);
// 1 when open and configured at `speed`; 0 otherwise (an open whose configuration failed stays
// open).
int32_t SerialCommsPort_open(SerialCommsPort* port, const char* name, uint32_t speed);
void SerialCommsPort_transmitBlock(SerialCommsPort* port, const uint8_t* data, uint32_t count);
// Bytes read (0 when none arrived or the port is closed); waits as SerialCommsPort_setReadWait
// set, at once unless set.
int32_t SerialCommsPort_receiveBlock(SerialCommsPort* port, uint8_t* buffer, uint32_t maximum);
int32_t SerialCommsPort_close(SerialCommsPort* port);
int32_t SerialCommsPort_isOpen(SerialCommsPort* port);
void SerialCommsPort_setDtr(SerialCommsPort* port, uint8_t level);
void SerialCommsPort_setRts(SerialCommsPort* port, uint8_t level);
int32_t SerialCommsPort_getCts(SerialCommsPort* port);
int32_t SerialCommsPort_getDsr(SerialCommsPort* port);

// Reads return at once with what has arrived, or, when nothing has, wait up to `waitMs` for the
// first byte (0: never wait). Not in the table: only the owner of the port sets it.
void SerialCommsPort_setReadWait(SerialCommsPort* port, uint32_t waitMs);

// Changes the open port's speed; 1 when the port took it. Not in the table, like the read wait.
int32_t SerialCommsPort_setSpeed(SerialCommsPort* port, uint32_t speed);

// Construction: stores SerialCommsPort_init in the first slot and calls it through that slot.
void SerialCommsPort_construct(SerialCommsPort* port);
