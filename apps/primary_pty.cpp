// primary_pty: the computer side's IrCOMM channel as a pseudo-terminal or the standard streams.
#include "irphy.h"
#include "primary.h"
#include "pty_app.h"

namespace {

constexpr DWORD EXIT_WAIT_MS = 100;

void start() {
    primary::primaryInit();
    primary::startStackTask();
}

void stop() {
    primary::taskRunning.store(false);
    Sleep(EXIT_WAIT_MS); // the task ends its pass
}

} // namespace

int main(int argc, char** argv) {
    const PtyStation station{"computer",
                             irphy_set_port_name,
                             start,
                             stop,
                             primary::primaryPhase,
                             primary::primaryTransmitRoom,
                             primary::primaryAllAcknowledged,
                             primary::primarySend,
                             primary::primaryReceive,
                             &primary::linkWatch};
    return ptyMain(argc, argv, station);
}
