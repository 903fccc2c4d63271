// The port object's requests and how each one ends: discovery and connects in the computer role,
// services and listens in the device role, and the channels' closes in either.
#include <algorithm>
#include <cstring>

#include "irport.h"

namespace {

bool copyName(const char* name, std::array<char, IAS_NAMES_MAX + 1>& to) {
    to.fill('\0');
    if (name == nullptr || name[0] == '\0') {
        return true;
    }
    const size_t length = std::strlen(name);
    if (length > IAS_NAMES_MAX) {
        return false;
    }
    std::memcpy(to.data(), name, length);
    return true;
}

const char* orNull(const std::array<char, IAS_NAMES_MAX + 1>& name) {
    return name[0] != '\0' ? name.data() : nullptr;
}

bool passed(bool timed, uint32_t deadline, uint32_t now) {
    return timed && static_cast<int32_t>(deadline - now) <= 0;
}

int fromIrErr(IrErr error) {
    switch (error) {
    case IR_OK:
        return IRPORT_OK;
    case IR_ERR_ARG:
        return IRPORT_ERR_ARG;
    case IR_ERR_STATE:
        return IRPORT_ERR_STATE;
    case IR_ERR_PORT_LOST:
        return IRPORT_ERR_PORT_LOST;
    default:
        return IRPORT_ERR_IO;
    }
}

} // namespace

int IrPort::setIdentity(const char* nickname, uint16_t hints) {
    if (!lapNicknameValid(nickname)) {
        return IRPORT_ERR_ARG;
    }
    if (!running || role != IRPORT_DEVICE || linkUp()) {
        return IRPORT_ERR_STATE;
    }
    pauseDevice(); // the identity is read by the engine's task
    const int result = fromIrErr(device.setIdentity(nickname, hints));
    resumeDevice();
    return result;
}

int IrPort::discover(uint32_t tag, int timeoutMs) {
    if (timeoutMs <= 0) {
        return IRPORT_ERR_ARG;
    }
    if (!running || role != IRPORT_DEVICE || linkUp() || anyChannel() || querying) {
        return IRPORT_ERR_STATE;
    }
    stopEngine();
    computer.setDiscoverOnly(true);
    startEngine(true);
    discovering = true;
    discoverTag = tag;
    discoverDeadline = now() + static_cast<uint32_t>(timeoutMs);
    return IRPORT_OK;
}

int IrPort::offer(const char* className, const char* attribute, bool raw) {
    Service wanted;
    if (!copyName(className, wanted.className) || !copyName(attribute, wanted.attribute) ||
        std::strlen(wanted.className.data()) + std::strlen(wanted.attribute.data()) >
            IAS_NAMES_MAX) {
        return IRPORT_ERR_ARG;
    }
    wanted.used = true;
    wanted.raw = raw;
    int slot = -1;
    for (size_t i = 0; i < services.size(); ++i) {
        const Service& s = services[i];
        if (s.used && s.className == wanted.className && s.attribute == wanted.attribute) {
            return IRPORT_ERR_STATE; // offered already
        }
        if (!s.used && slot < 0) {
            slot = static_cast<int>(i);
        }
    }
    if (slot < 0) {
        return IRPORT_ERR_NO_MEMORY;
    }
    Service& s = services[static_cast<size_t>(slot)];
    s = wanted;
    if (running && role == IRPORT_DEVICE && linkUp()) {
        s.lane = device.addService(orNull(s.className),
                                   orNull(s.className) ? s.attribute.data() : nullptr,
                                   s.raw); // at once: the computer may ask for it on this link
    }
    servicesChanged = true;
    changed(this, LANE_ALL);
    return slot;
}

void IrPort::withdraw(int service) {
    if (service < 0 || static_cast<size_t>(service) >= services.size()) {
        return;
    }
    services[static_cast<size_t>(service)] = Service{};
    servicesChanged = true;
    changed(this, LANE_ALL);
}

int IrPort::listen(uint32_t tag, int service, int timeoutMs) {
    if (service < 0 || static_cast<size_t>(service) >= services.size() ||
        !services[static_cast<size_t>(service)].used) {
        return IRPORT_ERR_ARG;
    }
    Service& s = services[static_cast<size_t>(service)];
    if (s.waiting) {
        return IRPORT_ERR_STATE;
    }
    s.waiting = true;
    s.tag = tag;
    s.timed = timeoutMs >= 0;
    s.deadline = now() + static_cast<uint32_t>(std::max(timeoutMs, 0));
    listeningChanged();
    if (!deviceAwake) {
        deviceAwake = true; // the first listen of a quiet port: the device starts now
        if (running && role == IRPORT_DEVICE) {
            startEngine(false);
        }
    }
    changed(this, LANE_ALL);
    return IRPORT_OK;
}

