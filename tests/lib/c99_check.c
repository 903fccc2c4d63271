/* The header as strict C99, linked against the static archive alone: every call is declared with
 * C types, and bad arguments come back as codes. */
#include <stdio.h>

#include "irstack.h"

int main(void) {
    irs_port* port = NULL;
    irs_channel* channel = NULL;
    char byte = 0;
    int failures = 0;

    failures += irs_open(NULL, 'a', 0, IRS_ROLE_COMPUTER, &port) != IRS_ERR_ARG;
    failures += irs_close(port) != IRS_ERR_HANDLE;
    failures += irs_discover(port, 1, NULL, 0) != IRS_ERR_HANDLE;
    failures += irs_connect(port, NULL, NULL, IRS_MODE_IRCOMM, 0, &channel) != IRS_ERR_HANDLE;
    failures += irs_connect_lsap(port, 4, IRS_MODE_RAW, 0, &channel) != IRS_ERR_HANDLE;
    failures += irs_listen(port, NULL, NULL, IRS_MODE_IRCOMM, 0, &channel) != IRS_ERR_HANDLE;
    failures += irs_read(channel, &byte, 1, 0) != IRS_ERR_HANDLE;
    failures += irs_write(channel, &byte, 1, 0) != IRS_ERR_HANDLE;
    failures += irs_available(channel) != IRS_ERR_HANDLE;
    failures += irs_fd(channel) != IRS_ERR_HANDLE;
    failures += irs_channel_close(channel) != IRS_ERR_HANDLE;
    failures += irs_strerror(12345) == NULL;
    if (failures != 0) {
        fprintf(stderr, "%d calls did not answer with their error code\n", failures);
    }
    return failures != 0;
}
