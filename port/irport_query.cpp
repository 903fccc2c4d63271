// The port object's IAS queries: over a free lane of the computer's link, or over a link of the
// query's own that ends with its answer.
#include <algorithm>
#include <cstring>

#include "irport.h"

int IrPort::query(uint32_t tag, const char* className, const char* attribute, int timeoutMs) {
    if (className == nullptr || attribute == nullptr || className[0] == '\0' ||
        attribute[0] == '\0' || std::strlen(className) + std::strlen(attribute) > IAS_NAMES_MAX) {
        return IRPORT_ERR_ARG;
    }
    if (!running || discovering || querying) {
        return IRPORT_ERR_STATE;
    }
    if (role == IRPORT_COMPUTER) {
        if (!linkUp()) {
            return IRPORT_ERR_STATE;
        }
        queryLane = computer.addQuery(className, attribute);
        if (queryLane < 0) {
            return IRPORT_ERR_NO_MEMORY;
        }
    } else {
        if (linkUp() || anyChannel()) {
            return IRPORT_ERR_STATE;
        }
        stopEngine();
        const IrErr set = computer.setQueryOnly(className, attribute);
        if (set != IR_OK) {
            startEngine(false);
            return IRPORT_ERR_ARG;
        }
        computer.setDiscoverOnly(false);
        startEngine(true);
        queryLane = -1;
    }
    querying = true;
    queryLinked = false;
    queryTag = tag;
    queryTimed = timeoutMs >= 0;
    queryDeadline = now() + static_cast<uint32_t>(std::max(timeoutMs, 0));
    answerLength = 0;
    return IRPORT_OK;
}

void IrPort::endQuery(int status) {
    querying = false;
    if (queryLane < 0) {
        // Its own link's task first ends its pass: the engine shows the link down a moment
        // before it shows the answer that came.
        computer.stopTask();
    }
    const int length = computer.queryAnswer(answer); // it may have come as the link went
    if (length >= 0) {
        answerLength = std::min(static_cast<size_t>(length), answer.size());
        status = IRPORT_OK;
    }
    finish(queryTag, status, -1, static_cast<uint32_t>(answerLength));
    if (queryLane < 0) {
        computer.stopTask();
        computer.setQueryOnly(nullptr, nullptr);
        becomeDevice();
    } else if (status != IRPORT_OK) {
        computer.closeChannel(static_cast<uint8_t>(queryLane)); // its late answer is ignored
    }
}

bool IrPort::updateQuery() {
    if (!querying) {
        return false;
    }
    const bool answered = computer.queryAnswer(answer) >= 0;
    bool over = false;
    int status = IRPORT_ERR_PEER_GONE;
    if (queryLane >= 0) {
        const ChannelState state =
            computer.connection().extra(static_cast<uint8_t>(queryLane)).state();
        over = answered || state == CHANNEL_IDLE || state == CHANNEL_ENDED || computer.halted();
        status = laneEndStatus(queryLane);
    } else {
        // Its own link ends with the DISC that follows the answer, or before it came.
        const bool up = computer.state() >= primary::PRIMARY_LINK_CHECK;
        over = computer.halted() || (queryLinked && !up);
        queryLinked = queryLinked || up;
    }
    if (!over && queryTimed && static_cast<int32_t>(queryDeadline - now()) <= 0) {
        over = true;
        status = IRPORT_ERR_TIMEOUT;
    }
    if (!over) {
        return false;
    }
    const bool ownLink = queryLane < 0;
    endQuery(status);
    return ownLink;
}
