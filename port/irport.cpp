// The port object's life, its readiness and the switch between the two roles.
#include "irport.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "lap_terms.h"

namespace {

// Lane 0 is the device's first service; with none offered it answers to names nobody asks for.
const char* const UNOFFERED_CLASS = "IrPort:none";
const char* const UNOFFERED_ATTRIBUTE = "None";

} // namespace

IrPort::IrPort(FramePort& framePort, uint8_t speedBits, bool ownTasks)
    : line(framePort), tasks(ownTasks), speeds(speedBits), computer(framePort), device(framePort) {
    linkOffer = lapFullOffer(speedBits, IRPORT_WINDOW_MAX, IRPORT_FRAME_MAX);
    computer.setOffer(linkOffer);
    computer.setRandomDiscovery(true);
    computer.setQuietAfterLink(true); // a link that ends hands the port back to the device
    computer.setStateLabel("computer");
    computer.setRoundWatch(roundDone, this);
    device.setOffer(linkOffer);
    device.setRandomDiscovery(true);
    device.setDemoAnswers(false);
    device.setStateLabel("device");
    device.setQuietAfterLink(true); // answering again is the listens' to ask
    const LaneObserver observer{changed, this};
    computer.connection().setObserver(observer);
    device.connection().setObserver(observer);
}

IrPort::~IrPort() {
    stop();
    hostReadyClose(ready);
}

void IrPort::changed(void* self, int /*lane*/) {
    hostReadySet(static_cast<IrPort*>(self)->ready, true, false);
}

void IrPort::roundDone(void* self) {
    changed(self, LANE_ALL);
}

bool IrPort::start() {
    if (!hostReadyOpen(ready) && HOST_READY_FD) {
        return false;
    }
    deviceAwake = !quiet;
    listeningChanged();
    applyServices();
    startEngine(false);
    return true;
}

void IrPort::stop() {
    if (running) {
        stopEngine();
    }
}

void IrPort::seedRandom(uint32_t seed) {
    computer.seedRandom(seed);
    device.seedRandom(seed + 1);
}

void IrPort::step() {
    if (running && role == IRPORT_COMPUTER) {
        computer.step();
    } else if (running && deviceAwake) {
        device.step();
    }
}

void IrPort::startEngine(bool asComputer) {
    role = asComputer ? IRPORT_COMPUTER : IRPORT_DEVICE;
    linkEndAsked = false;
    if (asComputer) {
        computerError = IR_OK; // a new link: the last one's failure is news no longer
        computer.init();
        if (tasks) {
            computer.startTask();
        }
    } else if (deviceAwake) {
        device.init();
        if (tasks) {
            device.startTask();
        }
    }
    running = true;
    changed(this, LANE_ALL);
}

void IrPort::stopEngine() {
    if (role == IRPORT_COMPUTER) {
        computer.stopTask();
        computer.connection().endExtras(CHANNEL_END_LINK);
    } else {
        device.stopTask();
        device.connection().endExtras(CHANNEL_END_LINK);
    }
    running = false;
}

// The device's services as offered now; with its task stopped.
void IrPort::applyServices() {
    device.clearServices();
    int first = -1;
    for (size_t i = 0; i < services.size(); ++i) {
        services[i].lane = -1;
        if (services[i].used && first < 0) {
            first = static_cast<int>(i);
        }
    }
    if (first < 0) {
        device.setService(UNOFFERED_CLASS, UNOFFERED_ATTRIBUTE, true);
    } else {
        Service& s = services[static_cast<size_t>(first)];
        device.setService(s.className[0] != '\0' ? s.className.data() : nullptr,
                          s.className[0] != '\0' ? s.attribute.data() : nullptr, s.raw);
        s.lane = 0;
    }
    for (Service& s : services) {
        if (s.used && s.lane < 0) {
            s.lane =
                device.addService(s.className[0] != '\0' ? s.className.data() : nullptr,
                                  s.className[0] != '\0' ? s.attribute.data() : nullptr, s.raw);
        }
    }
    servicesChanged = false;
}

// Back to the device role: what the computer's link held ends with it.
void IrPort::becomeDevice() {
    std::array<uint32_t, 8> unacked{};
    for (size_t lane = 0; lane < channels.size() && lane < unacked.size(); ++lane) {
        unacked[lane] = static_cast<uint32_t>(unacknowledged(static_cast<int>(lane)));
    }
    computerError = computer.lastError();
    stopEngine();
    for (size_t lane = 0; lane < channels.size(); ++lane) {
        Channel& c = channels[lane];
        if (c.slot == Slot::OPENING) {
            finish(c.tag,
                   computer.serviceMissing() > 0 ? IRPORT_ERR_NO_SERVICE : IRPORT_ERR_PEER_GONE);
            c = Channel{};
        } else if (c.slot == Slot::CLOSING) {
            // A close fails only for bytes it could not see acknowledged.
            finish(c.tag, unacked.at(lane) == 0 ? IRPORT_OK : IRPORT_ERR_PEER_GONE);
            c = Channel{};
        } else if (c.slot == Slot::OPEN) {
            c.slot = Slot::ENDED;
            push({IRPORT_CHANNEL_ENDED, 0, IRPORT_ERR_PEER_GONE, static_cast<int>(lane),
                  unacked.at(lane)});
        }
    }
    applyServices();
    startEngine(false);
}

bool IrPort::found(size_t index, LapDiscovered& out) const {
    if (index >= deviceCount) {
        return false;
    }
    out = devices[index];
    return true;
}

LapConnection& IrPort::connection() {
    return role == IRPORT_COMPUTER ? computer.connection() : device.connection();
}

