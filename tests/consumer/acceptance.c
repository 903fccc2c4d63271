/* The library's acceptance program, built against the installed packages alone: each case of
 * what irstack.h promises prints one line, PASS or FAIL with the first thing that went wrong.
 * Two of its own ports talk over a vlink of their own per case.
 *
 * usage: acceptance VLINK FOLDER   run every case; vlink makes its paths in FOLDER
 *        acceptance --hold PATH    open PATH and keep it until standard input ends
 *        acceptance --layouts      print the public structs' sizes and offsets
 * Exit status: 0 every case passed, 1 a case failed, 2 usage. */
#include "acceptance.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static const char* link_tool;
static const char* link_folder;

int acc_check(acc_case* c, int ok, const char* format, ...) {
    if (!ok && !c->failed) {
        va_list arguments;
        va_start(arguments, format);
        vsnprintf(c->why, sizeof c->why, format, arguments);
        va_end(arguments);
        c->failed = 1;
    }
    return ok;
}

int acc_expect(acc_case* c, const char* call, long got, long expected) {
    return acc_check(c, got == expected, "%s: %ld (%s), not %ld (%s)", call, got,
                     irs_strerror((int)got), expected, irs_strerror((int)expected));
}

static long last_ms = 0;
static int reported = 0;

void acc_report_start(void) {
    last_ms = acc_now_ms();
}

int acc_report(const acc_case* c) {
    /* The time since the last report: what the case (or the cases sharing its setup) took. */
    const long now = acc_now_ms();
    const double seconds = (double)(now - last_ms) / 1000.0;
    last_ms = now;
    ++reported;
    if (c->failed) {
        printf("FAIL %s: %s (%.1f s)\n", c->name, c->why, seconds);
    } else {
        printf("PASS %s (%.1f s)\n", c->name, seconds);
    }
    fflush(stdout);
    return c->failed;
}

long acc_now_ms(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long)now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

void acc_set_link_tool(const char* vlink, const char* folder) {
    link_tool = vlink;
    link_folder = folder;
}

/* Reads vlink's standard error until its "ready" line, for up to 10 s. */
static int await_ready(int errors) {
    char text[512];
    size_t used = 0;
    long deadline = acc_now_ms() + 10000;
    while (acc_now_ms() < deadline) {
        struct pollfd ready = {errors, POLLIN, 0};
        ssize_t got;
        if (poll(&ready, 1, 200) <= 0) {
            continue;
        }
        got = read(errors, text + used, sizeof text - 1 - used);
        if (got <= 0) {
            return 0;
        }
        used += (size_t)got;
        text[used] = '\0';
        if (strstr(text, "ready") != NULL) {
            return 1;
        }
        if (used + 1 >= sizeof text) {
            used = 0;
        }
    }
    return 0;
}

int acc_link_start(acc_link* link, const char* name, int capture) {
    int pipe_ends[2];
    posix_spawn_file_actions_t actions;
    char* argv[12];
    int argc = 0;
    int spawned;
    memset(link, 0, sizeof *link);
    link->pid = -1;
    link->errors = -1;
    snprintf(link->a, sizeof link->a, "%s/%s-a", link_folder, name);
    snprintf(link->b, sizeof link->b, "%s/%s-b", link_folder, name);
    snprintf(link->pcap, sizeof link->pcap, "%s/%s.pcap", link_folder, name);
    if (pipe(pipe_ends) != 0) {
        return 0;
    }
    /* Under timeout(1), so that a vlink outlives no crash of this program by long. */
    argv[argc++] = "timeout";
    argv[argc++] = "120";
    argv[argc++] = (char*)link_tool;
    argv[argc++] = "--quiet";
    argv[argc++] = "--a";
    argv[argc++] = link->a;
    argv[argc++] = "--b";
    argv[argc++] = link->b;
    if (capture) {
        argv[argc++] = "--pcap";
        argv[argc++] = link->pcap;
    }
    argv[argc] = NULL;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 2);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", 1, 0);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    spawned = posix_spawnp(&link->pid, argv[0], &actions, NULL, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    link->errors = pipe_ends[0];
    if (spawned != 0) {
        link->pid = -1;
        return 0;
    }
    return await_ready(link->errors);
}

void acc_link_stop(acc_link* link) {
    if (link->pid > 0) {
        kill(link->pid, SIGTERM);
        waitpid(link->pid, NULL, 0);
        link->pid = -1;
    }
    if (link->errors >= 0) {
        close(link->errors);
        link->errors = -1;
    }
}

long acc_capture_size(const acc_link* link) {
    struct stat info;
    return stat(link->pcap, &info) == 0 ? (long)info.st_size : -1;
}

int acc_pair_open(acc_case* c, acc_pair* pair, const char* name, int capture) {
    int result;
    pair->device = NULL;
    pair->computer = NULL;
    if (!acc_check(c, acc_link_start(&pair->link, name, capture), "vlink did not start")) {
        return 0;
    }
    result = irs_open(pair->link.a, 'a', 0, IRS_ROLE_DEVICE, &pair->device);
    if (!acc_expect(c, "irs_open (device)", result, IRS_OK)) {
        return 0;
    }
    result = irs_open(pair->link.b, 'a', 0, IRS_ROLE_COMPUTER, &pair->computer);
    return acc_expect(c, "irs_open (computer)", result, IRS_OK);
}

