// The port's device gone and back: what was under way ends with IRPORT_ERR_PORT_LOST, and the port
// starts again as a device once its owner sees the device path return. And the device's settings
// and services changed while no link is up, a request forgotten, and the wait for readiness.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "irport.h"

void IrPort::lose() {
    if (!running) {
        return;
    }
    // What each channel left unacknowledged, while the engine still counts it.
    std::array<uint32_t, IRPORT_CHANNELS> unacked{};
    for (size_t lane = 0; lane < channels.size(); ++lane) {
        unacked.at(lane) = static_cast<uint32_t>(unacknowledged(static_cast<int>(lane)));
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
    listeningChanged();
    if (closeHeld) {
        closeHeld = false;
        finish(heldTag, heldStatus);
    }
    for (size_t lane = 0; lane < channels.size(); ++lane) {
        Channel& c = channels[lane];
        if (c.slot == Slot::OPENING) {
            finish(c.tag, IRPORT_ERR_PORT_LOST);
            c = Channel{};
        } else if (c.slot == Slot::CLOSING) {
            // A close fails only for bytes it could not see acknowledged.
            finish(c.tag, unacked.at(lane) == 0 ? IRPORT_OK : IRPORT_ERR_PORT_LOST);
            c = Channel{};
        } else if (c.slot == Slot::OPEN) {
            // Its unread bytes stay in the stopped engine's queues until the owner frees it.
            c.slot = Slot::ENDED;
            push({IRPORT_CHANNEL_ENDED, 0, IRPORT_ERR_PORT_LOST, static_cast<int>(lane),
                  unacked.at(lane)});
        }
    }
    role = IRPORT_DEVICE;
    shownPhase = IRPORT_PHASE_IDLE;
    push({IRPORT_PHASE, 0, IRPORT_ERR_PORT_LOST, -1, IRPORT_PHASE_IDLE});
    changed(this, LANE_ALL);
}

void IrPort::cancel(uint32_t tag) {
    if (querying && queryTag == tag) {
        querying = false;
        if (queryLane >= 0) {
            computer.closeChannel(static_cast<uint8_t>(queryLane));
        } else {
            computer.stopTask();
            computer.setQueryOnly(nullptr, nullptr);
            becomeDevice();
        }
        return;
    }
    if (discovering && discoverTag == tag) {
        discovering = false;
        becomeDevice();
        return;
    }
    if (closeHeld && heldTag == tag) {
        closeHeld = false;
    }
    for (Service& s : services) {
        if (s.waiting && s.tag == tag) {
            s.waiting = false;
            listeningChanged();
        }
    }
    for (size_t lane = 0; lane < channels.size(); ++lane) {
        Channel& c = channels[lane];
        if (c.slot == Slot::OPENING && c.tag == tag) {
            c = Channel{};
            if (lane == 0) {
                becomeDevice(); // the link was being set up for it alone
            } else {
                computer.closeChannel(static_cast<uint8_t>(lane));
                endLinkIfUnused();
            }
        }
    }
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

void IrPort::pauseDevice() {
    if (tasks && deviceAwake && running && role == IRPORT_DEVICE) {
        device.stopTask();
    }
}

void IrPort::resumeDevice() {
    if (tasks && deviceAwake && running && role == IRPORT_DEVICE) {
        device.startTask();
    }
}

bool IrPort::anyListening() const {
    return std::any_of(services.begin(), services.end(),
                       [](const Service& s) { return s.used && s.waiting; });
}

void IrPort::listeningChanged() {
    // Without quiet the device answers whether or not anyone listens.
    device.setListening(!quiet || anyListening());
}

bool IrPort::awaitReady(int waitMs) {
    std::unique_lock<std::mutex> hold(ready.lock);
    const auto isReady = [this] { return ready.readable; };
    if (waitMs < 0) {
        ready.changed.wait(hold, isReady);
        return true;
    }
    return ready.changed.wait_for(hold, std::chrono::milliseconds(waitMs), isReady);
}

int IrPort::setLinkLimits(int maxWindow, int maxFrame) {
    if (maxWindow < 1 || maxWindow > IRPORT_WINDOW_MAX || maxFrame < IRPORT_FRAME_MIN ||
        maxFrame > IRPORT_FRAME_MAX) {
        return IRPORT_ERR_ARG;
    }
    if (!running || role != IRPORT_DEVICE || linkUp()) {
        return IRPORT_ERR_STATE;
    }
    const LapOffer wanted =
        lapFullOffer(speeds, static_cast<uint8_t>(maxWindow), static_cast<uint16_t>(maxFrame));
    if (std::memcmp(&wanted, &linkOffer, sizeof linkOffer) == 0) {
        return IRPORT_OK;
    }
    linkOffer = wanted;
    computer.setOffer(linkOffer);
    // The device takes an offer in as it starts: at once unless an ended channel's bytes wait in
    // its queues, else with its next start.
    pauseDevice();
    device.setOffer(linkOffer);
    if (deviceAwake && !deviceChannelHeld()) {
        device.init();
    }
    resumeDevice();
    return IRPORT_OK;
}
