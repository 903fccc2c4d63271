// primary_pty: the computer side's IrCOMM channel as a pseudo-terminal or the standard streams.
#include "irphy.h"
#include "primary.h"
#include "pty_app.h"

namespace {

void setService(const PtyOptions& options) {
    primary::primarySetService(options.className, options.attribute, options.lsap, options.raw);
}

void start() {
    primary::primaryInit();
    primary::startStackTask();
}

void stop() {
    primary::stopStackTask();
    irphy_close();
}

void discoverOnly() {
    primary::primarySetDiscoverOnly(true);
}

} // namespace

int main(int argc, char** argv) {
    return ptyMain(argc, argv,
                   PtyStation{"computer", irphy_set_port_name, primary::primarySetOffer, setService,
                              start, stop, primary::primaryUnacknowledged, discoverOnly,
                              primary::primaryDiscovered, &primary::taskRunning,
                              primary::primaryPhase, primary::primaryTransmitRoom,
                              primary::primaryAllAcknowledged, primary::primarySend,
                              primary::primaryReceive, &primary::linkWatch});
}
