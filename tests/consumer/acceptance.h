/* The acceptance program's shared pieces: the case report, clocks, virtual links between two of
 * its own ports (vlink, one per case) and threads that wait in the library. */
#ifndef ACCEPTANCE_H
#define ACCEPTANCE_H

#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stddef.h>
#include <sys/types.h>

#include <irstack.h>

#define ACC_PATH_SIZE 256
#define ACC_CONNECT_MS 10000 /* a connect or listen, discovery included */
#define ACC_PIECE_MS 5000    /* the next piece of data */
#define ACC_GIVE_UP_MS 2500  /* a station's give-up on a silent peer */

/* A case's verdict: the first failure is kept for its report line. */
typedef struct acc_case {
    const char* name;
    int failed;
    char why[200];
} acc_case;

/* Records a failure when `ok` is 0; returns `ok`. */
int acc_check(acc_case* c, int ok, const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 3, 4)))
#endif
    ;
/* Checks that a call answered `expected`, naming the call. */
int acc_expect(acc_case* c, const char* call, long got, long expected);
/* Prints the case's line, with the time since the last line, and returns 1 when it failed. */
void acc_report_start(void);
int acc_report(const acc_case* c);

long acc_now_ms(void);

/* A vlink between two paths, its frames captured when asked. */
typedef struct acc_link {
    pid_t pid;
    int errors; /* vlink's standard error, kept open until it stops */
    char a[ACC_PATH_SIZE];
    char b[ACC_PATH_SIZE];
    char pcap[ACC_PATH_SIZE];
} acc_link;

/* The vlink program and a folder for its paths, set once by main. */
void acc_set_link_tool(const char* vlink, const char* folder);
int acc_link_start(acc_link* link, const char* name, int capture);
void acc_link_stop(acc_link* link);
/* Bytes of the capture file so far (-1 when it cannot be read). */
long acc_capture_size(const acc_link* link);

/* A device and a computer port on the two ends of a new link. */
typedef struct acc_pair {
    acc_link link;
    irs_port* device;
    irs_port* computer;
} acc_pair;
int acc_pair_open(acc_case* c, acc_pair* pair, const char* name, int capture);
void acc_pair_close(acc_pair* pair);

/* irs_listen or irs_read in a thread of its own. */
typedef struct acc_waiter {
    pthread_t thread;
    int started;
    irs_port* port;
    const char* class_name;
    const char* attribute;
    int mode;
    irs_channel* channel; /* the listen's result, or the channel read */
    long result;
    long ended_ms; /* when the call returned */
    unsigned char* buffer;
    size_t size;
    size_t got; /* bytes read before the read ended */
} acc_waiter;
int acc_listen_start(acc_waiter* waiter);
/* Reads into `buffer` until the channel ends or ACC_CONNECT_MS pass without a byte. */
int acc_drain_start(acc_waiter* waiter);
void acc_wait_join(acc_waiter* waiter);

/* Moves `size` bytes of `pattern` from one end to the other; 1 when they arrived unchanged. */
int acc_send_check(acc_case* c, const char* what, irs_channel* from, irs_channel* to, int pattern,
                   size_t size);
void acc_pattern(unsigned char* bytes, size_t size, int pattern);

/* Waits up to `timeout_ms` for the port's phase to be `phase`; the status is left in `state`. */
int acc_wait_phase(irs_port* port, int phase, int timeout_ms, irs_port_state* state);

/* The cases, by file. */
void acc_cases_channels(int* failures);
void acc_cases_faults(int* failures);
void acc_cases_calls(int* failures, const char* self);
void acc_cases_new_calls(int* failures);
/* The struct layouts, one line each ("NAME SIZE FIELD=OFFSET ..."), for the ctypes check. */
void acc_print_layouts(void);
void acc_print_new_layouts(void);

#endif
