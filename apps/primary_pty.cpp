// primary_pty: the computer side's IrCOMM channel as a pseudo-terminal or the standard streams.
#include <cstdlib>

#include "console.h"
#include "irphy.h"
#include "primary.h"
#include "pty_app.h"

namespace {

void setService(const PtyOptions& options) {
    const IrErr error =
        primary::primarySetService(options.className, options.attribute, options.lsap, options.raw);
    if (error != IR_OK) {
        // Too long for one IAS query: no device could ever be asked for it.
        consoleError("service name too long (%u bytes at most): %s",
                     static_cast<unsigned>(IAS_NAMES_MAX), irErrText(error));
        std::exit(2);
    }
}

void start() {
    primary::primaryInit();
    primary::startStackTask();
}

void stop() {
    primary::stopStackTask();
    irphy_close();
}

DWORD portLost() {
    return irphyDefaultPort().lostError();
}

void discoverOnly() {
    primary::primarySetDiscoverOnly(true);
}

} // namespace

int main(int argc, char** argv) {
    return ptyMain(argc, argv,
                   PtyStation{"computer", irphy_set_port_name, primary::primarySetOffer, setService,
                              start, stop, discoverOnly, primary::primaryDiscovered,
                              &primary::primaryTaskRunning(), portLost,
                              &primary::primaryConnection()});
}
