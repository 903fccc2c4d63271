/* The ends of a link: the last channel's close is seen by the peer at once and leaves the link
 * quiet, and a peer that leaves shows in the status that stays. */
#include "acceptance.h"

#include <poll.h>
#include <stdio.h>
#include <string.h>

#define QUIET_MS 1500 /* longer than any repeat a station would make on its own */

/* A raw channel between the pair's ports; its two ends in `computer_end` and `device_end`. */
static int link_up(acc_case* c, acc_pair* pair, irs_channel** computer_end,
                   irs_channel** device_end) {
    acc_waiter listener;
    memset(&listener, 0, sizeof listener);
    listener.port = pair->device;
    listener.class_name = "Fault";
    listener.attribute = "Sel";
    listener.mode = IRS_MODE_RAW;
    if (!acc_check(c, acc_listen_start(&listener), "no thread")) {
        return 0;
    }
    acc_expect(
        c, "irs_connect",
        irs_connect(pair->computer, "Fault", "Sel", IRS_MODE_RAW, ACC_CONNECT_MS, computer_end),
        IRS_OK);
    if (c->failed) {
        irs_close(pair->device);
        pair->device = NULL;
    }
    acc_wait_join(&listener);
    *device_end = listener.channel;
    return !c->failed && acc_expect(c, "irs_listen", listener.result, IRS_OK);
}

/* One end closes its only channel: the other's read ends with IRS_ERR_PEER_GONE well before it
 * would give up on a silent peer, both ports go IDLE and no frame follows. */
static void last_channel_close(int* failures, int device_closes) {
    acc_case c = {device_closes ? "c: the device closes the last channel, the computer sees it"
                                : "c: the computer closes the last channel, the device sees it",
                  0, ""};
    acc_pair pair;
    irs_channel* ends[2] = {NULL, NULL}; /* computer's, device's */
    unsigned char buffer[64];
    acc_waiter peer;
    memset(&peer, 0, sizeof peer);
    if (acc_pair_open(&c, &pair, "close", 1) && link_up(&c, &pair, &ends[0], &ends[1])) {
        irs_channel* closing = ends[device_closes ? 1 : 0];
        irs_port_state state;
        long began;
        long elapsed;
        long before;
        long after;
        int idle;
        peer.channel = ends[device_closes ? 0 : 1];
        peer.buffer = buffer;
        peer.size = sizeof buffer;
        acc_check(&c, acc_drain_start(&peer), "no thread");
        began = acc_now_ms();
        acc_expect(&c, "irs_channel_close", irs_channel_close(closing), IRS_OK);
        acc_wait_join(&peer);
        elapsed = peer.ended_ms - began;
        acc_expect(&c, "the peer's irs_read", peer.result, IRS_ERR_PEER_GONE);
        acc_check(&c, elapsed < ACC_GIVE_UP_MS - 700,
                  "the peer's read ended %ld ms after the close: not well before the %d ms "
                  "give-up",
                  elapsed, ACC_GIVE_UP_MS);
        irs_channel_close(peer.channel);
        idle = acc_wait_phase(pair.computer, IRS_PHASE_IDLE, ACC_PIECE_MS, &state);
        acc_check(&c, idle, "the computer's phase is %d, not IDLE", state.phase);
        idle = acc_wait_phase(pair.device, IRS_PHASE_IDLE, ACC_PIECE_MS, &state);
        acc_check(&c, idle, "the device's phase is %d, not IDLE", state.phase);
        /* The last frames may still be on their way through the link when both say IDLE. */
        poll(NULL, 0, 300);
        before = acc_capture_size(&pair.link);
        poll(NULL, 0, QUIET_MS);
        after = acc_capture_size(&pair.link);
        acc_check(&c, before > 0 && after == before,
                  "%ld bytes of frames captured in the %d ms after the link ended", after - before,
                  QUIET_MS);
    }
    acc_pair_close(&pair);
    acc_wait_join(&peer);
    *failures += acc_report(&c);
}

/* One end's port closes under an open channel: the other sees the end, goes IDLE and says why
 * in last_error. */
static void peer_left(int* failures, int device_leaves) {
    acc_case c = {device_leaves
                      ? "d: last_error says \"peer gone\" once the device's port closed"
                      : "d: last_error says \"peer gone\" once the computer's port closed",
                  0, ""};
    acc_pair pair;
    irs_channel* ends[2] = {NULL, NULL};
    if (acc_pair_open(&c, &pair, "left", 0) && link_up(&c, &pair, &ends[0], &ends[1])) {
        irs_port** leaving = device_leaves ? &pair.device : &pair.computer;
        irs_port* staying = device_leaves ? pair.computer : pair.device;
        irs_channel* staying_end = ends[device_leaves ? 0 : 1];
        irs_port_state state;
        char byte;
        acc_expect(&c, "irs_close", irs_close(*leaving), IRS_OK);
        *leaving = NULL;
        acc_expect(&c, "irs_read on the end that stays",
                   irs_read(staying_end, &byte, 1, ACC_CONNECT_MS), IRS_ERR_PEER_GONE);
        const int idle = acc_wait_phase(staying, IRS_PHASE_IDLE, ACC_PIECE_MS, &state);
        acc_check(&c, idle, "phase %d, not IDLE", state.phase);
        acc_check(&c, strncmp(state.last_error, "peer gone", 9) == 0, "last_error is \"%.*s\"",
                  (int)sizeof state.last_error, state.last_error);
        irs_channel_close(staying_end);
    }
    acc_pair_close(&pair);
    *failures += acc_report(&c);
}

void acc_cases_faults(int* failures) {
    last_channel_close(failures, 0);
    last_channel_close(failures, 1);
    peer_left(failures, 1);
    peer_left(failures, 0);
}