int IrPort::connect(uint32_t tag, const char* className, const char* attribute, int lsap, bool raw,
                    int timeoutMs) {
    if (lsap < -1 || lsap > 127) {
        return IRPORT_ERR_ARG;
    }
    if (!running || discovering || querying) {
        return IRPORT_ERR_STATE;
    }
    const Channel opening{
        Slot::OPENING,  tag, now() + static_cast<uint32_t>(std::max(timeoutMs, 0)),
        timeoutMs >= 0, -1,  IRPORT_COMPUTER};
    if (role == IRPORT_COMPUTER) {
        if (!linkUp()) {
            return IRPORT_ERR_STATE; // a link is being set up
        }
        const int lane = computer.addChannel(className, attribute, lsap, raw);
        if (lane < 0) {
            return IRPORT_ERR_NO_MEMORY;
        }
        channels[static_cast<size_t>(lane)] = opening;
        return IRPORT_OK;
    }
    if (linkUp() || anyChannel()) {
        return IRPORT_ERR_STATE; // linked as a device: the computer opens the channels
    }
    if (!copyName(className, connectClass) || !copyName(attribute, connectAttribute)) {
        return IRPORT_ERR_ARG;
    }
    stopEngine();
    const IrErr set = computer.setService(
        orNull(connectClass), orNull(connectClass) != nullptr ? orNull(connectAttribute) : nullptr,
        lsap, raw);
    if (set != IR_OK) {
        startEngine(false);
        return fromIrErr(set);
    }
    computer.setDiscoverOnly(false);
    startEngine(true);
    channels[0] = opening;
    return IRPORT_OK;
}

int IrPort::close(uint32_t tag, int channel, int lingerMs) {
    if (channel < 0 || static_cast<size_t>(channel) >= channels.size()) {
        return IRPORT_ERR_HANDLE;
    }
    Channel& c = channels[static_cast<size_t>(channel)];
    if (c.slot != Slot::OPEN && c.slot != Slot::ENDED) {
        return IRPORT_ERR_STATE;
    }
    c.slot = Slot::CLOSING;
    c.tag = tag;
    c.timed = true;
    c.deadline = now() + static_cast<uint32_t>(std::max(lingerMs, 0));
    changed(this, LANE_ALL);
    return IRPORT_OK;
}

int IrPort::abort(int channel) {
    if (channel < 0 || static_cast<size_t>(channel) >= channels.size()) {
        return IRPORT_ERR_HANDLE;
    }
    Channel& c = channels[static_cast<size_t>(channel)];
    if (c.slot == Slot::FREE || c.slot == Slot::OPENING) {
        return IRPORT_ERR_STATE;
    }
    if (c.slot == Slot::CLOSING) {
        finish(c.tag, IRPORT_ERR_TIMEOUT);
    }
    disconnect(channel);
    c = Channel{};
    endLinkIfUnused();
    return IRPORT_OK;
}

int IrPort::awaitLinkEnd(uint32_t tag) {
    if (closeHeld) {
        return IRPORT_ERR_STATE;
    }
    if (running) {
        finishAtLinkEnd(tag, IRPORT_OK);
    } else {
        finish(tag, IRPORT_OK);
    }
    changed(this, LANE_ALL);
    return IRPORT_OK;
}

void IrPort::finishAtLinkEnd(uint32_t tag, int status) {
    if (!anyChannel() && (role == IRPORT_COMPUTER || linkUp())) {
        // The last channel: its end is told once the link is down, so a connect that follows
        // finds the port free.
        closeHeld = true;
        heldTag = tag;
        heldStatus = status;
        heldDeadline = now() + IRPORT_LINK_END_MS;
    } else {
        finish(tag, status);
    }
}

void IrPort::disconnect(int lane) {
    if (!running) {
        return;
    }
    if (lane > 0 && laneEnded(lane)) {
        connection().extra(static_cast<uint8_t>(lane)).requestClose(); // idle at once
        return;
    }
    if (linkUp() && (lane > 0 || laneOpen(0))) {
        if (role == IRPORT_COMPUTER) {
            computer.closeChannel(static_cast<uint8_t>(lane));
        } else {
            device.closeChannel(static_cast<uint8_t>(lane));
        }
    }
}

