/* The calls that describe and end channels, ask a device's IAS and set a device's identity:
 * their bad arguments, and each at work over one link. Built with ACC_WITHOUT_NEW_CALLS against
 * a header that lacks them, each case says so and fails. */
#include "acceptance.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#define NEW_ARGUMENTS "new calls: bad arguments"
#define NEW_AT_WORK "identity, query and channel description over one link"
#define NEW_ABORT "abort ends the channel at once and the peer sees it"

#ifdef ACC_WITHOUT_NEW_CALLS

void acc_cases_new_calls(int* failures) {
    const char* names[] = {NEW_ARGUMENTS, NEW_AT_WORK, NEW_ABORT};
    size_t i;
    for (i = 0; i < sizeof names / sizeof names[0]; ++i) {
        acc_case c = {names[i], 0, ""};
        acc_check(&c, 0, "the installed irstack.h lacks its calls");
        *failures += acc_report(&c);
    }
}

void acc_print_new_layouts(void) {}

#else

#define CLASS "Acceptance"
#define ATTRIBUTE "TinyTP:LsapSel"
#define NICKNAME "acceptance"
#define HINTS 0x0404           /* Computer, IrCOMM */
#define HINT_EXTENSIONS 0x8080 /* the library's: "another hint byte follows" */

static void null_handles(acc_case* c) {
    irs_channel_info info;
    irs_ias_value value;
    acc_expect(c, "irs_channel_set_linger", irs_channel_set_linger(NULL, 0), IRS_ERR_HANDLE);
    acc_expect(c, "irs_channel_abort", irs_channel_abort(NULL), IRS_ERR_HANDLE);
    acc_expect(c, "irs_channel_describe", irs_channel_describe(NULL, &info), IRS_ERR_HANDLE);
    acc_expect(c, "irs_query", irs_query(NULL, CLASS, ATTRIBUTE, 100, &value, 1), IRS_ERR_HANDLE);
    acc_expect(c, "irs_set_identity", irs_set_identity(NULL, NICKNAME, HINTS), IRS_ERR_HANDLE);
}

static void port_arguments(acc_case* c, irs_port* computer, irs_port* device) {
    irs_ias_value value;
    char long_nickname[IRS_NICKNAME_SIZE + 1];
    memset(long_nickname, 'n', sizeof long_nickname - 1);
    long_nickname[sizeof long_nickname - 1] = '\0';
    acc_expect(c, "irs_query (null values)", irs_query(computer, CLASS, ATTRIBUTE, 100, NULL, 1),
               IRS_ERR_ARG);
    acc_expect(c, "irs_query (no room)", irs_query(computer, CLASS, ATTRIBUTE, 100, &value, 0),
               IRS_ERR_ARG);
    acc_expect(c, "irs_query (device)", irs_query(device, CLASS, ATTRIBUTE, 100, &value, 1),
               IRS_ERR_STATE);
    acc_expect(c, "irs_set_identity (null)", irs_set_identity(device, NULL, HINTS), IRS_ERR_ARG);
    acc_expect(c, "irs_set_identity (empty)", irs_set_identity(device, "", HINTS), IRS_ERR_ARG);
    acc_expect(c, "irs_set_identity (too long)", irs_set_identity(device, long_nickname, HINTS),
               IRS_ERR_ARG);
    acc_expect(c, "irs_set_identity (unprintable)", irs_set_identity(device, "tab\there", HINTS),
               IRS_ERR_ARG);
    acc_expect(c, "irs_set_identity (computer)", irs_set_identity(computer, NICKNAME, HINTS),
               IRS_ERR_STATE);
}

static void channel_arguments(acc_case* c, irs_channel* channel) {
    acc_expect(c, "irs_channel_set_linger (-1)", irs_channel_set_linger(channel, -1), IRS_ERR_ARG);
    acc_expect(c, "irs_channel_set_linger (600001)", irs_channel_set_linger(channel, 600001),
               IRS_ERR_ARG);
    acc_expect(c, "irs_channel_describe (null)", irs_channel_describe(channel, NULL), IRS_ERR_ARG);
}

/* The computer finds the device by the identity it set, asks its IAS for the service's selector
 * over the link that is up, and each end describes the channel. */
