// Pieces the platform's sources share between them.
#pragma once

#include <cstdint>

#include "ir_err.h"
#include "platform.h"

// The speed the UART starts at, and the one the receive thread's gathering times are set for.
constexpr uint32_t PLATFORM_UART_BAUD = 9600;

// The board's global interrupt-enable flag.
void platformDisableInterrupts();
void platformEnableInterrupts();

// The UART's port (platform.cpp), as the receive thread uses it.
bool platformUartIsOpen();
// Bytes the port holds, up to `maximum`, waiting in the port for a first one; 0 when none came.
uint32_t platformUartReceive(uint8_t* buffer, uint32_t maximum);
uint32_t platformUartSpeed();
// Keeps the port's first failure until the station's ByteLink takes it.
void platformNotePortError(IrErr error);
const PlatformTiming& platformClock();

// The receive side (platform_rx.cpp): the wait of the host's timing, and the thread's life.
void platformRxWait(uint32_t milliseconds);
void platformRxStart();
// Ends the receive thread and waits for it.
void platformRxJoin();
