#include "primary_port.h"

#include <atomic>

namespace primary {

namespace {

std::atomic<const PrimaryPort*> boundPort{nullptr};

} // namespace

void primaryBindPort(const PrimaryPort* port) {
    boundPort.store(port);
}

const PrimaryPort& primaryPort() {
    const PrimaryPort* port = boundPort.load();
    return port != nullptr ? *port : primaryIrphyPort();
}

} // namespace primary
