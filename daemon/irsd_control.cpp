// irstack-ctl's answers: a port's link with its clients and their channels, and the devices the
// port has seen. They only look, so they need no open port and hold nothing.
#include <algorithm>

#include "irsd_ports.h"

void IrsdPorts::noteSeen(Served& s, const LapDiscovered& device) {
    const auto first = s.seen.begin();
    const auto last = first + static_cast<std::ptrdiff_t>(s.seenCount);
    const auto same = std::find_if(first, last, [&](const Served::Seen& seen) {
        return seen.device.address == device.address;
    });
    Served::Seen entry{device, std::chrono::steady_clock::now()};
    // A link's peer comes without its discovery information; what discovery said of it stays.
    if (same != last && device.infoLength == 0) {
        entry.device.info = same->device.info;
        entry.device.infoLength = same->device.infoLength;
    }
    // The newest goes last: the entry it replaces, or the one seen longest ago when full, goes.
    const auto gone = same != last ? same : (s.seenCount == s.seen.size() ? first : last);
    if (gone != last) {
        std::move(gone + 1, last, gone);
    } else {
        ++s.seenCount;
    }
    s.seen.at(s.seenCount - 1) = entry;
}

void IrsdPorts::control(std::span<IrsdClient> clients, size_t client, const IrsdMsg& msg) {
    const IrsdClient& asker = clients[client];
    // A long list stops where the asker's queue would no longer hold it and the reply; the
    // reply's counts say how much came.
    const auto fits = [&] { return irsdQueueRoom(asker.out) >= 3 * IRSD_MSG_MAX; };
    Served& s = *ports.at(asker.port);
    IrsdMsg item;
    if (msg.type == IRSD_CTL_DEVICES) {
        const auto now = std::chrono::steady_clock::now();
        uint32_t shown = 0;
        for (size_t i = s.seenCount; i-- > 0 && fits(); ++shown) {
            const Served::Seen& seen = s.seen.at(i);
            irsdInit(item, IRSD_ITEM_SEEN, msg.id);
            item.num[IRSD_SEEN_ADDRESS] = seen.device.address;
            item.num[IRSD_SEEN_HINTS] = lapHintBits(seen.device);
            std::array<char, LAP_NICKNAME_MAX + 1> nickname{};
            lapNickname(seen.device, nickname);
            irsdSetText(item, IRSD_SEEN_NICKNAME, nickname.data());
            item.num[IRSD_SEEN_AGO_MS] = static_cast<uint32_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(now - seen.at).count());
            send(clients, client, asker.serial, item);
        }
        IrsdMsg reply;
        irsdInit(reply, msg.type | IRSD_REPLY, msg.id);
        reply.num[IRSD_COUNT_R] = shown;
        answer(clients, client, asker.serial, reply, IRSD_OK);
        return;
    }
    irsdInit(item, IRSD_ITEM_LINK, msg.id);
    if (s.live) {
        const IrPortStatus status = s.port->status();
        item.num[IRSD_LINK_ROLE] = status.role == IRPORT_COMPUTER ? 0 : 1;
        item.num[IRSD_LINK_PHASE] = static_cast<uint32_t>(status.phase);
        item.num[IRSD_LINK_PEER] = status.peer;
        item.num[IRSD_LINK_SPEED] = status.speed;
        item.num[IRSD_LINK_WINDOW] = status.window;
        item.num[IRSD_LINK_FIELD] = status.field;
        item.num[IRSD_LINK_RESENT] = status.resent;
        item.num[IRSD_LINK_DAMAGED] = s.line->framesDamaged();
    }
    send(clients, client, asker.serial, item);
    uint32_t clientCount = 0;
    uint32_t channelCount = 0;
    for (size_t c = 0; c < clients.size(); ++c) {
        const IrsdClient& other = clients[c];
        if (other.sock < 0 || other.port != asker.port || !other.session.opened) {
            continue;
        }
        if (!fits()) {
            break;
        }
        const IrsdHeld holds = held(c, other.serial, other.port);
        irsdInit(item, IRSD_ITEM_CLIENT, msg.id);
        item.num[IRSD_CLIENT_PID] = static_cast<uint32_t>(other.pid);
        item.num[IRSD_CLIENT_UID] = static_cast<uint32_t>(other.uid);
        item.num[IRSD_CLIENT_CHANNEL_COUNT] = static_cast<uint32_t>(holds.channels);
        item.num[IRSD_CLIENT_SERVICE_COUNT] = static_cast<uint32_t>(holds.services);
        send(clients, client, asker.serial, item);
        ++clientCount;
        for (const Record& r : records) {
            if (!r.used || r.client != c || r.serial != other.serial || !fits()) {
                continue;
            }
            irsdInit(item, IRSD_ITEM_CHANNEL, msg.id);
            item.num[IRSD_CH_PID] = static_cast<uint32_t>(other.pid);
            item.num[IRSD_CH_ID] = r.id;
            item.num[IRSD_CH_LOCAL] = r.info.local;
            item.num[IRSD_CH_PEER] = r.info.peer;
            irsdSetText(item, IRSD_CH_CLASS, r.info.className.data());
            item.num[IRSD_CH_SENT] = r.sent;
            item.num[IRSD_CH_RECEIVED] = r.received;
            send(clients, client, asker.serial, item);
            ++channelCount;
        }
    }
    IrsdMsg reply;
    irsdInit(reply, msg.type | IRSD_REPLY, msg.id);
    irsdSetText(reply, IRSD_CTL_R_NAME, s.name);
    reply.num[IRSD_CTL_R_CLIENTS] = clientCount;
    reply.num[IRSD_CTL_R_CHANNELS] = channelCount;
    answer(clients, client, asker.serial, reply, IRSD_OK);
}
