/* irs_fetch: sends one command to the infrared device in range and prints its answer.
 *
 * usage: irs_fetch [-r] [-l LSAP | -c CLASS -a ATTRIBUTE] [-n BYTES] PORT COMMAND
 *   -r  raw TinyTP instead of IrCOMM     -l  a fixed selector, asking no names
 *   -c, -a  the service's names (default: IrCOMM's)
 *   -n  the answer's length (default: it ends at the first pause of half a second)
 *
 * Prints each device found, one line each, then the answer's bytes as they came.
 * Exit status: 0 done, 2 usage, 3 port, 4 no device, 5 connect, 6 write, 7 no or short answer. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "irstack.h"

#define ANSWER_MS 5000
#define PAUSE_MS 500

static int usage(void) {
    fprintf(stderr, "usage: irs_fetch [-r] [-l LSAP | -c CLASS -a ATTRIBUTE] [-n BYTES] PORT "
                    "COMMAND\n");
    return 2;
}

static int fail(const char* what, int error, int status) {
    fprintf(stderr, "irs_fetch: %s: %s\n", what, irs_strerror(error));
    return status;
}

/* Prints the answer: `wanted` bytes (0: up to a pause), each piece within 5 s; returns the bytes
 * printed, or the error when none came. */
static long answer(irs_channel* channel, long wanted) {
    char buffer[256];
    long total = 0;
    int left = ANSWER_MS;
    while (wanted == 0 || total < wanted) {
        size_t size = sizeof buffer;
        long got;
        if (wanted > 0 && (size_t)(wanted - total) < size) {
            size = (size_t)(wanted - total);
        }
        got = irs_read(channel, buffer, size, left);
        if (got < 0) {
            return total > 0 ? total : got;
        }
        fwrite(buffer, 1, (size_t)got, stdout);
        total += got;
        if (wanted == 0) {
            left = PAUSE_MS;
        }
    }
    return total;
}

static int fetch(irs_port* port, const char* class_name, const char* attribute, int lsap, int mode,
                 const char* command, long wanted) {
    irs_device devices[8];
    irs_channel* channel = NULL;
    size_t length = strlen(command);
    int count;
    int index;
    int result;
    long moved;

    count = irs_discover(port, 4000, devices, (int)(sizeof devices / sizeof devices[0]));
    if (count < 0) {
        return fail("discovery", count, 4);
    }
    for (index = 0; index < count; ++index) {
        printf("%s  %s  \"%s\"\n", devices[index].address_text, devices[index].hint_names,
               devices[index].nickname);
    }
    fflush(stdout);
    if (count == 0) {
        fprintf(stderr, "irs_fetch: no device found\n");
        return 4;
    }
    result = lsap >= 0 ? irs_connect_lsap(port, lsap, mode, 10000, &channel)
                       : irs_connect(port, class_name, attribute, mode, 10000, &channel);
    if (result != IRS_OK) {
        return fail("connect", result, 5);
    }
    moved = irs_write(channel, command, length, ANSWER_MS);
    if (moved != (long)length) {
        return fail("write", moved < 0 ? (int)moved : IRS_ERR_TIMEOUT, 6);
    }
    moved = answer(channel, wanted);
    fflush(stdout);
    irs_channel_close(channel);
    if (moved < 0) {
        return fail("answer", (int)moved, 7);
    }
    if (wanted > 0 && moved < wanted) {
        fprintf(stderr, "irs_fetch: answer: %ld of %ld bytes\n", moved, wanted);
        return 7;
    }
    return 0;
}

int main(int argc, char** argv) {
    const char* class_name = NULL;
    const char* attribute = NULL;
    int mode = IRS_MODE_IRCOMM;
    int lsap = -1;
    long wanted = 0;
    int next = 1;
    irs_port* port = NULL;
    int result;
    int status;

    for (; next < argc && argv[next][0] == '-' && argv[next][1] != '\0'; ++next) {
        char* end = NULL;
        if (strcmp(argv[next], "-r") == 0) {
            mode = IRS_MODE_RAW;
        } else if (next + 1 >= argc) {
            return usage();
        } else if (strcmp(argv[next], "-l") == 0) {
            lsap = (int)strtol(argv[++next], &end, 10);
            if (*end != '\0' || lsap < 0 || lsap > 127) {
                return usage();
            }
        } else if (strcmp(argv[next], "-c") == 0) {
            class_name = argv[++next];
        } else if (strcmp(argv[next], "-a") == 0) {
            attribute = argv[++next];
        } else if (strcmp(argv[next], "-n") == 0) {
            wanted = strtol(argv[++next], &end, 10);
            if (*end != '\0' || wanted < 1) {
                return usage();
            }
        } else {
            return usage();
        }
    }
    if (argc - next != 2 || argv[next + 1][0] == '\0' ||
        (lsap >= 0 && (class_name != NULL || attribute != NULL))) {
        return usage();
    }
    result = irs_open(argv[next], 'a', 0, IRS_ROLE_COMPUTER, &port);
    if (result != IRS_OK) {
        return fail(argv[next], result, 3);
    }
    status = fetch(port, class_name, attribute, lsap, mode, argv[next + 1], wanted);
    irs_close(port);
    return status;
}
