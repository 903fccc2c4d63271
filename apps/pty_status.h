// The pump's view of the link, from the port's and the channel's status: the status lines, the
// connect's outcome, a channel that ends and a port that goes and comes back.
#pragma once

#include "pty_app.h"
#include "win32.h"

struct StatusView {
    int shown = IRS_PHASE_SEARCHING;
    // The channel the connect gave, until it is closed.
    irs_channel* channel = nullptr;
};

struct PortWatch {
    bool down = false;
    // The lost port's channel emptied and closed, and the port closed.
    bool closed = false;
    DWORD lastTry = 0;
};

// Takes the channel from the input thread (pty_pump.cpp), waiting for a read of the stream under
// way to end.
void ptyHoldInput(PtyLink& link);
// The status lines for a change of phase.
void ptyShowStatus(const irs_port_state& port, StatusView& view);
// The connect's outcome: the channel, or another try; false when the program must end.
bool ptyFollowConnector(PtyLink& link, StatusView& view, bool portDown);
// A channel that has ended, once emptied and its loss shown: closed, and a connect started again.
void ptyFollowChannelEnd(PtyLink& link, StatusView& view);
// The port: lost (the input held back, the channel emptied, the port closed), opened again every
// second, back (a connect started afresh). False when the program must end (--stdio).
bool ptyFollowPort(PtyLink& link, StatusView& view, PortWatch& watch, const irs_port_state& port);
