// irstack-ctl's records and their forms: a line or a few per port for people, one JSON object per
// answer for scripts.
#include "irsd_ctl_view.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr std::array<const char*, 4> PHASES{"idle", "searching", "connected", "open"};
constexpr double BAR_EMPTY_PER_S = 10.0;
constexpr int BAR_WIDTH = 20;

const char* phaseName(uint8_t phase) {
    return phase < PHASES.size() ? PHASES.at(phase) : "unknown";
}

const char* roleName(uint8_t role) {
    return role == 0 ? "computer" : "device";
}

// Room for a line with the longest names escaped.
constexpr size_t LINE_MAX = 1024;

[[gnu::format(printf, 1, 2)]] std::string format(const char* pattern, ...) {
    std::array<char, LINE_MAX> text{};
    va_list values;
    va_start(values, pattern);
    const int length = std::vsnprintf(text.data(), text.size(), pattern, values);
    va_end(values);
    return std::string(text.data(),
                       std::min(static_cast<size_t>(std::max(length, 0)), LINE_MAX - 1));
}

// A text as a JSON string: quotes, backslashes and control bytes escaped, other bytes as they
// are (names on the wire are ASCII; anything else is the device's and passes through).
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += format("\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string linkJson(const CtlPort& port) {
    return format("\"name\":%s,\"role\":\"%s\",\"phase\":\"%s\",\"peer\":\"%s\",\"speed\":%u,"
                  "\"window\":%u,\"field\":%u,\"resent\":%u,\"damaged\":%u",
                  quoted(port.name).c_str(), roleName(port.role), phaseName(port.phase),
                  port.peer != 0 ? ctlAddressText(port.peer).c_str() : "", port.speed,
                  unsigned{port.window}, unsigned{port.field}, port.resent, port.damaged);
}

} // namespace

std::string ctlAddressText(uint32_t address) {
    return format("%02X-%02X-%02X-%02X", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
                  (address >> 8) & 0xFF, address & 0xFF);
}

bool ctlTakeStatus(const IrsdMsg& msg, CtlPort& port) {
    const auto u8 = [&](uint8_t field) { return static_cast<uint8_t>(msg.num.at(field)); };
    switch (msg.type) {
    case IRSD_ITEM_LINK:
        port.role = u8(IRSD_LINK_ROLE);
        port.phase = u8(IRSD_LINK_PHASE);
        port.peer = msg.num[IRSD_LINK_PEER];
        port.speed = msg.num[IRSD_LINK_SPEED];
        port.window = u8(IRSD_LINK_WINDOW);
        port.field = static_cast<uint16_t>(msg.num[IRSD_LINK_FIELD]);
        port.resent = msg.num[IRSD_LINK_RESENT];
        port.damaged = msg.num[IRSD_LINK_DAMAGED];
        return true;
    case IRSD_ITEM_CLIENT:
        port.clients.push_back({msg.num[IRSD_CLIENT_PID], msg.num[IRSD_CLIENT_UID],
                                u8(IRSD_CLIENT_CHANNEL_COUNT), u8(IRSD_CLIENT_SERVICE_COUNT)});
        return true;
    case IRSD_ITEM_CHANNEL:
        port.channels.push_back({msg.num[IRSD_CH_PID], msg.num[IRSD_CH_ID], u8(IRSD_CH_LOCAL),
                                 u8(IRSD_CH_PEER), std::string(irsdText(msg, IRSD_CH_CLASS)),
                                 msg.num[IRSD_CH_SENT], msg.num[IRSD_CH_RECEIVED]});
        return true;
    case IRSD_CTL_STATUS | IRSD_REPLY:
        port.name = std::string(irsdText(msg, IRSD_CTL_R_NAME));
        port.complete = irsdStatus(msg) == IRSD_OK &&
                        msg.num[IRSD_CTL_R_CLIENTS] == port.clients.size() &&
                        msg.num[IRSD_CTL_R_CHANNELS] == port.channels.size();
        return true;
    default:
        return false;
    }
}

bool ctlTakeSeen(const IrsdMsg& msg, std::vector<CtlSeen>& seen) {
    if (msg.type == IRSD_ITEM_SEEN) {
        seen.push_back({msg.num[IRSD_SEEN_ADDRESS], static_cast<uint16_t>(msg.num[IRSD_SEEN_HINTS]),
                        std::string(irsdText(msg, IRSD_SEEN_NICKNAME)), msg.num[IRSD_SEEN_AGO_MS]});
        return true;
    }
    return msg.type == (IRSD_CTL_DEVICES | IRSD_REPLY);
}

