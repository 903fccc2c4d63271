/* irs_echo: an echo service on the device side: offers a service, sends every byte a computer
 * writes back to it until the computer goes, then offers it again.
 *
 * usage: irs_echo [-r] [-c CLASS -a ATTRIBUTE] [-1] PORT
 *   -r  raw TinyTP instead of IrCOMM     -c, -a  the service's names (default: IrCOMM's)
 *   -1  exit after the first channel
 *
 * Prints a line when a channel opens and when it ends, with the bytes echoed.
 * Exit status: 0 done, 2 usage, 3 port, 5 listen, 6 echo. */
#include <stdio.h>
#include <string.h>

#include "irstack.h"

static int usage(void) {
    fprintf(stderr, "usage: irs_echo [-r] [-c CLASS -a ATTRIBUTE] [-1] PORT\n");
    return 2;
}

static int fail(const char* what, long error, int status) {
    fprintf(stderr, "irs_echo: %s: %s\n", what, irs_strerror((int)error));
    return status;
}

/* Echoes until the peer goes; returns the bytes echoed, or the error that stopped it. */
static long echo(irs_channel* channel) {
    char buffer[512];
    long total = 0;
    for (;;) {
        long got = irs_read(channel, buffer, sizeof buffer, -1);
        long sent;
        if (got == IRS_ERR_PEER_GONE) {
            return total;
        }
        if (got < 0) {
            return got;
        }
        sent = irs_write(channel, buffer, (size_t)got, -1);
        if (sent == IRS_ERR_PEER_GONE) {
            return total;
        }
        if (sent < 0) {
            return sent;
        }
        total += sent;
    }
}

static int serve(irs_port* port, const char* class_name, const char* attribute, int mode,
                 int once) {
    for (;;) {
        irs_channel* channel = NULL;
        long echoed;
        int result = irs_listen(port, class_name, attribute, mode, -1, &channel);
        if (result != IRS_OK) {
            return fail("listen", result, 5);
        }
        printf("channel open\n");
        fflush(stdout);
        echoed = echo(channel);
        result = irs_channel_close(channel);
        if (echoed < 0) {
            return fail("echo", echoed, 6);
        }
        printf("channel ended, %ld bytes echoed\n", echoed);
        fflush(stdout);
        if (result != IRS_OK) {
            return fail("channel close", result, 6);
        }
        if (once) {
            return 0;
        }
    }
}

int main(int argc, char** argv) {
    const char* class_name = NULL;
    const char* attribute = NULL;
    int mode = IRS_MODE_IRCOMM;
    int once = 0;
    int next = 1;
    irs_port* port = NULL;
    int result;
    int status;

    for (; next < argc && argv[next][0] == '-' && argv[next][1] != '\0'; ++next) {
        if (strcmp(argv[next], "-r") == 0) {
            mode = IRS_MODE_RAW;
        } else if (strcmp(argv[next], "-1") == 0) {
            once = 1;
        } else if (next + 1 >= argc) {
            return usage();
        } else if (strcmp(argv[next], "-c") == 0) {
            class_name = argv[++next];
        } else if (strcmp(argv[next], "-a") == 0) {
            attribute = argv[++next];
        } else {
            return usage();
        }
    }
    if (argc - next != 1) {
        return usage();
    }
    result = irs_open(argv[next], 'a', 0, IRS_ROLE_DEVICE, &port);
    if (result != IRS_OK) {
        return fail(argv[next], result, 3);
    }
    status = serve(port, class_name, attribute, mode, once);
    irs_close(port);
    return status;
}
