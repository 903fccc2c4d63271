#include "irphy.h"
#include "primary_port.h"

namespace primary {

const PrimaryPort& primaryIrphyPort() {
    static const PrimaryPort port{&irphyByteLink(), irphy_reset, irphy_set_baud_rate};
    return port;
}

} // namespace primary
