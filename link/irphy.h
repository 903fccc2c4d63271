// A serial port with a SIR transceiver as an object: a frame port (SIR over the port, one write per
// frame, waits blocking in the port), its transceiver variant and lines and its lost-port error.
// The irphy_* functions (irphy_default.cpp) are the demo programs' face over one default port.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "ir_err.h"
#include "ir_options.h"
#include "lap_port.h"
#include "port_health.h"
#include "port_setup.h"
#include "sir.h"
#include "transceiver.h"
#include "win32.h"

class IrphyPort final : public SirFramePort {
  public:
    explicit IrphyPort(const TransceiverVariant& transceiver);
    IrphyPort(const IrphyPort&) = delete;
    IrphyPort& operator=(const IrphyPort&) = delete;
    IrphyPort(IrphyPort&&) = delete;
    IrphyPort& operator=(IrphyPort&&) = delete;
    // Closes the port if open.
    ~IrphyPort() override {
        close();
        release();
    }

    uint32_t nowMs() override { return GetTickCount(); }
    // The port first, the transceiver only when the port took the speed.
    IrErr setSpeed(uint32_t speed) override;
    // Closes the port if open, opens it at 9600 bit/s, resets the transceiver and sets it to 9600;
    // the open's failure, if any.
    IrErr reset() override;

    // The port reset opens: "COM1" unless set (copied; false when too long, the old name stays).
    bool setPortName(const char* name);
    // 1 when a port was closed, 0 when none was open. A held port stays open.
    int32_t close();
    // Opens the port and holds it until release(): resets and closes use it and keep it, so no
    // other program takes it while the station stops and starts; a reset after the port was lost
    // opens it afresh. ERROR_SUCCESS, or the open's error (ERROR_INVALID_FUNCTION: not a serial
    // device), with hostSystemError() still the open's.
    DWORD hold();
    // Closes the held port; after close().
    void release();
    void send(const uint8_t* data, DWORD count);
    // True when a byte is held; a waiting byte is taken at once, otherwise the port is waited on
    // for up to `timeoutMs` (0 or less: one look).
    bool wait(int16_t timeoutMs);
    // Takes the held byte (the previous one again when none is held).
    uint8_t read();
    bool isOpen() const { return handle.load() != INVALID_HANDLE_VALUE; }
    // The speeds to offer, as baud-rate bits: the variant's, or for a variant whose speeds are
    // the port's, those of them the held port's device takes (9600 always). Before the station
    // starts, as it tries each one on the port.
    uint8_t offeredBaudBits();
    const TransceiverVariant& transceiver() const { return variant; }

    // DTR and RTS of this port, delays through Sleep; context is this port.
    const TransceiverBinding& ownLines() const { return lines; }
    // Other lines for the transceiver (a test's recorder); nullptr restores the port's own.
    void setLines(const TransceiverBinding* binding) { linesOverride.store(binding); }
    // The error that showed the port gone (0 while it is well); readable from any thread.
    DWORD lostError() const { return health.lostError.load(); }
    // The same error as the system numbers it (hostSystemError).
    DWORD lostSystemError() const { return health.lostSystemError.load(); }

  private:
    class Line final : public ByteLink {
      public:
        explicit Line(IrphyPort& owner) : port(owner) {}
        void sendByte(uint8_t byte) override { port.send(&byte, 1); }
        void sendBytes(std::span<const uint8_t> data) override {
            port.send(data.data(), static_cast<DWORD>(data.size()));
        }
        bool waitByte(uint16_t timeoutMs) override;
        uint8_t readByte() override { return port.read(); }
        void pauseUs(uint32_t microseconds) override { Sleep((microseconds + 999) / 1000); }
        uint32_t nowMs() override { return GetTickCount(); }
        IrErr takeError() override;

      private:
        IrphyPort& port;
    };

    int errorNumber();
    const TransceiverBinding& activeLines() const;
    // The held port configured afresh, or opened again when it was lost.
    PortOpening openHeld(bool lost);

    Line line{*this};
    // The task thread owns the port after start-up; the first reset runs before the task exists.
    std::atomic<HANDLE> handle{INVALID_HANDLE_VALUE};
    // The port hold() opened, while it is held; `holding` outlives a failed reopen.
    std::atomic<HANDLE> held{INVALID_HANDLE_VALUE};
    std::atomic<bool> holding{false};
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    std::atomic<uint8_t> rxState{0};
    std::atomic<uint8_t> heldByte{0};
    // The last write and the speed it went at, so that a speed switch waits until it has gone;
    // sending and switching happen on the station's thread.
    uint32_t sentTick = 0;
    DWORD sentCount = 0;
    uint32_t lineSpeed = 9600;
    std::array<char, PORT_NAME_SIZE> name{'C', 'O', 'M', '1'};
    PortHealth health;
    // A lost port not yet reported to the station.
    std::atomic<bool> lostUnreported{false};
    const TransceiverVariant& variant;
    TransceiverBinding lines;
    std::atomic<const TransceiverBinding*> linesOverride{nullptr};
};

// The port of the demo programs, with the variant the program linked.
IrphyPort& irphyDefaultPort();

bool irphy_set_port_name(const char* name);
IrErr irphy_reset();
int32_t irphy_close();
IrErr irphy_set_baud_rate(uint32_t speed);
void irphy_send(uint8_t byte);
bool irphy_wait(int16_t timeoutMs);
uint8_t irphy_read();
// The default port as the SIR framing's byte link.
ByteLink& irphyByteLink();
const TransceiverBinding* irphyTransceiverBinding();
void irphySetLines(const TransceiverBinding* binding);