LapConnection& IrPort::connectionOf(int channel) {
    return channels.at(static_cast<size_t>(channel)).engine == IRPORT_COMPUTER
               ? computer.connection()
               : device.connection();
}

bool IrPort::laneOpen(int lane) {
    return lane == 0 ? connection().phase() == LINK_OPEN
                     : connection().extra(static_cast<uint8_t>(lane)).state() == CHANNEL_OPEN;
}

bool IrPort::laneEnded(int lane) {
    if (!running || !linkUp()) {
        return true;
    }
    if (lane == 0) {
        return connection().phase() != LINK_OPEN;
    }
    const ChannelState state = connection().extra(static_cast<uint8_t>(lane)).state();
    return state == CHANNEL_ENDED || state == CHANNEL_IDLE;
}

int IrPort::laneEndStatus(int lane) {
    if (lane > 0 && running) {
        const ChannelEnd why = connection().extra(static_cast<uint8_t>(lane)).endReason();
        if (why == CHANNEL_END_NO_SERVICE || why == CHANNEL_END_REFUSED) {
            return IRPORT_ERR_NO_SERVICE;
        }
    }
    return IRPORT_ERR_PEER_GONE;
}

bool IrPort::linkUp() {
    if (!running) {
        return false;
    }
    if (role == IRPORT_COMPUTER) {
        return !computer.halted() && computer.state() == primary::PRIMARY_CONNECTED;
    }
    return device.state() >= secondary::SEC_LINKED;
}

bool IrPort::anyChannel() const {
    for (const Channel& c : channels) {
        if (c.slot != Slot::FREE) {
            return true;
        }
    }
    return false;
}

void IrPort::push(const IrPortEvent& event) {
    if (eventCount == events.size()) {
        // The oldest phase change is the one to lose; results are never dropped.
        for (size_t i = 0; i < eventCount; ++i) {
            if (events[(eventHead + i) % events.size()].kind == IRPORT_PHASE) {
                for (size_t j = i; j + 1 < eventCount; ++j) {
                    events[(eventHead + j) % events.size()] =
                        events[(eventHead + j + 1) % events.size()];
                }
                --eventCount;
                break;
            }
        }
        if (eventCount == events.size()) {
            return; // cannot happen: results are bounded by the requests the port holds
        }
    }
    events[(eventHead + eventCount) % events.size()] = event;
    ++eventCount;
}

void IrPort::finish(uint32_t tag, int status, int channel, uint32_t value) {
    push({IRPORT_DONE, tag, status, channel, value});
}

bool IrPort::takeEvent(IrPortEvent& event) {
    if (eventCount == 0) {
        return false;
    }
    event = events[eventHead];
    eventHead = (eventHead + 1) % events.size();
    --eventCount;
    return true;
}

int IrPort::nextTimeoutMs() {
    const uint32_t at = now();
    int64_t soonest = -1;
    auto consider = [&](bool timed, uint32_t deadline) {
        if (timed) {
            const int64_t left = std::max<int32_t>(0, static_cast<int32_t>(deadline - at));
            soonest = soonest < 0 ? left : std::min(soonest, left);
        }
    };
    consider(discovering, discoverDeadline);
    consider(closeHeld, heldDeadline);
    consider(querying && queryTimed, queryDeadline);
    for (const Channel& c : channels) {
        consider(c.timed && (c.slot == Slot::OPENING || c.slot == Slot::CLOSING), c.deadline);
    }
    for (const Service& s : services) {
        consider(s.waiting && s.timed, s.deadline);
    }
    return static_cast<int>(soonest);
}

void IrPort::update() {
    hostReadySet(ready, false, false); // before the look: a change during it shows again
    if (!running) {
        return;
    }
    if (role == IRPORT_COMPUTER) {
        updateComputer();
    }
    if (role == IRPORT_DEVICE) {
        updateDevice();
    }
    updateChannels();
    // The computer's link is over once the port is a device again.
    const bool linkOver = role == IRPORT_DEVICE && !linkUp();
    if (closeHeld && (linkOver || static_cast<int32_t>(heldDeadline - now()) <= 0)) {
        closeHeld = false;
        finish(heldTag, heldStatus);
    }
    const int phase = status().phase;
    if (phase != shownPhase) {
        shownPhase = phase;
        push({IRPORT_PHASE, 0, IRPORT_OK, -1, static_cast<uint32_t>(phase)});
    }
}

IrPortStatus IrPort::status() {
    IrPortStatus s;
    s.role = role;
    if (!running) {
        return s;
    }
    s.lastError = role == IRPORT_COMPUTER ? computer.lastError() : device.lastError();
    if (s.lastError == IR_OK) {
        s.lastError = computerError;
    }
    // Both engines' links count: the figure only grows, whichever role the port plays.
    s.resent = computer.connection().watch().framesResent.load() +
               device.connection().watch().framesResent.load();
    switch (connection().phase()) {
    case LINK_OPEN:
        s.phase = IRPORT_PHASE_OPEN;
        break;
    case LINK_CONNECTED:
        s.phase = IRPORT_PHASE_CONNECTED;
        break;
    case LINK_SEARCHING:
        // A device searches while it answers discovery for a listen (quiet: since the last one).
        s.phase = role == IRPORT_COMPUTER ||
                          (deviceAwake && device.discoverable() && (quiet || anyListening()))
                      ? IRPORT_PHASE_SEARCHING
                      : IRPORT_PHASE_IDLE;
        break;
    }
    if (s.phase >= IRPORT_PHASE_CONNECTED) {
        s.peer = connection().watch().peerAddress.load();
        s.speed = connection().watch().speed.load();
        s.window = connection().watch().window.load();
        s.field = connection().watch().field.load();
    }
    return s;
}
