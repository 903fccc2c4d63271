// primary_pty: the computer side's IrCOMM channel as a pseudo-terminal or the standard streams.
#include "irphy.h"
#include "primary.h"
#include "pty_app.h"

namespace {

void start() {
    primary::primaryInit();
    primary::startStackTask();
}

} // namespace

int main(int argc, char** argv) {
    return ptyMain(argc, argv,
                   PtyStation{"computer", irphy_set_port_name, primary::primarySetOffer, start,
                              &primary::taskRunning, primary::primaryPhase,
                              primary::primaryTransmitRoom, primary::primaryAllAcknowledged,
                              primary::primarySend, primary::primaryReceive, &primary::linkWatch});
}
