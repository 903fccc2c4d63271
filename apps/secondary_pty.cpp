// secondary_pty: the device side's IrCOMM channel as a pseudo-terminal or the standard streams;
// the program at the other end answers the computer instead of the built-in "OK".
#include "pty_app.h"

int main(int argc, char** argv) {
    return ptyMain(argc, argv, PtyRole{"device", IRS_ROLE_DEVICE, PTY_VARIANT});
}
