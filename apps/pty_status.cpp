// The pump's view of the link: status lines from the port's and the channel's status, a new
// connect after a channel ends or a connect fails, a lost port closed and opened again.
#include <algorithm>
#include <string>

#include "ir_options.h"
#include "pty_settings.h"
#include "pty_status.h"

namespace {

void closeChannel(PtyLink& link, StatusView& view) {
    ptyHoldInput(link);
    if (view.channel != nullptr) {
        irs_channel_close(view.channel);
    }
    view.channel = nullptr;
    link.drained = false;
}

int unacknowledged(const StatusView& view) {
    irs_channel_state state{};
    if (view.channel == nullptr || irs_channel_status(view.channel, &state) != IRS_OK) {
        return 0;
    }
    return static_cast<int>(state.unacknowledged);
}

// The phase the status lines follow: open while the channel is, never idle between connects.
int shownPhase(const StatusView& view, const irs_port_state& port) {
    if (view.channel != nullptr) {
        irs_channel_state state{};
        const bool open = irs_channel_status(view.channel, &state) == IRS_OK && state.open != 0;
        return open ? IRS_PHASE_OPEN : IRS_PHASE_SEARCHING;
    }
    return std::clamp(port.phase, static_cast<int>(IRS_PHASE_SEARCHING),
                      static_cast<int>(IRS_PHASE_CONNECTED));
}

} // namespace

void ptyShowStatus(const irs_port_state& port, StatusView& view) {
    const int phase = shownPhase(view, port);
    if (phase == view.shown) {
        return;
    }
    if (view.shown == IRS_PHASE_OPEN) {
        ptyStatus("channel lost");
        // The next channel starts with empty queues: what waited for this one is gone.
        const int dropped = unacknowledged(view);
        if (dropped > 0) {
            ptyStatus("%d bytes not acknowledged dropped", dropped);
        }
    }
    if (phase == IRS_PHASE_SEARCHING) {
        ptyStatus("searching");
    }
    if (phase >= IRS_PHASE_CONNECTED && view.shown == IRS_PHASE_SEARCHING) {
        ptyStatus("connected to %s at %lu bit/s", port.peer_text,
                  static_cast<unsigned long>(port.speed));
    }
    if (phase == IRS_PHASE_OPEN) {
        ptyStatus("channel open");
        ptyForgetError();
    }
    view.shown = phase;
}

bool ptyFollowConnector(PtyLink& link, StatusView& view, bool portDown) {
    int result = IRS_OK;
    irs_channel* channel = nullptr;
    if (!link.connector.finished(result, channel)) {
        return true;
    }
    if (result == IRS_OK) {
        view.channel = channel;
        link.drained = false;
        link.channel.store(channel);
        return true;
    }
    if (result == IRS_ERR_ARG) {
        // The options were checked already: names that no query could carry.
        ptyStatus("service name too long (%d bytes at most): %s", IRS_NAME_MAX,
                  irs_strerror(result));
        return false;
    }
    if (result != IRS_ERR_NO_SERVICE && result != IRS_ERR_PORT_LOST) {
        const char* text = irs_strerror(result);
        ptyShowError(text, std::char_traits<char>::length(text));
        Sleep(PTY_PORT_RETRY_MS);
    }
    // A lost port waits for the pump to open it again.
    if (!portDown && result != IRS_ERR_PORT_LOST && result != IRS_ERR_HANDLE) {
        link.connector.start(link.port, link.role, link.options);
    }
    return true;
}

void ptyFollowChannelEnd(PtyLink& link, StatusView& view) {
    if (view.channel == nullptr || !link.drained || view.shown == IRS_PHASE_OPEN) {
        return;
    }
    closeChannel(link, view);
    link.connector.start(link.port, link.role, link.options);
}

bool ptyFollowPort(PtyLink& link, StatusView& view, PortWatch& watch, const irs_port_state& port) {
    const PtyOptions& options = link.options;
    if (!watch.down) {
        if (port.port_error == 0) {
            return true;
        }
        ptyStatus("port lost: %s (error %lu)", options.port,
                  static_cast<unsigned long>(port.port_error));
        if (options.stdio) {
            return false;
        }
        ptyHoldInput(link);
        const int dropped = unacknowledged(view);
        if (dropped > 0) {
            ptyStatus("%d bytes not acknowledged dropped", dropped);
        }
        if (view.shown == IRS_PHASE_OPEN) {
            ptyStatus("channel lost");
        }
        view.shown = IRS_PHASE_SEARCHING;
        watch = PortWatch{true, false, GetTickCount()};
        return true;
    }
    if (!watch.closed) {
        // What the peer sent before the loss is delivered first; a connect ends with the port.
        if ((view.channel != nullptr && !link.drained) || link.connector.running()) {
            return true;
        }
        closeChannel(link, view);
        irs_close(link.port);
        link.port = nullptr;
        watch.closed = true;
    }
    if (GetTickCount() - watch.lastTry < PTY_PORT_RETRY_MS) {
        return true;
    }
    watch.lastTry = GetTickCount();
    irs_port* reopened = nullptr;
    if (irs_open(options.port, link.role.variant, options.maxSpeed, link.role.role, &reopened) !=
        IRS_OK) {
        return true;
    }
    irs_set_link_limits(reopened, options.maxWindow, options.maxFrame);
    link.port = reopened;
    ptyForgetError();
    ptyStatus("port back");
    link.connector.start(link.port, link.role, options);
    ptyStatus("searching");
    watch.down = false;
    return true;
}
