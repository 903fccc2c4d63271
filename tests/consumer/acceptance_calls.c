/* Calls that must fail cleanly: opens of what is no free port, every call with a null handle or
 * a bad argument, and port handles used after their close. */
#include "acceptance.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

/* Another process holds `path` (this program with --hold) until `*release` is closed. */
static pid_t hold_elsewhere(const char* self, const char* path, int* release, int* said) {
    int input[2];
    int output[2];
    posix_spawn_file_actions_t actions;
    char* argv[4];
    pid_t pid = -1;
    char text[16] = "";
    struct pollfd ready;
    if (pipe(input) != 0) {
        return -1;
    }
    if (pipe(output) != 0) {
        close(input[0]);
        close(input[1]);
        return -1;
    }
    argv[0] = (char*)self;
    argv[1] = "--hold";
    argv[2] = (char*)path;
    argv[3] = NULL;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_addclose(&actions, input[1]);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    if (posix_spawn(&pid, self, &actions, NULL, argv, environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(output[1]);
    *release = input[1];
    ready.fd = output[0];
    ready.events = POLLIN;
    *said = pid > 0 && poll(&ready, 1, 10000) == 1 && read(output[0], text, sizeof text - 1) > 0 &&
            strncmp(text, "held", 4) == 0;
    close(output[0]);
    return pid;
}

/* irs_open answers IRS_ERR_PORT for what is no serial port and for a port already held, by
 * this process or another; the port opens again once it is free. */
static void open_faults(int* failures, const char* self) {
    acc_case c = {"b: irs_open of /dev/null, a regular file and a port already open", 0, ""};
    acc_link link;
    irs_port* port = NULL;
    irs_port* again = NULL;
    char plain[ACC_PATH_SIZE + 16];
    int file;
    acc_expect(&c, "irs_open (/dev/null)", irs_open("/dev/null", 'a', 0, IRS_ROLE_COMPUTER, &port),
               IRS_ERR_PORT);
    if (acc_link_start(&link, "open", 0)) {
        int release = -1;
        int said = 0;
        pid_t holder;
        snprintf(plain, sizeof plain, "%s.file", link.a);
        file = open(plain, O_CREAT | O_WRONLY | O_TRUNC, 0600);
        acc_check(&c, file >= 0 && write(file, "not a port\n", 11) == 11, "cannot make %s", plain);
        if (file >= 0) {
            close(file);
        }
        acc_expect(&c, "irs_open (a regular file)",
                   irs_open(plain, 'a', 0, IRS_ROLE_COMPUTER, &port), IRS_ERR_PORT);
        acc_expect(&c, "irs_open", irs_open(link.a, 'a', 0, IRS_ROLE_COMPUTER, &port), IRS_OK);
        acc_expect(&c, "irs_open (open in this process)",
                   irs_open(link.a, 'b', 0, IRS_ROLE_DEVICE, &again), IRS_ERR_PORT);
        acc_expect(&c, "irs_close", irs_close(port), IRS_OK);
        holder = hold_elsewhere(self, link.a, &release, &said);
        if (acc_check(&c, said, "the other process could not open the port")) {
            acc_expect(&c, "irs_open (held by another process)",
                       irs_open(link.a, 'a', 0, IRS_ROLE_COMPUTER, &again), IRS_ERR_PORT);
        }
        if (release >= 0) {
            close(release);
        }
        if (holder > 0) {
            waitpid(holder, NULL, 0);
        }
        acc_expect(&c, "irs_open (free again)", irs_open(link.a, 'a', 0, IRS_ROLE_COMPUTER, &port),
                   IRS_OK);
        irs_close(port);
        unlink(plain);
        acc_link_stop(&link);
    } else {
        acc_check(&c, 0, "vlink did not start");
    }
    *failures += acc_report(&c);
}

/* Each call with a null handle answers IRS_ERR_HANDLE, with a null pointer or a value out of
 * range IRS_ERR_ARG, in the wrong role IRS_ERR_STATE. */
static void bad_arguments(int* failures) {
    acc_case c = {"bad arguments: null handles, null pointers, values out of range", 0, ""};
    acc_pair pair;
    irs_channel* channel = NULL;
    irs_device devices[2];
    irs_port_state port_state;
    irs_channel_state channel_state;
    irs_port* port = NULL;
    char byte = 0;
    char long_name[IRS_NAME_MAX + 2];
    const char* text;
    int code;
    for (code = 0; code >= -12; --code) {
        text = irs_strerror(code);
        acc_check(&c, text != NULL && text[0] != '\0', "irs_strerror(%d) is empty", code);
    }
    text = irs_strerror(12345);
    acc_check(&c, text != NULL && strcmp(text, "unknown error") == 0,
              "irs_strerror of an unknown code: %s", text != NULL ? text : "null");
    acc_expect(&c, "irs_set_log (null)", irs_set_log(NULL, NULL), IRS_OK);

    acc_expect(&c, "irs_port_status", irs_port_status(NULL, &port_state), IRS_ERR_HANDLE);
    acc_expect(&c, "irs_set_link_limits", irs_set_link_limits(NULL, 7, 2048), IRS_ERR_HANDLE);
    acc_expect(&c, "irs_close", irs_close(NULL), IRS_ERR_HANDLE);
    acc_expect(&c, "irs_discover", irs_discover(NULL, 100, devices, 2), IRS_ERR_HANDLE);
    acc_expect(&c, "irs_connect", irs_connect(NULL, NULL, NULL, IRS_MODE_IRCOMM, 0, &channel),
               IRS_ERR_HANDLE);
    acc_expect(&c, "irs_connect_lsap", irs_connect_lsap(NULL, 1, IRS_MODE_RAW, 0, &channel),
               IRS_ERR_HANDLE);
    acc_expect(&c, "irs_listen", irs_listen(NULL, NULL, NULL, IRS_MODE_IRCOMM, 0, &channel),
               IRS_ERR_HANDLE);
    acc_expect(&c, "irs_read", irs_read(NULL, &byte, 1, 0), IRS_ERR_HANDLE);
    acc_expect(&c, "irs_write", irs_write(NULL, &byte, 1, 0), IRS_ERR_HANDLE);
    acc_expect(&c, "irs_available", irs_available(NULL), IRS_ERR_HANDLE);
    acc_expect(&c, "irs_fd", irs_fd(NULL), IRS_ERR_HANDLE);
    acc_expect(&c, "irs_channel_status", irs_channel_status(NULL, &channel_state), IRS_ERR_HANDLE);
    acc_expect(&c, "irs_channel_close", irs_channel_close(NULL), IRS_ERR_HANDLE);

    acc_expect(&c, "irs_open (null path)", irs_open(NULL, 'a', 0, IRS_ROLE_COMPUTER, &port),
               IRS_ERR_ARG);
    acc_expect(&c, "irs_open (empty path)", irs_open("", 'a', 0, IRS_ROLE_COMPUTER, &port),
               IRS_ERR_ARG);
    acc_expect(&c, "irs_open (null handle)", irs_open("/dev/null", 'a', 0, 0, NULL), IRS_ERR_ARG);
    acc_expect(&c, "irs_open (variant)", irs_open("/dev/null", 'c', 0, 0, &port), IRS_ERR_ARG);
    acc_expect(&c, "irs_open (speed)", irs_open("/dev/null", 'a', 2400, 0, &port), IRS_ERR_ARG);
    acc_expect(&c, "irs_open (role)", irs_open("/dev/null", 'a', 0, 2, &port), IRS_ERR_ARG);
    acc_check(&c, port == NULL, "a failed irs_open left a handle");

    memset(long_name, 'N', sizeof long_name - 1);
    long_name[sizeof long_name - 1] = '\0';
    if (acc_pair_open(&c, &pair, "arguments", 0)) {
        irs_port* computer = pair.computer;
        irs_port* device = pair.device;
        acc_expect(&c, "irs_port_status (null)", irs_port_status(computer, NULL), IRS_ERR_ARG);
        acc_expect(&c, "irs_set_link_limits (window 0)", irs_set_link_limits(computer, 0, 2048),
                   IRS_ERR_ARG);
        acc_expect(&c, "irs_set_link_limits (window 8)", irs_set_link_limits(computer, 8, 2048),
                   IRS_ERR_ARG);
        acc_expect(&c, "irs_set_link_limits (frame 63)", irs_set_link_limits(device, 7, 63),
                   IRS_ERR_ARG);
        acc_expect(&c, "irs_set_link_limits (frame 2049)", irs_set_link_limits(device, 7, 2049),
                   IRS_ERR_ARG);
        acc_expect(&c, "irs_discover (time-out 0)", irs_discover(computer, 0, devices, 2),
                   IRS_ERR_ARG);
        acc_expect(&c, "irs_discover (null)", irs_discover(computer, 100, NULL, 2), IRS_ERR_ARG);
        acc_expect(&c, "irs_discover (no room)", irs_discover(computer, 100, devices, 0),
                   IRS_ERR_ARG);
        acc_expect(&c, "irs_discover (device)", irs_discover(device, 100, devices, 2),
                   IRS_ERR_STATE);
        acc_expect(&c, "irs_connect (null channel)",
                   irs_connect(computer, NULL, NULL, IRS_MODE_IRCOMM, 0, NULL), IRS_ERR_ARG);
        acc_expect(&c, "irs_connect (mode)", irs_connect(computer, NULL, NULL, 2, 0, &channel),
                   IRS_ERR_ARG);
        acc_expect(&c, "irs_connect (empty name)",
                   irs_connect(computer, "", "Sel", IRS_MODE_RAW, 0, &channel), IRS_ERR_ARG);
        acc_expect(&c, "irs_connect (long name)",
                   irs_connect(computer, long_name, NULL, IRS_MODE_RAW, 0, &channel), IRS_ERR_ARG);
        acc_expect(&c, "irs_connect (device)",
                   irs_connect(device, NULL, NULL, IRS_MODE_IRCOMM, 0, &channel), IRS_ERR_STATE);
        acc_expect(&c, "irs_connect_lsap (-1)",
                   irs_connect_lsap(computer, -1, IRS_MODE_RAW, 0, &channel), IRS_ERR_ARG);
        acc_expect(&c, "irs_connect_lsap (128)",
                   irs_connect_lsap(computer, 128, IRS_MODE_RAW, 0, &channel), IRS_ERR_ARG);
        acc_expect(&c, "irs_connect_lsap (null channel)",
                   irs_connect_lsap(computer, 1, IRS_MODE_RAW, 0, NULL), IRS_ERR_ARG);
        acc_expect(&c, "irs_listen (null channel)",
                   irs_listen(device, NULL, NULL, IRS_MODE_IRCOMM, 0, NULL), IRS_ERR_ARG);
        acc_expect(&c, "irs_listen (mode)", irs_listen(device, NULL, NULL, -1, 0, &channel),
                   IRS_ERR_ARG);
        acc_expect(&c, "irs_listen (long name)",
                   irs_listen(device, "Class", long_name, IRS_MODE_RAW, 0, &channel), IRS_ERR_ARG);
        acc_expect(&c, "irs_listen (computer)",
                   irs_listen(computer, NULL, NULL, IRS_MODE_IRCOMM, 0, &channel), IRS_ERR_STATE);
        acc_check(&c, channel == NULL, "a failed call left a channel");
    }
    acc_pair_close(&pair);
    *failures += acc_report(&c);
}

/* A closed port's handle answers IRS_ERR_HANDLE, also once another port has been opened in its
 * place; the new one is untouched by calls on the old. */
static void stale_port(int* failures) {
    acc_case c = {"closed and stale port handles answer IRS_ERR_HANDLE", 0, ""};
    acc_link link;
    irs_port* old_port = NULL;
    irs_port* new_port = NULL;
    if (acc_check(&c, acc_link_start(&link, "stale-port", 0), "vlink did not start") &&
        acc_expect(&c, "irs_open", irs_open(link.a, 'a', 0, IRS_ROLE_COMPUTER, &old_port),
                   IRS_OK)) {
        irs_port_state state;
        irs_device devices[2];
        irs_channel* channel = NULL;
        acc_expect(&c, "irs_close", irs_close(old_port), IRS_OK);
        acc_expect(&c, "irs_port_status (closed)", irs_port_status(old_port, &state),
                   IRS_ERR_HANDLE);
        acc_expect(&c, "irs_open (another)", irs_open(link.a, 'b', 0, IRS_ROLE_COMPUTER, &new_port),
                   IRS_OK);
        acc_expect(&c, "irs_port_status (stale)", irs_port_status(old_port, &state),
                   IRS_ERR_HANDLE);
        acc_expect(&c, "irs_set_link_limits (stale)", irs_set_link_limits(old_port, 1, 64),
                   IRS_ERR_HANDLE);
        acc_expect(&c, "irs_discover (stale)", irs_discover(old_port, 50, devices, 2),
                   IRS_ERR_HANDLE);
        acc_expect(&c, "irs_connect (stale)",
                   irs_connect(old_port, NULL, NULL, IRS_MODE_IRCOMM, 0, &channel), IRS_ERR_HANDLE);
        acc_expect(&c, "irs_connect_lsap (stale)",
                   irs_connect_lsap(old_port, 1, IRS_MODE_RAW, 0, &channel), IRS_ERR_HANDLE);
        acc_expect(&c, "irs_listen (stale)",
                   irs_listen(old_port, NULL, NULL, IRS_MODE_IRCOMM, 0, &channel), IRS_ERR_HANDLE);
        acc_expect(&c, "irs_close (stale)", irs_close(old_port), IRS_ERR_HANDLE);
        acc_expect(&c, "irs_port_status (new)", irs_port_status(new_port, &state), IRS_OK);
        acc_check(&c, state.phase == IRS_PHASE_IDLE, "the new port's phase is %d", state.phase);
        /* The new port still takes its limits: no call above reached it. */
        acc_expect(&c, "irs_set_link_limits (new)", irs_set_link_limits(new_port, 7, 2048), IRS_OK);
        acc_expect(&c, "irs_close (new)", irs_close(new_port), IRS_OK);
        acc_expect(&c, "irs_close (twice)", irs_close(new_port), IRS_ERR_HANDLE);
    }
    acc_link_stop(&link);
    *failures += acc_report(&c);
}

void acc_print_layouts(void) {
    printf("irs_device %lu address=%lu hints=%lu address_text=%lu hint_names=%lu nickname=%lu\n",
           (unsigned long)sizeof(irs_device), (unsigned long)offsetof(irs_device, address),
           (unsigned long)offsetof(irs_device, hints),
           (unsigned long)offsetof(irs_device, address_text),
           (unsigned long)offsetof(irs_device, hint_names),
           (unsigned long)offsetof(irs_device, nickname));
    printf("irs_port_state %lu phase=%lu peer_address=%lu peer_text=%lu speed=%lu port_error=%lu "
           "last_error=%lu\n",
           (unsigned long)sizeof(irs_port_state), (unsigned long)offsetof(irs_port_state, phase),
           (unsigned long)offsetof(irs_port_state, peer_address),
           (unsigned long)offsetof(irs_port_state, peer_text),
           (unsigned long)offsetof(irs_port_state, speed),
           (unsigned long)offsetof(irs_port_state, port_error),
           (unsigned long)offsetof(irs_port_state, last_error));
    printf("irs_channel_state %lu open=%lu available=%lu room=%lu unacknowledged=%lu\n",
           (unsigned long)sizeof(irs_channel_state),
           (unsigned long)offsetof(irs_channel_state, open),
           (unsigned long)offsetof(irs_channel_state, available),
           (unsigned long)offsetof(irs_channel_state, room),
           (unsigned long)offsetof(irs_channel_state, unacknowledged));
    acc_print_new_layouts();
}

void acc_cases_calls(int* failures, const char* self) {
    open_faults(failures, self);
    bad_arguments(failures);
    stale_port(failures);
    acc_cases_new_calls(failures);
}
