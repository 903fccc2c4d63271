/* Channels over one link: two at once with the device's services offered in either order, a
 * close with bytes still queued, and a channel handle that stays dead once closed. */
#include "acceptance.h"

#include <stdio.h>
#include <string.h>

typedef struct service {
    const char* class_name;
    const char* attribute;
    int mode;
    const char* label;
} service;

static const service RAW = {"Acceptance", "TinyTP:LsapSel", IRS_MODE_RAW, "raw"};
static const service IRCOMM = {NULL, NULL, IRS_MODE_IRCOMM, "IrCOMM"};

#define QUEUED_BYTES 12000 /* over a second at 115200 bit/s: most still queued at the close */

static unsigned char queued_sent[QUEUED_BYTES];
static unsigned char queued_received[QUEUED_BYTES];

static void listener_for(acc_waiter* waiter, irs_port* port, const service* offered) {
    memset(waiter, 0, sizeof *waiter);
    waiter->port = port;
    waiter->class_name = offered->class_name;
    waiter->attribute = offered->attribute;
    waiter->mode = offered->mode;
}

static int connect_to(acc_case* c, irs_port* computer, const service* wanted,
                      irs_channel** channel) {
    char call[64];
    snprintf(call, sizeof call, "irs_connect (%s)", wanted->label);
    return acc_expect(c, call,
                      irs_connect(computer, wanted->class_name, wanted->attribute, wanted->mode,
                                  ACC_CONNECT_MS, channel),
                      IRS_OK);
}

/* The device offers `first`, then `second`, and listens on each from a thread of its own; the
 * computer connects to the second first. Bytes go each way on both channels. */
static void two_channels(int* failures, const service* first, const service* second,
                         const char* name) {
    acc_case c = {name, 0, ""};
    acc_pair pair;
    const service* offered[2] = {first, second};
    acc_waiter listeners[2];
    irs_channel* ends[2] = {NULL, NULL};
    irs_channel* none = NULL;
    int i;
    memset(listeners, 0, sizeof listeners);
    if (acc_pair_open(&c, &pair, "two", 0)) {
        for (i = 0; i < 2; ++i) {
            acc_expect(&c, "irs_listen (no wait)",
                       irs_listen(pair.device, offered[i]->class_name, offered[i]->attribute,
                                  offered[i]->mode, 0, &none),
                       IRS_ERR_TIMEOUT);
        }
        for (i = 0; i < 2; ++i) {
            listener_for(&listeners[i], pair.device, offered[i]);
            acc_check(&c, acc_listen_start(&listeners[i]), "no thread");
        }
        for (i = 1; i >= 0 && !c.failed; --i) {
            connect_to(&c, pair.computer, offered[i], &ends[i]);
        }
        for (i = 0; i < 2 && !c.failed; ++i) {
            acc_wait_join(&listeners[i]);
            acc_expect(&c, "irs_listen", listeners[i].result, IRS_OK);
        }
        for (i = 0; i < 2 && !c.failed; ++i) {
            char what[64];
            snprintf(what, sizeof what, "%s to the device", offered[i]->label);
            acc_send_check(&c, what, ends[i], listeners[i].channel, i, 3000);
            snprintf(what, sizeof what, "%s to the computer", offered[i]->label);
            acc_send_check(&c, what, listeners[i].channel, ends[i], i + 2, 3000);
        }
    }
    acc_pair_close(&pair); /* ends the listens that still wait */
    for (i = 0; i < 2; ++i) {
        acc_wait_join(&listeners[i]);
    }
    *failures += acc_report(&c);
}

/* A raw channel from the computer to the device's one service. */
static int open_channel(acc_case* c, acc_pair* pair, irs_channel** computer_end,
                        irs_channel** device_end) {
    acc_waiter listener;
    listener_for(&listener, pair->device, &RAW);
    if (!acc_check(c, acc_listen_start(&listener), "no thread")) {
        return 0;
    }
    connect_to(c, pair->computer, &RAW, computer_end);
    if (c->failed) {
        irs_close(pair->device); /* ends the listen */
        pair->device = NULL;
    }
    acc_wait_join(&listener);
    *device_end = listener.channel;
    return !c->failed && acc_expect(c, "irs_listen", listener.result, IRS_OK);
}

/* The computer queues more than the link moves in a second and closes at once: the device
 * still reads every byte, then the end. */