std::string ctlStatusText(const CtlPort& port) {
    std::string out =
        format("%s: %s, %s", port.name.c_str(), roleName(port.role), phaseName(port.phase));
    if (port.peer != 0) {
        out += format(", peer %s at %u bit/s, window %u, field %u bytes, %u frames resent",
                      ctlAddressText(port.peer).c_str(), port.speed, unsigned{port.window},
                      unsigned{port.field}, port.resent);
    }
    out += "\n";
    for (const CtlClient& client : port.clients) {
        out += format("  client %u (uid %u): %u channel(s), %u service(s)\n", client.pid,
                      client.uid, unsigned{client.channels}, unsigned{client.services});
        for (const CtlChannel& ch : port.channels) {
            if (ch.pid == client.pid) {
                out += format("    channel %u: selector %u to %u, %s, %u bytes sent, %u received\n",
                              ch.id, unsigned{ch.local}, unsigned{ch.peer},
                              ch.className.empty() ? "IrCOMM" : ch.className.c_str(), ch.sent,
                              ch.received);
            }
        }
    }
    return out;
}

std::string ctlStatusJson(const CtlPort& port) {
    std::string out = "{" + linkJson(port) + ",\"clients\":[";
    for (size_t i = 0; i < port.clients.size(); ++i) {
        const CtlClient& client = port.clients[i];
        out += format("%s{\"pid\":%u,\"uid\":%u,\"services\":%u,\"channels\":[", i > 0 ? "," : "",
                      client.pid, client.uid, unsigned{client.services});
        bool first = true;
        for (const CtlChannel& ch : port.channels) {
            if (ch.pid != client.pid) {
                continue;
            }
            out += format("%s{\"id\":%u,\"local\":%u,\"peer\":%u,\"class\":%s,\"sent\":%u,"
                          "\"received\":%u}",
                          first ? "" : ",", ch.id, unsigned{ch.local}, unsigned{ch.peer},
                          quoted(ch.className).c_str(), ch.sent, ch.received);
            first = false;
        }
        out += "]}";
    }
    return out + "]}";
}

std::string ctlSeenText(const std::string& portName, const std::vector<CtlSeen>& seen) {
    std::string out = portName + (seen.empty() ? ": no device seen\n" : ":\n");
    for (const CtlSeen& device : seen) {
        out += format("  %s  %-20s hints 0x%04X, seen %.1f s ago\n",
                      ctlAddressText(device.address).c_str(), device.nickname.c_str(),
                      unsigned{device.hints}, device.agoMs / 1000.0);
    }
    return out;
}

std::string ctlSeenJson(const std::string& portName, const std::vector<CtlSeen>& seen) {
    std::string out = "{\"name\":" + quoted(portName) + ",\"devices\":[";
    for (size_t i = 0; i < seen.size(); ++i) {
        out += format("%s{\"address\":\"%s\",\"nickname\":%s,\"hints\":%u,\"seen_ms_ago\":%u}",
                      i > 0 ? "," : "", ctlAddressText(seen[i].address).c_str(),
                      quoted(seen[i].nickname).c_str(), unsigned{seen[i].hints}, seen[i].agoMs);
    }
    return out + "]}";
}

CtlRates ctlRates(const CtlPort& before, const CtlPort& now, double seconds) {
    if (seconds <= 0) {
        return {};
    }
    // Counters only grow; one that fell belongs to a daemon started again.
    const auto rate = [&](uint32_t was, uint32_t is) {
        return is >= was ? (is - was) / seconds : 0;
    };
    return {rate(before.resent, now.resent), rate(before.damaged, now.damaged)};
}

std::string ctlWatchLine(const CtlPort& port, const CtlRates& rates) {
    const double errors = std::min(rates.resentPerS + rates.damagedPerS, BAR_EMPTY_PER_S);
    const bool linked = port.phase >= 2;
    const int filled =
        linked ? static_cast<int>(std::lround(BAR_WIDTH * (1.0 - errors / BAR_EMPTY_PER_S))) : 0;
    const std::string bar = std::string(static_cast<size_t>(filled), '#') +
                            std::string(static_cast<size_t>(BAR_WIDTH - filled), '.');
    return format("%s [%s] %-9s resent %5.1f/s damaged %5.1f/s field %4u bytes %6u bit/s",
                  port.name.c_str(), bar.c_str(), phaseName(port.phase), rates.resentPerS,
                  rates.damagedPerS, unsigned{port.field}, port.speed);
}

std::string ctlWatchJson(const CtlPort& port, const CtlRates& rates) {
    return "{" + linkJson(port) +
           format(",\"resent_per_s\":%.1f,\"damaged_per_s\":%.1f}", rates.resentPerS,
                  rates.damagedPerS);
}