void IrPort::endLinkIfUnused() {
    if (anyChannel() || linkEndAsked || !linkUp()) {
        return;
    }
    linkEndAsked = true;
    if (role == IRPORT_COMPUTER) {
        computer.requestLinkEnd();
    } else {
        device.requestLinkEnd();
    }
}

void IrPort::updateComputer() {
    if (updateQuery()) {
        return;
    }
    if (discovering) {
        if (computer.answeredRounds() == 0 && !passed(true, discoverDeadline, now())) {
            return;
        }
        discovering = false;
        deviceCount = 0;
        while (deviceCount < devices.size() &&
               computer.discovered(static_cast<uint8_t>(deviceCount), devices[deviceCount])) {
            ++deviceCount;
        }
        finish(discoverTag, IRPORT_OK, -1, static_cast<uint32_t>(deviceCount));
        becomeDevice();
        computer.setDiscoverOnly(false); // its task has stopped: the setting is read there
        return;
    }
    Channel& first = channels[0];
    const bool firstFailed =
        first.slot == Slot::OPENING &&
        (computer.serviceMissing() > 0 || passed(first.timed, first.deadline, now()));
    if (computer.halted() || firstFailed) {
        if (first.slot == Slot::OPENING && !computer.halted() && computer.serviceMissing() == 0) {
            finish(first.tag, IRPORT_ERR_TIMEOUT);
            first = Channel{};
        }
        becomeDevice();
        return;
    }
    for (size_t lane = 0; lane < channels.size(); ++lane) {
        Channel& c = channels[lane];
        if (c.slot != Slot::OPENING) {
            continue;
        }
        const int id = static_cast<int>(lane);
        if (laneOpen(id)) {
            c.slot = Slot::OPEN;
            c.timed = false;
            finish(c.tag, IRPORT_OK, id);
        } else if (lane > 0 && (laneEnded(id) || passed(c.timed, c.deadline, now()))) {
            finish(c.tag, laneEnded(id) ? laneEndStatus(id) : IRPORT_ERR_TIMEOUT);
            computer.closeChannel(static_cast<uint8_t>(lane));
            c = Channel{};
            endLinkIfUnused();
        }
    }
}

void IrPort::updateDevice() {
    if (servicesChanged && !linkUp()) {
        renewServices();
    }
    for (Service& s : services) {
        if (s.waiting && passed(s.timed, s.deadline, now())) {
            s.waiting = false;
            listeningChanged();
            finish(s.tag, IRPORT_ERR_TIMEOUT);
        }
    }
    if (!linkUp()) {
        return;
    }
    for (size_t lane = 0; lane < channels.size(); ++lane) {
        const int id = static_cast<int>(lane);
        if (channels[lane].slot != Slot::FREE) {
            continue;
        }
        if (lane > 0 && connection().extra(static_cast<uint8_t>(lane)).state() == CHANNEL_ENDED) {
            connection().extra(static_cast<uint8_t>(lane)).requestClose(); // nobody had taken it
            continue;
        }
        if (!laneOpen(id)) {
            continue;
        }
        const auto service = std::find_if(services.begin(), services.end(), [id](const Service& s) {
            return s.used && s.waiting && s.lane == id;
        });
        if (service == services.end()) {
            device.closeChannel(static_cast<uint8_t>(lane)); // no one listens for it
            continue;
        }
        service->waiting = false;
        listeningChanged();
        channels[lane] = Channel{
            Slot::OPEN,   service->tag, 0, false, static_cast<int>(service - services.begin()),
            IRPORT_DEVICE};
        finish(service->tag, IRPORT_OK, id);
    }
}

void IrPort::updateChannels() {
    for (size_t lane = 0; lane < channels.size(); ++lane) {
        Channel& c = channels[lane];
        const int id = static_cast<int>(lane);
        if (c.slot == Slot::OPEN && laneEnded(id)) {
            c.slot = Slot::ENDED;
            push({IRPORT_CHANNEL_ENDED, 0, laneEndStatus(id), id,
                  static_cast<uint32_t>(unacknowledged(id))});
        } else if (c.slot == Slot::CLOSING) {
            const bool acknowledged = unacknowledged(id) == 0;
            const bool ended = laneEnded(id);
            if (!acknowledged && !ended && !passed(c.timed, c.deadline, now())) {
                continue;
            }
            const uint32_t tag = c.tag;
            const int result = acknowledged ? IRPORT_OK
                               : ended      ? IRPORT_ERR_PEER_GONE
                                            : IRPORT_ERR_TIMEOUT;
            disconnect(id);
            c = Channel{};
            endLinkIfUnused();
            finishAtLinkEnd(tag, result);
        }
    }
}