void acc_pair_close(acc_pair* pair) {
    if (pair->computer != NULL) {
        irs_close(pair->computer);
        pair->computer = NULL;
    }
    if (pair->device != NULL) {
        irs_close(pair->device);
        pair->device = NULL;
    }
    acc_link_stop(&pair->link);
}

static void* listen_entry(void* argument) {
    acc_waiter* waiter = argument;
    waiter->result = irs_listen(waiter->port, waiter->class_name, waiter->attribute, waiter->mode,
                                ACC_CONNECT_MS, &waiter->channel);
    waiter->ended_ms = acc_now_ms();
    return NULL;
}

static void* drain_entry(void* argument) {
    acc_waiter* waiter = argument;
    for (;;) {
        long got = waiter->got < waiter->size
                       ? irs_read(waiter->channel, waiter->buffer + waiter->got,
                                  waiter->size - waiter->got, ACC_CONNECT_MS)
                       : irs_read(waiter->channel, waiter->buffer, 1, ACC_CONNECT_MS);
        if (got < 0) {
            waiter->result = got;
            break;
        }
        if (waiter->got >= waiter->size) {
            waiter->result = IRS_ERR_ARG; /* more than was sent */
            break;
        }
        waiter->got += (size_t)got;
    }
    waiter->ended_ms = acc_now_ms();
    return NULL;
}

int acc_listen_start(acc_waiter* waiter) {
    waiter->channel = NULL;
    waiter->result = 1;
    waiter->started = pthread_create(&waiter->thread, NULL, listen_entry, waiter) == 0;
    return waiter->started;
}

int acc_drain_start(acc_waiter* waiter) {
    waiter->got = 0;
    waiter->result = 1;
    waiter->started = pthread_create(&waiter->thread, NULL, drain_entry, waiter) == 0;
    return waiter->started;
}

void acc_wait_join(acc_waiter* waiter) {
    if (waiter->started) {
        pthread_join(waiter->thread, NULL);
        waiter->started = 0;
    }
}

void acc_pattern(unsigned char* bytes, size_t size, int pattern) {
    size_t i;
    for (i = 0; i < size; ++i) {
        bytes[i] = (unsigned char)((size_t)pattern * 31U + i * 7U + i / 251U);
    }
}

int acc_send_check(acc_case* c, const char* what, irs_channel* from, irs_channel* to, int pattern,
                   size_t size) {
    unsigned char sent[4096];
    unsigned char received[4096];
    size_t total = 0;
    long moved;
    if (size > sizeof sent) {
        size = sizeof sent;
    }
    acc_pattern(sent, size, pattern);
    moved = irs_write(from, sent, size, ACC_PIECE_MS);
    if (!acc_check(c, moved == (long)size, "%s: irs_write gave %ld of %lu", what, moved,
                   (unsigned long)size)) {
        return 0;
    }
    while (total < size) {
        moved = irs_read(to, received + total, size - total, ACC_PIECE_MS);
        if (!acc_check(c, moved > 0, "%s: irs_read after %lu bytes: %s", what, (unsigned long)total,
                       irs_strerror((int)moved))) {
            return 0;
        }
        total += (size_t)moved;
    }
    return acc_check(c, memcmp(sent, received, size) == 0, "%s: the bytes differ", what);
}

int acc_wait_phase(irs_port* port, int phase, int timeout_ms, irs_port_state* state) {
    long deadline = acc_now_ms() + timeout_ms;
    memset(state, 0, sizeof *state);
    for (;;) {
        int result = irs_port_status(port, state);
        if (result == IRS_OK && state->phase == phase) {
            return 1;
        }
        if (result != IRS_OK || acc_now_ms() >= deadline) {
            return 0;
        }
        poll(NULL, 0, 20);
    }
}

/* Holds a port the way another program would, until standard input ends. */
static int hold(const char* path) {
    irs_port* port = NULL;
    char byte;
    int result = irs_open(path, 'a', 0, IRS_ROLE_COMPUTER, &port);
    printf("%s\n", result == IRS_OK ? "held" : irs_strerror(result));
    fflush(stdout);
    while (read(0, &byte, 1) > 0) {
    }
    return result == IRS_OK && irs_close(port) == IRS_OK ? 0 : 1;
}

int main(int argc, char** argv) {
    int failures = 0;
    if (argc == 3 && strcmp(argv[1], "--hold") == 0) {
        return hold(argv[2]);
    }
    if (argc == 2 && strcmp(argv[1], "--layouts") == 0) {
        acc_print_layouts();
        return 0;
    }
    if (argc != 3 || argv[1][0] == '-') {
        fprintf(stderr, "usage: acceptance VLINK FOLDER | --hold PATH | --layouts\n");
        return 2;
    }
    /* A vlink that ends early must not end this program with it. */
    signal(SIGPIPE, SIG_IGN);
    acc_set_link_tool(argv[1], argv[2]);
    acc_report_start();
    acc_cases_calls(&failures, argv[0]);
    acc_cases_channels(&failures);
    acc_cases_faults(&failures);
    printf("acceptance: %d of %d cases failed\n", failures, reported);
    return failures > 0 ? 1 : 0;
}
