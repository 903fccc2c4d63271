// The one station behind the demo programs' calls, over irphy's default port.
#include "console.h"
#include "irphy.h"
#include "primary.h"

namespace primary {

namespace {

// The station alone: its port is irphy's default one, which the irphy_* calls also reach. Never
// destroyed: a demo program may end with the task still running.
union DefaultPrimary {
    DefaultPrimary() : station(irphyDefaultPort()) {}
    ~DefaultPrimary() {}
    DefaultPrimary(const DefaultPrimary&) = delete;
    DefaultPrimary& operator=(const DefaultPrimary&) = delete;
    DefaultPrimary(DefaultPrimary&&) = delete;
    DefaultPrimary& operator=(DefaultPrimary&&) = delete;
    PrimaryStation station;
};

DefaultPrimary defaultPrimary;

} // namespace

PrimaryStation& primaryDefault() {
    return defaultPrimary.station;
}

} // namespace primary