static void close_with_queued_data(int* failures) {
    acc_case c = {"close with queued data: the peer receives every byte", 0, ""};
    acc_pair pair;
    irs_channel* computer_end = NULL;
    acc_waiter drain;
    memset(&drain, 0, sizeof drain);
    if (acc_pair_open(&c, &pair, "queued", 0) &&
        open_channel(&c, &pair, &computer_end, &drain.channel)) {
        long queued;
        acc_pattern(queued_sent, sizeof queued_sent, 5);
        drain.buffer = queued_received;
        drain.size = sizeof queued_received;
        acc_check(&c, acc_drain_start(&drain), "no thread");
        queued = irs_write(computer_end, queued_sent, sizeof queued_sent, ACC_CONNECT_MS);
        acc_expect(&c, "irs_write", queued, (long)sizeof queued_sent);
        acc_expect(&c, "irs_channel_close with bytes queued", irs_channel_close(computer_end),
                   IRS_OK);
        acc_wait_join(&drain);
        acc_check(&c, drain.got == sizeof queued_sent, "the device read %lu of %lu bytes",
                  (unsigned long)drain.got, (unsigned long)sizeof queued_sent);
        acc_check(&c, memcmp(queued_sent, queued_received, drain.got) == 0, "the bytes differ");
        acc_expect(&c, "the device's read after the last byte", drain.result, IRS_ERR_PEER_GONE);
    }
    acc_pair_close(&pair);
    acc_wait_join(&drain);
    *failures += acc_report(&c);
}

/* Every channel call answers IRS_ERR_ARG for a null pointer, a zero length or a bad value. */
static void bad_channel_arguments(acc_case* c, irs_channel* channel) {
    char byte = 0;
    acc_expect(c, "irs_read (null buffer)", irs_read(channel, NULL, 1, 0), IRS_ERR_ARG);
    acc_expect(c, "irs_read (no room)", irs_read(channel, &byte, 0, 0), IRS_ERR_ARG);
    acc_expect(c, "irs_write (null data)", irs_write(channel, NULL, 1, 0), IRS_ERR_ARG);
    acc_expect(c, "irs_write (no bytes)", irs_write(channel, &byte, 0, 0), IRS_ERR_ARG);
    acc_expect(c, "irs_channel_status (null)", irs_channel_status(channel, NULL), IRS_ERR_ARG);
}

/* A closed channel's handle answers IRS_ERR_HANDLE, also once a new channel has taken its
 * place; the new one works. */
static void stale_channel(int* failures) {
    acc_case c = {"closed and stale channel handles answer IRS_ERR_HANDLE", 0, ""};
    acc_case arguments = {"bad arguments on an open channel", 0, ""};
    acc_pair pair;
    irs_channel* old_end = NULL;
    irs_channel* old_device_end = NULL;
    irs_channel* new_end = NULL;
    irs_channel* new_device_end = NULL;
    if (acc_pair_open(&c, &pair, "stale", 0) &&
        open_channel(&c, &pair, &old_end, &old_device_end)) {
        irs_channel_state state;
        char byte = 0;
        acc_expect(&c, "irs_channel_close", irs_channel_close(old_end), IRS_OK);
        irs_read(old_device_end, &byte, 1, ACC_PIECE_MS); /* the device sees the end */
        irs_channel_close(old_device_end);
        acc_expect(&c, "irs_read (closed)", irs_read(old_end, &byte, 1, 0), IRS_ERR_HANDLE);
        if (open_channel(&c, &pair, &new_end, &new_device_end)) {
            acc_expect(&c, "irs_read (stale)", irs_read(old_end, &byte, 1, 0), IRS_ERR_HANDLE);
            acc_expect(&c, "irs_write (stale)", irs_write(old_end, "x", 1, 0), IRS_ERR_HANDLE);
            acc_expect(&c, "irs_available (stale)", irs_available(old_end), IRS_ERR_HANDLE);
            acc_expect(&c, "irs_fd (stale)", irs_fd(old_end), IRS_ERR_HANDLE);
            acc_expect(&c, "irs_channel_status (stale)", irs_channel_status(old_end, &state),
                       IRS_ERR_HANDLE);
            acc_expect(&c, "irs_channel_close (stale)", irs_channel_close(old_end), IRS_ERR_HANDLE);
            acc_expect(&c, "irs_channel_close (stale device end)",
                       irs_channel_close(old_device_end), IRS_ERR_HANDLE);
            acc_expect(&c, "irs_channel_status (new)", irs_channel_status(new_end, &state), IRS_OK);
            acc_check(&c, state.open == 1, "the new channel is not open");
            acc_send_check(&c, "the new channel", new_end, new_device_end, 7, 500);
            acc_send_check(&c, "the new channel back", new_device_end, new_end, 8, 500);
            bad_channel_arguments(&arguments, new_end);
            bad_channel_arguments(&arguments, new_device_end);
        }
    }
    acc_check(&arguments, new_end != NULL, "no channel opened");
    acc_pair_close(&pair);
    *failures += acc_report(&c);
    *failures += acc_report(&arguments);
}

void acc_cases_channels(int* failures) {
    two_channels(failures, &RAW, &IRCOMM,
                 "two channels, device offers raw then IrCOMM (IrCOMM on the second selector)");
    two_channels(failures, &IRCOMM, &RAW, "two channels, device offers IrCOMM then raw");
    close_with_queued_data(failures);
    stale_channel(failures);
}
