// The pty programs' pump: input is read only while the channel is open and the transmit queue has
// room, and received bytes are taken only when the stream can take them, so the queues never
// overflow. A port that has gone is tried again every second while the stream stays open; a
// stream that fails is reopened the same way while the station keeps the channel.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string_view>
#include <thread>

#include "byte_stream.h"
#include "ir_options.h"
#include "pty_app.h"
#include "win32.h"

const char* ptyProgramName = "pty";

namespace {

constexpr size_t ERROR_TEXT_SIZE = 256;

// The last error shown: a port that fails every step says so once, until the port is back or a
// channel opens.
std::mutex errorLock;
std::array<char, ERROR_TEXT_SIZE> lastError{};

void forgetError() {
    const std::lock_guard<std::mutex> guard(errorLock);
    lastError.fill('\0');
}

std::atomic<bool> inputEnded{false};
std::atomic<bool> inputDone{false};
// The port has gone: the input leaves the client's bytes in the stream. The input thread marks
// itself busy before it looks, so the pump's wait for it to leave cannot miss it.
std::atomic<bool> portDown{false};
std::atomic<bool> inputBusy{false};
// Why the stream failed, set by whichever side saw it first; 0 while it works. The input leaves
// it alone until the pump has reopened it.
std::atomic<unsigned long> streamError{0};

void noteStreamFailure(const HostStream& stream) {
    unsigned long none = 0;
    streamError.compare_exchange_strong(none, stream.error != 0 ? stream.error : ERROR_GEN_FAILURE);
}

// Standard input or the pseudo-terminal into the transmit queue.
void pumpInput(const PtyStation* station, HostStream* stream, const std::atomic<bool>* stop) {
    std::array<uint8_t, PTY_READ_CHUNK> buffer{};
    while (!stop->load()) {
        inputBusy.store(true);
        // The port first: a station being started afresh is not asked anything.
        const bool held = portDown.load() || streamError.load() != 0;
        const int room = held ? 0 : station->connection->room();
        if (held || station->connection->phase() != LINK_OPEN || room <= 0) {
            inputBusy.store(false);
            Sleep(PTY_IDLE_MS); // the bytes wait in the stream
            continue;
        }
        const size_t wanted = std::min<size_t>(buffer.size(), static_cast<size_t>(room));
        const int count = hostStreamRead(*stream, buffer.data(), wanted, PTY_READ_WAIT_MS);
        if (count == HOST_STREAM_FAILED) {
            noteStreamFailure(*stream);
        } else if (count < 0) {
            inputEnded.store(true);
            inputBusy.store(false);
            break;
        }
        if (count > 0) {
            station->connection->send(buffer.data(), static_cast<size_t>(count));
        }
        inputBusy.store(false);
    }
    inputDone.store(true);
}

struct StatusView {
    LinkPhase shown = LINK_SEARCHING;
};

void showStatus(const PtyStation& station, StatusView& view) {
    const LinkPhase phase = station.connection->phase();
    if (phase == view.shown) {
        return;
    }
    if (view.shown == LINK_OPEN) {
        ptyStatus("channel lost");
        // The next channel starts with empty queues: what waited for this one is gone.
        const int dropped = station.connection->unacknowledged();
        if (dropped > 0) {
            ptyStatus("%d bytes not acknowledged dropped", dropped);
        }
    }
    if (phase == LINK_SEARCHING) {
        ptyStatus("searching");
    }
    if (phase >= LINK_CONNECTED && view.shown == LINK_SEARCHING) {
        std::array<uint8_t, 4> address{};
        lapPutAddress(address.data(), station.connection->watch().peerAddress.load());
        ptyStatus("connected to %02X-%02X-%02X-%02X at %lu bit/s", address[0], address[1],
                  address[2], address[3],
                  static_cast<unsigned long>(station.connection->watch().speed.load()));
    }
    if (phase == LINK_OPEN) {
        ptyStatus("channel open");
        forgetError();
    }
    view.shown = phase;
}

// After the end of standard input: all acknowledged, then the linger time.
struct Ending {
    enum Stage : uint8_t { sending, draining, lingering } stage = sending;
    DWORD lingerStart = 0;
};

// 0 to go on, 1 when the program should exit 0, -1 when the channel was lost with data unsent.
int followEnding(const PtyStation& station, const PtyOptions& options, Ending& ending) {
    if (ending.stage == Ending::sending) {
        if (!inputEnded.load()) {
            return 0;
        }
        ending.stage = Ending::draining;
    }
    if (ending.stage == Ending::lingering) {
        return GetTickCount() - ending.lingerStart >= options.lingerMs ? 1 : 0;
    }
    if (station.connection->phase() != LINK_OPEN) {
        return -1;
    }
    if (station.connection->allAcknowledged()) {
        ending.stage = Ending::lingering;
        ending.lingerStart = GetTickCount();
    }
    return 0;
}

struct PortWatch {
    bool down = false;
    DWORD lastTry = 0;
    // The receive queue was found empty: what the peer sent before the loss is all delivered.
    bool delivered = false;
};

// The station's port: lost (the station stopped, the input held back), tried again every
// second, back (the station started afresh). False when the program must end (--stdio).
bool followPort(const PtyStation& station, const PtyOptions& options, StatusView& view,
                PortWatch& watch) {
    if (!watch.down) {
        const DWORD error = station.portLost();
        if (error == 0) {
            return true;
        }
        ptyStatus("port lost: %s (error %lu)", options.port, static_cast<unsigned long>(error));
        if (options.stdio) {
            return false;
        }
        portDown.store(true);
        while (inputBusy.load()) {
            Sleep(1); // a read of the stream ends within PTY_READ_WAIT_MS
        }
        station.stop();
        const int dropped = station.connection->unacknowledged();
        if (dropped > 0) {
            ptyStatus("%d bytes not acknowledged dropped", dropped);
        }
        if (view.shown == LINK_OPEN) {
            ptyStatus("channel lost");
        }
        view.shown = LINK_SEARCHING;
        watch = PortWatch{true, GetTickCount(), false};
        return true;
    }
    if (!watch.delivered || GetTickCount() - watch.lastTry < PTY_PORT_RETRY_MS) {
        return true;
    }
    watch.lastTry = GetTickCount();
    if (hostPortTryOpen(options.port) != ERROR_SUCCESS) {
        return true;
    }
    forgetError();
    ptyStatus("port back");
    station.start();
    ptyStatus("searching");
    watch.down = false;
    portDown.store(false);
    return true;
}

// The channel's stream after a failure: shown once, then opened again every second; the station and
// its queues go on meanwhile, so the channel outlives a client's port that goes and comes back.
struct StreamWatch {
    bool down = false;
    DWORD lastTry = 0;
};

void followStream(const PtyOptions& options, HostStream& stream, StreamWatch& watch) {
    const unsigned long error = streamError.load();
    if (error == 0) {
        return;
    }
    const bool relay = options.serial != nullptr;
    if (!watch.down) {
        if (relay) {
            ptyStatus("second port lost: %s (error %lu)", options.serial, error);
        } else {
            ptyStatus("pseudo-terminal lost (error %lu)", error);
        }
        watch = StreamWatch{true, GetTickCount()};
        return;
    }
    if (GetTickCount() - watch.lastTry < PTY_PORT_RETRY_MS) {
        return;
    }
    watch.lastTry = GetTickCount();
    while (inputBusy.load()) {
        Sleep(1); // a read of the stream ends within PTY_READ_WAIT_MS
    }
    if (hostStreamReopen(stream) != 0) {
        return;
    }
    if (relay) {
        ptyStatus("second port back");
    } else {
        // A new pair: clients that hold the old path must open the new one (or the link).
        ptyStatus("pseudo-terminal back: %s", stream.devicePath.data());
        std::printf("IrCOMM channel: %s\n", stream.devicePath.data());
        std::fflush(stdout);
    }
    watch.down = false;
    streamError.store(0);
}

} // namespace

