/* irs_list: lists the infrared devices in range of a transceiver, one line each. */
#include <stdio.h>
#include <stdlib.h>

#include "irstack.h"

int main(int argc, char** argv) {
    irs_port* port = NULL;
    irs_device devices[8];
    int count;
    int index;
    int result;
    char variant = argc > 2 ? argv[2][0] : 'a';

    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: irs_list PORT [a|b]\n");
        return 2;
    }
    result = irs_open(argv[1], variant, 0, IRS_ROLE_COMPUTER, &port);
    if (result != IRS_OK) {
        fprintf(stderr, "irs_list: %s: %s\n", argv[1], irs_strerror(result));
        return 1;
    }
    count = irs_discover(port, 4000, devices, (int)(sizeof devices / sizeof devices[0]));
    irs_close(port);
    if (count < 0) {
        fprintf(stderr, "irs_list: %s\n", irs_strerror(count));
        return 1;
    }
    for (index = 0; index < count; ++index) {
        printf("%s  %s  \"%s\"\n", devices[index].address_text, devices[index].hint_names,
               devices[index].nickname);
    }
    if (count == 0) {
        fprintf(stderr, "irs_list: no device found\n");
    }
    return count > 0 ? EXIT_SUCCESS : 1;
}
