// secondary_pty: the device side's IrCOMM channel as a pseudo-terminal or the standard streams;
// the program at the other end answers the computer instead of the built-in "OK".
#include <cstring>

#include "platform.h"
#include "pty_app.h"
#include "secondary.h"

namespace {

// The platform keeps 255 characters of the name and would cut a longer one.
constexpr size_t PORT_NAME_LIMIT = 255;

bool setPort(const char* name) {
    if (std::strlen(name) > PORT_NAME_LIMIT) {
        return false;
    }
    platformSetPortName(name);
    return true;
}

void start() {
    secondary::secondarySetDemoAnswers(false);
    platformInit();
    secondary::secondaryInit();
    secondary::startStackTask();
}

} // namespace

int main(int argc, char** argv) {
    return ptyMain(argc, argv,
                   PtyStation{"device", setPort, secondary::secondarySetOffer, start,
                              &secondary::taskRunning, secondary::secondaryPhase,
                              secondary::secondaryTransmitRoom, secondary::secondaryAllAcknowledged,
                              secondary::secondarySend, secondary::secondaryReceive,
                              &secondary::linkWatch});
}
