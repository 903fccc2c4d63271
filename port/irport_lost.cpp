// The port's device gone and back: what was under way ends with IRPORT_ERR_PORT_LOST, and the port
// starts again as a device once its owner sees the device path return. And the device's services
// changed while no link is up.
#include "irport.h"

void IrPort::lose() {
    if (!running) {
        return;
    }
    stopEngine();
    if (querying) {
        querying = false;
        finish(queryTag, IRPORT_ERR_PORT_LOST);
        computer.setQueryOnly(nullptr, nullptr);
    }
    if (discovering) {
        discovering = false;
        finish(discoverTag, IRPORT_ERR_PORT_LOST);
    }
    computer.setDiscoverOnly(false);
    for (Service& s : services) {
        if (s.waiting) {
            s.waiting = false;
            finish(s.tag, IRPORT_ERR_PORT_LOST);
        }
    }
    for (size_t lane = 0; lane < channels.size(); ++lane) {
        Channel& c = channels[lane];
        if (c.slot == Slot::OPENING || c.slot == Slot::CLOSING) {
            finish(c.tag, IRPORT_ERR_PORT_LOST);
            c = Channel{};
        } else if (c.slot == Slot::OPEN) {
            // Its unread bytes stay in the stopped engine's queues until the owner frees it.
            c.slot = Slot::ENDED;
            push({IRPORT_CHANNEL_ENDED, 0, IRPORT_ERR_PORT_LOST, static_cast<int>(lane),
                  static_cast<uint32_t>(unacknowledged(static_cast<int>(lane)))});
        }
    }
    role = IRPORT_DEVICE;
    shownPhase = IRPORT_PHASE_IDLE;
    push({IRPORT_PHASE, 0, IRPORT_ERR_PORT_LOST, -1, IRPORT_PHASE_IDLE});
    changed(this, LANE_ALL);
}

int IrPort::restart() {
    if (running) {
        return IRPORT_OK;
    }
    if (deviceChannelHeld()) {
        return IRPORT_ERR_STATE; // the device's init would empty the queues still being read
    }
    applyServices();
    startEngine(false); // its reset opens the device afresh
    const IrErr opened = device.lastError();
    if (opened != IR_OK) {
        stopEngine();
        return opened == IR_ERR_PORT_LOST ? IRPORT_ERR_PORT_LOST : IRPORT_ERR_IO;
    }
    return IRPORT_OK;
}

bool IrPort::deviceChannelHeld() const {
    for (const Channel& c : channels) {
        if (c.slot != Slot::FREE && c.engine == IRPORT_DEVICE) {
            return true;
        }
    }
    return false;
}

// Neither init nor reset: an ended channel's unread bytes stay in the queues, and a change costs
// no transceiver reset on the owner's thread.
void IrPort::renewServices() {
    if (tasks) {
        device.stopTask();
    }
    applyServices();
    if (tasks) {
        device.startTask();
    }
}
