// primary_pty: the computer side's IrCOMM channel as a pseudo-terminal or the standard streams.
#include "irphy.h"
#include "primary.h"
#include "pty_app.h"

namespace {

constexpr DWORD EXIT_WAIT_MS = 100;

void start() {
    primaryInit();
    startStackTask();
}

void stop() {
    taskRunning.store(false);
    Sleep(EXIT_WAIT_MS); // the task ends its pass
}

} // namespace

int main(int argc, char** argv) {
    const PtyStation station{
        "computer",          irphy_set_port_name,   start,       stop,           primaryPhase,
        primaryTransmitRoom, primaryTransmitQueued, primarySend, primaryReceive, &linkWatch};
    return ptyMain(argc, argv, station);
}