static void at_work(acc_case* c, acc_case* arguments, acc_case* abort_case, acc_pair* pair) {
    acc_waiter listener;
    irs_device devices[4];
    irs_channel* computer_end = NULL;
    irs_channel* none = NULL;
    irs_channel_info mine;
    irs_channel_info theirs;
    irs_ias_value values[2];
    int count;
    int found = 0;
    int i;
    acc_expect(c, "irs_set_identity", irs_set_identity(pair->device, NICKNAME, HINTS), IRS_OK);
    /* A listen that does not wait leaves the service offered and the station running. */
    acc_expect(c, "irs_listen (no wait)",
               irs_listen(pair->device, CLASS, ATTRIBUTE, IRS_MODE_RAW, 0, &none), IRS_ERR_TIMEOUT);
    acc_expect(c, "irs_set_identity (while offering)",
               irs_set_identity(pair->device, NICKNAME, HINTS), IRS_ERR_STATE);
    memset(&listener, 0, sizeof listener);
    listener.port = pair->device;
    listener.class_name = CLASS;
    listener.attribute = ATTRIBUTE;
    listener.mode = IRS_MODE_RAW;
    if (!acc_check(c, acc_listen_start(&listener), "no thread")) {
        return;
    }
    count = irs_discover(pair->computer, ACC_PIECE_MS, devices, 4);
    acc_check(c, count >= 1, "irs_discover: %d (%s)", count, irs_strerror(count));
    for (i = 0; i < count; ++i) {
        found |= strcmp(devices[i].nickname, NICKNAME) == 0 &&
                 (devices[i].hints & ~HINT_EXTENSIONS) == HINTS;
    }
    acc_check(c, found, "no device named \"%s\" with hints %04X found", NICKNAME, HINTS);
    acc_expect(
        c, "irs_connect",
        irs_connect(pair->computer, CLASS, ATTRIBUTE, IRS_MODE_RAW, ACC_CONNECT_MS, &computer_end),
        IRS_OK);
    if (c->failed) {
        irs_close(pair->device);
        pair->device = NULL;
    }
    acc_wait_join(&listener);
    if (c->failed || !acc_expect(c, "irs_listen", listener.result, IRS_OK)) {
        return;
    }
    acc_expect(c, "irs_channel_describe (computer)", irs_channel_describe(computer_end, &mine),
               IRS_OK);
    acc_expect(c, "irs_channel_describe (device)", irs_channel_describe(listener.channel, &theirs),
               IRS_OK);
    acc_check(c, mine.local_lsap == theirs.peer_lsap && mine.peer_lsap == theirs.local_lsap,
              "the ends' selectors do not match: %d-%d and %d-%d", mine.local_lsap, mine.peer_lsap,
              theirs.local_lsap, theirs.peer_lsap);
    acc_check(c,
              mine.mode == IRS_MODE_RAW && strcmp(mine.class_name, CLASS) == 0 &&
                  strcmp(theirs.attribute, ATTRIBUTE) == 0,
              "described as mode %d, \"%s\" \"%s\"", mine.mode, mine.class_name, theirs.attribute);
    count = irs_query(pair->computer, CLASS, ATTRIBUTE, ACC_CONNECT_MS, values, 2);
    if (acc_check(c, count == 1, "irs_query: %d (%s)", count, irs_strerror(count))) {
        acc_check(c, values[0].type == IRS_IAS_INTEGER && values[0].integer == theirs.local_lsap,
                  "irs_query: type %d value %ld, not the selector %d", values[0].type,
                  (long)values[0].integer, theirs.local_lsap);
    }
    acc_expect(c, "irs_query (no such class)",
               irs_query(pair->computer, "NoSuchClass", ATTRIBUTE, ACC_CONNECT_MS, values, 2),
               IRS_ERR_NO_SERVICE);
    channel_arguments(arguments, computer_end);
    channel_arguments(arguments, listener.channel);

    /* An abort drops what is queued and ends the channel: the peer sees the end. */
    {
        unsigned char bytes[2000];
        unsigned char byte;
        memset(bytes, 0x5A, sizeof bytes);
        irs_write(computer_end, bytes, sizeof bytes, 0);
        acc_expect(abort_case, "irs_channel_abort", irs_channel_abort(computer_end), IRS_OK);
        for (;;) {
            long got = irs_read(listener.channel, &byte, 1, ACC_PIECE_MS);
            if (got <= 0) {
                acc_expect(abort_case, "the peer's irs_read", got, IRS_ERR_PEER_GONE);
                break;
            }
        }
        acc_expect(abort_case, "irs_channel_abort (again)", irs_channel_abort(computer_end),
                   IRS_ERR_HANDLE);
        irs_channel_close(listener.channel);
    }
}

void acc_cases_new_calls(int* failures) {
    acc_case arguments = {NEW_ARGUMENTS, 0, ""};
    acc_case work = {NEW_AT_WORK, 0, ""};
    acc_case abort_case = {NEW_ABORT, 0, ""};
    acc_pair pair;
    null_handles(&arguments);
    if (acc_pair_open(&work, &pair, "new", 0)) {
        port_arguments(&arguments, pair.computer, pair.device);
        at_work(&work, &arguments, &abort_case, &pair);
    }
    acc_pair_close(&pair);
    acc_check(&abort_case, !work.failed, "no channel to abort");
    *failures += acc_report(&arguments);
    *failures += acc_report(&work);
    *failures += acc_report(&abort_case);
}

void acc_print_new_layouts(void) {
    printf("irs_channel_info %lu local_lsap=%lu peer_lsap=%lu mode=%lu class_name=%lu "
           "attribute=%lu\n",
           (unsigned long)sizeof(irs_channel_info),
           (unsigned long)offsetof(irs_channel_info, local_lsap),
           (unsigned long)offsetof(irs_channel_info, peer_lsap),
           (unsigned long)offsetof(irs_channel_info, mode),
           (unsigned long)offsetof(irs_channel_info, class_name),
           (unsigned long)offsetof(irs_channel_info, attribute));
    printf("irs_ias_value %lu type=%lu object_id=%lu integer=%lu charset=%lu length=%lu "
           "bytes=%lu\n",
           (unsigned long)sizeof(irs_ias_value), (unsigned long)offsetof(irs_ias_value, type),
           (unsigned long)offsetof(irs_ias_value, object_id),
           (unsigned long)offsetof(irs_ias_value, integer),
           (unsigned long)offsetof(irs_ias_value, charset),
           (unsigned long)offsetof(irs_ias_value, length),
           (unsigned long)offsetof(irs_ias_value, bytes));
}

#endif
