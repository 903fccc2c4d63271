// The primary station's serial port: one port in module state, one byte at a time, waits blocking
// in the port. Its send, wait and read are the primary's ByteLink.
#pragma once

#include <cstdint>

#include "ir_err.h"
#include "sir.h"
#include "transceiver.h"

// The port irphy_reset opens: "COM1" unless the program was given another (copied; false when
// the name is too long, and the old name stays).
bool irphy_set_port_name(const char* name);

// Closes the port if open, opens it at 9600 bit/s, resets the transceiver and sets it to 9600;
// the open's failure, if any.
IrErr irphy_reset();
// 1 when a port was closed, 0 when none was open.
int32_t irphy_close();
// The port first, the transceiver only when the port took the speed; IR_ERR_SPEED (or
// IR_ERR_PORT_LOST) when the port refused it.
IrErr irphy_set_baud_rate(uint32_t speed);
void irphy_send(uint8_t byte);
// True when a byte is held; a waiting byte is taken at once, otherwise the port is waited on for
// up to `timeoutMs` (0: one look).
bool irphy_wait(int16_t timeoutMs);
// Takes the held byte (the previous one again when none is held).
uint8_t irphy_read();

// irphy as the SIR framing's byte link; its clock is GetTickCount, and it reports a lost port.
ByteLink& irphyByteLink();
// DTR and RTS through EscapeCommFunction on the irphy port, delays through Sleep.
const TransceiverBinding* irphyTransceiverBinding();
// Other lines for the transceiver (a test's recorder); nullptr restores irphy's own.
void irphySetLines(const TransceiverBinding* binding);
