// What the pty programs share: their options, their link through the library (a port, its
// connect or listen, its channel) and the pump that moves bytes between the channel and a
// pseudo-terminal (or the standard streams), with status lines on standard error.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>

#include "irstack.h"

#if defined(__GNUC__)
#define PTY_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define PTY_PRINTF_FORMAT(fmt, args)
#endif

// Which end of the link the program is, and the transceiver variant it was built for.
struct PtyRole {
    const char* name; // "computer" or "device", for the usage text
    int role;         // IRS_ROLE_COMPUTER or IRS_ROLE_DEVICE
    char variant;
    bool computer() const { return role == IRS_ROLE_COMPUTER; }
};

struct PtyOptions {
    const char* link = nullptr;
    const char* port = "COM1";
    // A second serial port that carries the channel instead of a pseudo-terminal.
    const char* serial = nullptr;
    // The service: IAS class and attribute (nullptr: IrCOMM's), a fixed selector (-1: ask the
    // IAS) and TinyTP data without IrCOMM.
    const char* className = nullptr;
    const char* attribute = nullptr;
    int lsap = -1;
    bool raw = false;
    bool discover = false;
    bool stdio = false;
    bool trace = false;
    bool help = false;
    bool version = false;
    // The transceiver kind as irs_open names it; 0 for the one the program was built for.
    char variant = 0;
    uint32_t lingerMs = 2000;
    uint32_t maxSpeed = 115200;
    int maxWindow = 7;
    int maxFrame = 2048;
};

// False, with what is wrong in `error`, when the arguments cannot be used.
bool ptyParseOptions(int argc, char** argv, PtyOptions& options, std::span<char> error);

// The whole program: options, port, stream, pump; returns the exit status.
int ptyMain(int argc, char** argv, const PtyRole& role);

// The connect (computer) or listen (device) for the options' service, in a thread of its own so
// the pump watches the status meanwhile; a close of the port ends its wait.
class PtyConnector {
  public:
    PtyConnector() = default;
    PtyConnector(const PtyConnector&) = delete;
    PtyConnector& operator=(const PtyConnector&) = delete;
    ~PtyConnector() { join(); }

    void start(irs_port* port, const PtyRole& role, const PtyOptions& options);
    bool running() const { return thread.joinable(); }
    // Once the call has returned: true, with its result and channel, the thread joined.
    bool finished(int& result, irs_channel*& channel);
    // Sleeps up to `ms`, less when the call under way returns meanwhile (or has returned).
    void waitDone(uint32_t ms);
    void join();

  private:
    std::thread thread;
    std::atomic<bool> done{false};
    std::mutex doneLock;
    std::condition_variable doneSignal;
    // Written by the thread before `done`, read after the join.
    int result = IRS_OK;
    irs_channel* opened = nullptr;
};

// The library's side of a running program: its port (null while a lost one is away), the
// channel (null while none is open) and the connect under way.
struct PtyLink {
    PtyLink(const PtyRole& who, const PtyOptions& how, irs_port* opened)
        : role(who), options(how), port(opened) {}
    const PtyRole& role;
    const PtyOptions& options;
    irs_port* port;
    // The input thread reads it: set while the channel may take bytes.
    std::atomic<irs_channel*> channel{nullptr};
    // Every byte the channel received has been read since it ended.
    bool drained = false;
    PtyConnector connector;
};

// The pump (pty_pump.cpp): moves bytes between the channel and the stream, prints the status
// lines, follows a lost port until it is back; returns the exit status. `stop` ends it.
struct HostStream;
int ptyPump(PtyLink& link, HostStream& stream, std::atomic<bool>& stop);
// A status line on standard error, in one write so other threads' lines do not tear it.
void ptyStatus(const char* format, ...) PTY_PRINTF_FORMAT(1, 2);
// The library's errors as status lines; one that repeats is shown once.
void ptyShowError(const char* text, size_t length);
// Forgets the error shown last, so it is shown again when it comes back.
void ptyForgetError();
// The library's log: errors through ptyShowError, the trace on standard error when `context`
// points at a true bool.
void ptyLog(void* context, int kind, const char* text, size_t length);
extern const char* ptyProgramName;
