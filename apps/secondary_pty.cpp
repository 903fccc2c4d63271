// secondary_pty: the device side's IrCOMM channel as a pseudo-terminal or the standard streams;
// the program at the other end answers the computer instead of the built-in "OK".
#include <cstring>

#include "console.h"
#include "ir_options.h"
#include "platform.h"
#include "pty_app.h"
#include "secondary.h"

namespace {

bool setPort(const char* name) {
    // The platform would cut a longer name.
    if (std::strlen(name) >= PORT_NAME_SIZE) {
        return false;
    }
    platformSetPortName(name);
    return true;
}

void setService(const PtyOptions& options) {
    // The options were checked already; a refusal here would leave the built-in service.
    const IrErr set =
        secondary::secondarySetService(options.className, options.attribute, options.raw);
    if (set != IR_OK) {
        consoleError("\n--class, --attribute: %s", irErrText(set));
    }
}

void start() {
    secondary::secondarySetDemoAnswers(false);
    platformInit();
    secondary::secondaryInit();
    secondary::startStackTask();
}

void stop() {
    secondary::stopStackTask();
    platformStop();
}

} // namespace

int main(int argc, char** argv) {
    return ptyMain(argc, argv,
                   PtyStation{"device", setPort, secondary::secondarySetOffer, setService, start,
                              stop, nullptr, nullptr, &secondary::secondaryTaskRunning(),
                              platformPortLostError, &secondary::secondaryConnection()});
}
