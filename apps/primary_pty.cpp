// primary_pty: the computer side's IrCOMM channel as a pseudo-terminal or the standard streams.
#include "pty_app.h"

int main(int argc, char** argv) {
    return ptyMain(argc, argv, PtyRole{"computer", IRS_ROLE_COMPUTER, PTY_VARIANT});
}
