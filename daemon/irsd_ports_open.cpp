// The ports' serial devices: held and started, tried again while one does not open, given back
// at the end; and how long the event loop may sleep before a port needs it.
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "irsd_ports.h"
#include "lap_terms.h"

void IrsdPorts::open(const IrsdOptions& options) {
    variant = transceiverVariantNamed(options.variant);
    maxSpeed = options.maxSpeed != 0 ? options.maxSpeed : UINT32_MAX;
    for (const IrsdPortConfig& config : options.ports) {
        auto served = std::make_unique<Served>();
        served->name = config.name;
        served->device = config.device;
        if (variant != nullptr && !start(*served)) {
            std::fprintf(stderr,
                         "irstackd: %s: %s does not open (system error %lu); tried again each "
                         "second\n",
                         config.name.c_str(), config.device.c_str(),
                         static_cast<unsigned long>(served->openError));
        }
        ports.push_back(std::move(served));
    }
}

bool IrsdPorts::start(Served& s) {
    s.retryAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(IRSD_RETRY_MS);
    auto line = std::make_unique<IrphyPort>(*variant);
    if (!line->setPortName(s.device.c_str()) || line->hold() != ERROR_SUCCESS) {
        s.openError = hostSystemError();
        return false;
    }
    // A plain port offers what its serial device takes, which only the held port tells.
    const uint8_t speeds = lapBaudBitsUpTo(line->offeredBaudBits(), maxSpeed);
    auto port = std::make_unique<IrPort>(*line, speeds);
    if (!port->start()) {
        s.openError = hostSystemError();
        line->close();
        line->release();
        return false;
    }
    s.line = std::move(line);
    s.port = std::move(port);
    s.live = true;
    return true;
}

// A port that did not open at the start is tried again as a lost one is, from scratch: no
// client can hold anything on it yet.
void IrsdPorts::retryStart(Served& s) {
    if (s.live || variant == nullptr || std::chrono::steady_clock::now() < s.retryAt) {
        return;
    }
    if (access(s.device.c_str(), R_OK | W_OK) == 0 && start(s)) {
        std::fprintf(stderr, "irstackd: %s: port open\n", s.name.c_str());
    }
}

void IrsdPorts::stop() {
    for (Record& record : records) {
        if (record.used) {
            release(record, true);
        }
    }
    for (auto& served : ports) {
        if (served->port) {
            served->port->stop();
        }
        if (served->line) {
            served->line->close();
            served->line->release();
        }
    }
    ports.clear();
}

int IrsdPorts::timeoutMs() {
    int soonest = -1;
    for (auto& served : ports) {
        int left = served->live ? served->port->nextTimeoutMs() : -1;
        if (!served->live && variant != nullptr) {
            left = IRSD_RETRY_MS;
        }
        // The computer's engine tells of a port gone only when it gives the link up, so the
        // loop looks once a second then, and while the device is away.
        if (served->lost || (served->live && served->port->status().role == IRPORT_COMPUTER)) {
            left = left < 0 ? IRSD_RETRY_MS : std::min(left, IRSD_RETRY_MS);
        }
        if (left >= 0 && (soonest < 0 || left < soonest)) {
            soonest = left;
        }
    }
    // A close whose bytes wait for room ends when its linger does.
    for (const Record& r : records) {
        if (r.used && r.closing && !r.closeStarted && r.lane >= 0) {
            const int left = lingerLeft(r);
            soonest = soonest < 0 ? left : std::min(soonest, left);
        }
    }
    return soonest;
}
