// Board-support layer under the secondary station: board I/O (inputs, outputs, LEDs, a character
// display), a byte UART for the transceiver, line control, delays, and their host binding.
#pragma once

#include <cstdint>

#include "ir_err.h"
#include "lap_port.h"
#include "platform_settings.h"
#include "sir.h"
#include "transceiver.h"
#include "win32.h"

constexpr uint8_t DIP_COUNT = 3;
constexpr uint8_t DOP_COUNT = 7;
constexpr uint8_t LED_COUNT = 4;
constexpr uint8_t PLATFORM_OUTPUT_PINS = 6;
// The receive ring and its thread's pacing are settings (PLATFORM_RX_* in platform_settings.h).

// Board I/O. Index checks stop the program naming the expression and "platform".
uint8_t platformDipGet(uint8_t dipIndex);
uint8_t platformPsuInput(uint8_t flag);
void platformDopSet(uint8_t dopIndex, uint8_t value);
uint8_t platformDopGet(uint8_t dopIndex);
void platformLedSet(uint8_t ledIndex, uint8_t value);
void platformLedToggle(uint8_t ledIndex);
void platformLedsOff();
void platformIoScan();
// Kinds 1 (reset) and 3 (supply) stop the board; any other kind returns at once.
void platformRecord(uint32_t kind);
[[noreturn]] void platformHalt();
void platformService();
[[noreturn]] void platformAssertFailed(const char* expression);

void platformDisplayInit();
void platformDisplayWrite(uint8_t byte);
void platformDisplayClear();
void platformDisplayText(const char* text);
void platformDisplayGoto(uint8_t position);

// The pins as the board's hardware sees them; in the host binding they are bytes in memory.
void platformSetDipPin(uint8_t index, uint8_t level);
uint8_t platformOutputPin(uint8_t pin);
uint8_t platformLedPin(uint8_t index);
uint8_t platformInterruptsEnabled();
uint8_t platformDisplayPort();
void platformSetDisplayPort(uint8_t value);
// Called at every falling edge of the display's E strobe with the port and RS: what the display
// latches. nullptr detaches.
using PlatformDisplayStrobe = void (*)(uint8_t port, uint8_t registerSelect);
void platformSetDisplayStrobe(PlatformDisplayStrobe strobe);

// Start-up. platformInit runs platformInitBoard, then platformInitWin32.
void platformSetPortName(const char* name); // before platformInit; default "COM1"
void platformInit();
void platformInitBoard();
void platformInitWin32();
// Ends the receive thread, waiting for it, and closes the port; platformInit starts them again.
void platformStop();

// UART: the secondary's ByteLink. A full receive ring leaves bytes in the port until there is room.
void platformUartTxByte(uint8_t byte);
// 1 as soon as a byte waits, waiting up to waitMs for one; 0 when none came.
uint8_t platformUartRxReady(uint16_t waitMs);
uint8_t platformUartRxByte();
// Once the bytes sent last have had time to leave at the old speed: the port, then the
// transceiver, at `speed`. The transceiver is set only when the port took the speed.
IrErr platformUartSetSpeed(uint32_t speed);
// Its clock is the platform's tick, and its takeError the receive thread's last port failure.
ByteLink& platformUartLink();
// The error that showed the UART's port gone (an unplugged dongle), 0 while it is well.
DWORD platformPortLostError();
// The transceiver's lines and delays on the UART's port.
const TransceiverBinding& platformTransceiverLines();

DWORD WINAPI platformRxThread(LPVOID parameter);
// One pass of the receive thread: moves what the port holds (waiting in the port for a first
// byte), as far as there is room, into the ring. Returns how long to let bytes gather before the
// next pass (0: the next pass may block).
uint32_t platformRxPoll();
// How long a frame's bytes gather between two passes, at 9600 bit/s (PLATFORM_RX_GATHER_MS unless
// set): shorter sees a frame's end sooner at the price of more passes per frame.
void platformSetRxGather(uint32_t milliseconds);

void platformSetDtr(uint8_t level);
void platformSetRts(uint8_t level);
void platformDelayMs(uint8_t milliseconds);
uint32_t platformTickCount();
int platformRandom();

// Seams for tests: time (tick and sleep) and the port's byte transfer. nullptr restores the host.
struct PlatformTiming {
    uint32_t (*tickCount)();
    void (*sleepMs)(uint32_t milliseconds);
    // Waits up to `milliseconds`, ending early when the receive thread moves bytes; nullptr: waits
    // in 1 ms sleeps.
    void (*waitRxMs)(uint32_t milliseconds);
};
void platformSetTiming(const PlatformTiming* timing);

struct PlatformPortHooks {
    uint32_t (*receive)(uint8_t* buffer, uint32_t maximum);
    void (*transmit)(const uint8_t* bytes, uint32_t count);
};
void platformSetPortHooks(const PlatformPortHooks* hooks);

// Empties the receive ring (start-up, and tests).
void platformRxReset();

// The secondary's frame port: SIR frames over the UART, timed on the platform's tick.
class PlatformUartPort final : public SirFramePort {
  public:
    PlatformUartPort() : SirFramePort(platformUartLink()) {}
    uint32_t nowMs() override { return platformTickCount(); }
    IrErr setSpeed(uint32_t speed) override { return platformUartSetSpeed(speed); }
    // The transceiver started afresh, at 9600 bit/s.
    IrErr reset() override;
};
