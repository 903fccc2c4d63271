// The pty programs' pump: input is read only while the channel is open and has room, and received
// bytes are taken only when the stream can take them, so no queue overflows. A channel that ends
// is emptied, closed and connected again; a port that has gone is closed and opened again every
// second while the stream stays open; a stream that fails is reopened the same way while the
// channel goes on.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <span>
#include <thread>

#include "byte_stream.h"
#include "ir_options.h"
#include "pty_app.h"
#include "pty_settings.h"
#include "pty_status.h"
#include "win32.h"

namespace {

std::atomic<bool> inputEnded{false};
std::atomic<bool> inputDone{false};
// The input thread marks itself busy before it looks at the channel, so the pump's wait for it
// to leave cannot miss it.
std::atomic<bool> inputBusy{false};
// Why the stream failed, set by whichever side saw it first; 0 while it works. The input leaves
// it alone until the pump has reopened it.
std::atomic<unsigned long> streamError{0};

void noteStreamFailure(const HostStream& stream) {
    unsigned long none = 0;
    streamError.compare_exchange_strong(none, stream.error != 0 ? stream.error : ERROR_GEN_FAILURE);
}

// The room the channel has for the input, 0 when it takes nothing now.
size_t inputRoom(irs_channel* channel) {
    irs_channel_state state{};
    if (channel == nullptr || streamError.load() != 0 ||
        irs_channel_status(channel, &state) != IRS_OK || state.open == 0 || state.room <= 0) {
        return 0;
    }
    return static_cast<size_t>(state.room);
}

// Standard input or the pseudo-terminal into the channel.
void pumpInput(PtyLink* link, HostStream* stream, const std::atomic<bool>* stop) {
    std::array<uint8_t, PTY_READ_CHUNK> buffer{};
    while (!stop->load()) {
        inputBusy.store(true);
        irs_channel* channel = link->channel.load();
        const size_t room = inputRoom(channel);
        if (room == 0) {
            inputBusy.store(false);
            Sleep(channel == nullptr ? PTY_NO_CHANNEL_MS : PTY_IDLE_MS); // bytes wait in the stream
            continue;
        }
        const size_t wanted = std::min(buffer.size(), room);
        const int count = hostStreamRead(*stream, buffer.data(), wanted, PTY_READ_WAIT_MS);
        if (stop->load()) {
            inputBusy.store(false);
            break; // the pump may have closed the port meanwhile
        }
        if (count == HOST_STREAM_FAILED) {
            noteStreamFailure(*stream);
        } else if (count < 0) {
            inputEnded.store(true);
            inputBusy.store(false);
            break;
        }
        if (count > 0) {
            // Within the room: queued at once, or lost with the channel as the status says.
            irs_write(channel, buffer.data(), static_cast<size_t>(count), -1);
        }
        inputBusy.store(false);
    }
    inputDone.store(true);
}

// After the end of standard input: all acknowledged, then the linger time.
struct Ending {
    enum Stage : uint8_t { sending, draining, lingering } stage = sending;
    DWORD lingerStart = 0;
};

// 0 to go on, 1 when the program should exit 0, -1 when the channel was lost with data unsent.
int followEnding(const StatusView& view, const PtyOptions& options, Ending& ending) {
    if (ending.stage == Ending::sending) {
        if (!inputEnded.load()) {
            return 0;
        }
        ending.stage = Ending::draining;
    }
    if (ending.stage == Ending::lingering) {
        return GetTickCount() - ending.lingerStart >= options.lingerMs ? 1 : 0;
    }
    irs_channel_state state{};
    if (view.channel == nullptr || irs_channel_status(view.channel, &state) != IRS_OK ||
        state.open == 0) {
        return -1;
    }
    if (state.unacknowledged == 0) {
        ending.stage = Ending::lingering;
        ending.lingerStart = GetTickCount();
    }
    return 0;
}

// Received bytes into `buffer`: how many, 0 when none came. Once the channel has ended and every
// byte it received is read, it is marked drained.
size_t takeReceived(PtyLink& link, const StatusView& view, std::span<uint8_t> buffer) {
    if (view.channel == nullptr) {
        link.connector.waitDone(PTY_NO_CHANNEL_MS); // woken when the connect or listen returns
        return 0;
    }
    if (link.drained) {
        Sleep(PTY_IDLE_MS);
        return 0;
    }
    const long count = irs_read(view.channel, buffer.data(), buffer.size(), PTY_OUTPUT_WAIT_MS);
    if (count > 0) {
        return static_cast<size_t>(count);
    }
    if (count != IRS_ERR_TIMEOUT) {
        link.drained = true;
    }
    return 0;
}

// The channel's stream after a failure: shown once, then opened again every second; the channel
// goes on meanwhile, so it outlives a client's port that goes and comes back.
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

void ptyHoldInput(PtyLink& link) {
    link.channel.store(nullptr);
    while (inputBusy.load()) {
        Sleep(1); // a read of the stream ends within PTY_READ_WAIT_MS
    }
}

int ptyPump(PtyLink& link, HostStream& stream, std::atomic<bool>& stop) {
    std::thread input(pumpInput, &link, &stream, &stop);
    std::array<uint8_t, PTY_RECEIVE_SIZE> buffer{};
    StatusView view;
    Ending ending;
    PortWatch watch;
    StreamWatch streamWatch;
    // Received bytes the stream has not taken yet: a failed write keeps them for the reopened one.
    size_t pendingFrom = 0;
    size_t pending = 0;
    int status = 0;
    ptyStatus("searching");
    link.connector.start(link.port, link.role, link.options);
    while (!stop.load()) {
        if (!ptyFollowConnector(link, view, watch.down)) {
            status = 2;
            break;
        }
        irs_port_state port{};
        if (link.port != nullptr && irs_port_status(link.port, &port) != IRS_OK) {
            port = irs_port_state{};
        }
        if (!ptyFollowPort(link, view, watch, port)) {
            status = 1;
            break;
        }
        if (!watch.down) {
            ptyShowStatus(port, view);
            ptyFollowChannelEnd(link, view);
        }
        const int end = link.options.stdio ? followEnding(view, link.options, ending) : 0;
        if (end != 0) {
            if (end < 0) {
                ptyStatus("%s", "channel lost before all input was acknowledged");
            }
            status = end > 0 ? 0 : 1;
            break;
        }
        followStream(link.options, stream, streamWatch);
        if (streamError.load() != 0) {
            Sleep(PTY_OUTPUT_WAIT_MS); // received bytes wait in the channel
            continue;
        }
        if (!hostStreamWritable(stream, PTY_WRITE_WAIT_MS)) {
            continue; // a slow reader: the bytes stay queued
        }
        if (pending == 0) {
            pending = takeReceived(link, view, buffer);
            pendingFrom = 0;
            if (pending == 0) {
                continue;
            }
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
    // The close ends a connect under way.
    if (link.port != nullptr) {
        irs_close(link.port);
        link.port = nullptr;
    }
    link.connector.join();
    return status;
}
