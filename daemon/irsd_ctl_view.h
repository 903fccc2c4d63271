// What irstack-ctl shows of a daemon's ports: the replies of CTL_STATUS and CTL_DEVICES gathered
// into plain records, and their text and JSON forms. No sockets here, so the forms can be tested.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "irsd_msg.h"

struct CtlChannel {
    uint32_t pid = 0;
    uint32_t id = 0;
    uint8_t local = 0;
    uint8_t peer = 0;
    std::string className;
    uint32_t sent = 0;
    uint32_t received = 0;
};

struct CtlClient {
    uint32_t pid = 0;
    uint32_t uid = 0;
    uint8_t channels = 0;
    uint8_t services = 0;
};

struct CtlPort {
    std::string name;
    uint8_t role = 0;
    uint8_t phase = 0;
    uint32_t peer = 0;
    uint32_t speed = 0;
    uint8_t window = 0;
    uint16_t field = 0;
    uint32_t resent = 0;
    uint32_t damaged = 0;
    std::vector<CtlClient> clients;
    std::vector<CtlChannel> channels;
    // Filled by the replies' end: the counts it announced, to tell a cut-short answer.
    bool complete = false;
};

struct CtlSeen {
    uint32_t address = 0;
    uint16_t hints = 0;
    std::string nickname;
    uint32_t agoMs = 0;
};

// Takes one message of a CTL_STATUS answer into `port`; false for one that does not belong.
bool ctlTakeStatus(const IrsdMsg& msg, CtlPort& port);
// Takes one message of a CTL_DEVICES answer; false for one that does not belong.
bool ctlTakeSeen(const IrsdMsg& msg, std::vector<CtlSeen>& seen);

std::string ctlStatusText(const CtlPort& port);
std::string ctlStatusJson(const CtlPort& port);
std::string ctlSeenText(const std::string& portName, const std::vector<CtlSeen>& seen);
std::string ctlSeenJson(const std::string& portName, const std::vector<CtlSeen>& seen);

// One refresh of `watch`: the rates since the last look, the field in use and a bar of the
// link's quality (full with no frame resent or damaged, empty at ten a second or more).
struct CtlRates {
    double resentPerS = 0;
    double damagedPerS = 0;
};
CtlRates ctlRates(const CtlPort& before, const CtlPort& now, double seconds);
std::string ctlWatchLine(const CtlPort& port, const CtlRates& rates);
std::string ctlWatchJson(const CtlPort& port, const CtlRates& rates);

// An address as the library shows it, most significant byte first: "34-12-CD-AB".
std::string ctlAddressText(uint32_t address);