void ptyStatus(const char* format, ...) {
    std::array<char, 480> line{};
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line.data(), line.size(), format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "%s: %s\n", ptyProgramName, line.data());
}

void ptyShowError(const char* text, size_t length) {
    std::string_view error(text, length);
    while (!error.empty() && (error.back() == '\n' || error.back() == '\r')) {
        error.remove_suffix(1);
    }
    error = error.substr(0, lastError.size() - 1);
    const std::lock_guard<std::mutex> guard(errorLock);
    if (error == std::string_view(lastError.data())) {
        return;
    }
    lastError.fill('\0');
    error.copy(lastError.data(), error.size());
    ptyStatus("%s", lastError.data());
}

int ptyPump(const PtyStation& station, const PtyOptions& options, HostStream& stream,
            std::atomic<bool>& stop) {
    std::thread input(pumpInput, &station, &stream, &stop);
    std::array<uint8_t, PTY_RECEIVE_SIZE> buffer{};
    StatusView view;
    Ending ending;
    PortWatch watch;
    StreamWatch streamWatch;
    // Received bytes the stream has not taken yet: a failed write keeps them for the reopened one.
    size_t pendingFrom = 0;
    size_t pending = 0;
    int status = 0;
    uint32_t deliveries = 0;
    ptyStatus("searching");
    while (!stop.load()) {
        if (!followPort(station, options, view, watch)) {
            status = 1;
            break;
        }
        if (!watch.down) {
            showStatus(station, view);
        }
        const int end = options.stdio ? followEnding(station, options, ending) : 0;
        if (end != 0) {
            if (end < 0) {
                ptyStatus("%s", "channel lost before all input was acknowledged");
            }
            status = end > 0 ? 0 : 1;
            break;
        }
        followStream(options, stream, streamWatch);
        if (streamError.load() != 0) {
            Sleep(PTY_OUTPUT_WAIT_MS); // received bytes wait in the station's queue
            continue;
        }
        if (!hostStreamWritable(stream, PTY_WRITE_WAIT_MS)) {
            continue; // a slow reader: the bytes stay queued
        }
        if (pending == 0) {
            const size_t count = station.connection->receive(buffer.data(), buffer.size());
            watch.delivered = watch.down && count == 0;
            if (count == 0) {
                // Open, blocks until the engine delivers rather than waking to look; before that,
                // the short wait shows "channel open" as soon as it comes.
                const bool open = station.connection->phase() == LINK_OPEN;
                lapWatchWaitDelivery(station.connection->watch(), deliveries,
                                     open ? PTY_OUTPUT_WAIT_MS : PTY_IDLE_MS);
                continue;
            }
            pendingFrom = 0;
            pending = count;
        }
        const size_t written = hostStreamWrite(stream, buffer.data() + pendingFrom, pending, stop);
        pendingFrom += written;
        pending -= written;
        if (pending > 0 && !stop.load()) {
            if (stream.kind == HostStreamKind::standard) {
                ptyStatus("%s", "output closed");
                status = 1;
                break;
            }
            noteStreamFailure(stream);
        }
    }
    stop.store(true);
    if (HOST_READ_TIMES_OUT || stream.kind == HostStreamKind::serial || inputDone.load()) {
        input.join();
    } else {
        input.detach(); // blocked in a read that only the end of the program ends
    }
    if (!watch.down) {
        station.stop();
    }
    return status;
}
