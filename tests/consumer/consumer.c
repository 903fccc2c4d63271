/* A program built outside the tree against the installed packages alone (pkg-config irstack):
 * lists the devices in range, opens the IrCOMM channel of the first and checks that it echoes a
 * block of every byte value back unchanged. tools/stage-package runs it against secondary_pty
 * over vlink.
 *
 * usage: consumer PORT
 * Exit status: 0 echoed, 1 a call failed, 2 usage, 3 the echo differs. */
#include <poll.h>
#include <stdio.h>
#include <string.h>

#include <irstack.h>

#define BLOCK 700     /* several frames each way */
#define PIECE_MS 5000 /* the longest wait for the next piece of the echo */
#define CONNECT_MS 10000

static int fail(const char* what, long error) {
    fprintf(stderr, "consumer: %s: %s\n", what, irs_strerror((int)error));
    return 1;
}

/* Reads `size` bytes, waiting on the channel's descriptor with poll up to PIECE_MS for each
 * piece; returns the bytes read or the error that stopped it. */
static long read_block(irs_channel* channel, unsigned char* buffer, size_t size) {
    size_t total = 0;
    struct pollfd ready;
    ready.fd = irs_fd(channel);
    ready.events = POLLIN;
    if (ready.fd < 0) {
        return ready.fd;
    }
    while (total < size) {
        long got;
        int polled = poll(&ready, 1, PIECE_MS);
        if (polled < 0) {
            return IRS_ERR_IO;
        }
        if (polled == 0) {
            return total > 0 ? (long)total : IRS_ERR_TIMEOUT;
        }
        got = irs_read(channel, buffer + total, size - total, 0);
        if (got < 0) {
            return total > 0 ? (long)total : got;
        }
        total += (size_t)got;
    }
    return (long)total;
}

static int echo(irs_port* port) {
    irs_device devices[4];
    irs_channel* channel = NULL;
    unsigned char sent[BLOCK];
    unsigned char received[BLOCK];
    long moved;
    int count;
    int index;
    int result;

    count = irs_discover(port, 4000, devices, (int)(sizeof devices / sizeof devices[0]));
    if (count < 0) {
        return fail("discovery", count);
    }
    for (index = 0; index < count; ++index) {
        printf("device %s \"%s\" %s\n", devices[index].address_text, devices[index].nickname,
               devices[index].hint_names);
    }
    if (count == 0) {
        return fail("discovery", IRS_ERR_TIMEOUT);
    }
    result = irs_connect(port, NULL, NULL, IRS_MODE_IRCOMM, CONNECT_MS, &channel);
    if (result != IRS_OK) {
        return fail("connect", result);
    }
    for (index = 0; index < BLOCK; ++index) {
        sent[index] = (unsigned char)(index * 7 + 3);
    }
    moved = irs_write(channel, sent, sizeof sent, PIECE_MS);
    if (moved != (long)sizeof sent) {
        irs_channel_close(channel);
        return fail("write", moved < 0 ? moved : IRS_ERR_TIMEOUT);
    }
    moved = read_block(channel, received, sizeof received);
    result = irs_channel_close(channel);
    if (moved < 0) {
        return fail("echo", moved);
    }
    if (moved != (long)sizeof sent || memcmp(sent, received, sizeof sent) != 0) {
        fprintf(stderr, "consumer: echo: %ld of %d bytes, not the ones sent\n", moved, BLOCK);
        return 3;
    }
    if (result != IRS_OK) {
        return fail("channel close", result);
    }
    printf("echoed %d bytes\n", BLOCK);
    return 0;
}

int main(int argc, char** argv) {
    irs_port* port = NULL;
    int result;
    int status;

    if (argc != 2) {
        fprintf(stderr, "usage: consumer PORT\n");
        return 2;
    }
    result = irs_open(argv[1], 'a', 0, IRS_ROLE_COMPUTER, &port);
    if (result != IRS_OK) {
        return fail(argv[1], result);
    }
    status = echo(port);
    result = irs_close(port);
    if (result != IRS_OK && status == 0) {
        status = fail("close", result);
    }
    return status;
}
