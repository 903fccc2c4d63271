// The in-process helper queries: what a channel is, and a device's IAS values asked without a
// channel (over a lane of the link that is up, or over a link of the query's own).
#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "irs_local.h"
#include "irs_session.h"
#include "pdu.h"

namespace {

// How often a wait for the answer looks at the station.
constexpr uint32_t LOOK_MS = 10;
// Every entry takes three bytes at the least.
constexpr size_t ANSWER_VALUES_MAX = LAP_MAX_DATA_SIZE / 3;
static_assert(IRS_NAME_MAX == IAS_NAMES_MAX, "the library's names fit one query");
static_assert(int{IRS_IAS_MISSING} == int{IAS_MISSING} &&
                  int{IRS_IAS_INTEGER} == int{IAS_INTEGER} &&
                  int{IRS_IAS_OCTETS} == int{IAS_OCTETS} && int{IRS_IAS_STRING} == int{IAS_STRING},
              "the library's value types are the wire's");

using Answer = std::array<uint8_t, LAP_MAX_DATA_SIZE>;

void copyText(char* to, size_t size, const std::array<char, IAS_NAMES_MAX + 1>& from) {
    const size_t length = strnlen(from.data(), std::min(size - 1, from.size()));
    std::memcpy(to, from.data(), length);
    to[length] = '\0';
}

// The answer's values into the caller's table: their count, or IRS_ERR_NO_SERVICE for an answer
// that is no success.
int storeValues(std::span<const uint8_t> answer, irs_ias_value* values, int maxValues) {
    std::array<IasValue, ANSWER_VALUES_MAX> parsed{};
    const size_t room = std::min(parsed.size(), static_cast<size_t>(maxValues));
    const IasAnswer result = iasParseValues(answer, std::span(parsed.data(), room));
    if (!result.coded || result.code != 0) {
        return IRS_ERR_NO_SERVICE;
    }
    for (uint16_t i = 0; i < result.stored; ++i) {
        const IasValue& from = parsed.at(i);
        irs_ias_value& to = values[i];
        to = irs_ias_value{};
        to.type = from.type;
        to.object_id = from.objectId;
        to.integer = from.integer;
        to.charset = from.charset;
        to.length = from.bytes.size();
        // A string keeps room for its null.
        const size_t most = from.type == IAS_STRING ? sizeof to.bytes - 1 : sizeof to.bytes;
        std::copy_n(from.bytes.begin(), std::min(from.bytes.size(), most), to.bytes);
    }
    return result.stored;
}

// The failure that ends a wait for the answer; IRS_OK while it may still come.
int portFailure(IrsPort& port) {
    if (port.closing.load()) {
        return IRS_ERR_HANDLE;
    }
    return port.line.lostError() != 0 ? IRS_ERR_PORT_LOST : IRS_OK;
}

void pause(IrsPort& port, const IrsDeadline& deadline) {
    std::unique_lock<std::mutex> hold(port.closeLock);
    const int left = deadline.left();
    const int slice =
        left < 0 || left > static_cast<int>(LOOK_MS) ? static_cast<int>(LOOK_MS) : left;
    port.closeSignal.wait_for(hold, std::chrono::milliseconds(slice));
}

// Over a free lane of the link that is up; the operation lock is held on entry.
int askOverLane(IrsPort& port, std::unique_lock<std::mutex>& operation, const char* className,
                const char* attribute, const IrsDeadline& deadline, Answer& answer) {
    primary::PrimaryStation& station = *port.computer;
    const int lane = station.addQuery(className, attribute);
    operation.unlock();
    if (lane < 0) {
        return IRS_ERR_NO_MEMORY;
    }
    LmChannel& channel = port.connection().extra(static_cast<uint8_t>(lane));
    for (;;) {
        int length = station.queryAnswer(answer);
        if (length >= 0) {
            return length;
        }
        int failure = portFailure(port);
        const ChannelState state = channel.state();
        if (failure == IRS_OK && (state == CHANNEL_IDLE || state == CHANNEL_ENDED)) {
            length = station.queryAnswer(answer); // it may have come as the lane went idle
            if (length >= 0) {
                return length;
            }
            const ChannelEnd why = channel.endReason();
            failure = why == CHANNEL_END_NO_SERVICE || why == CHANNEL_END_REFUSED
                          ? IRS_ERR_NO_SERVICE
                          : IRS_ERR_PEER_GONE;
        }
        if (failure == IRS_OK && deadline.passed()) {
            failure = IRS_ERR_TIMEOUT;
        }
        if (failure != IRS_OK) {
            // An ended lane goes idle; one still asking stops, and its late answer is ignored.
            station.closeChannel(static_cast<uint8_t>(lane));
            return failure;
        }
        pause(port, deadline);
    }
}

// Over a link of its own to the first device in range; the operation lock is held throughout.
int askOverNewLink(IrsPort& port, const char* className, const char* attribute,
                   const IrsDeadline& deadline, Answer& answer) {
    primary::PrimaryStation& station = *port.computer;
    port.stopStation();
    const IrErr set = station.setQueryOnly(className, attribute);
    if (set != IR_OK) {
        return irsFromIrErr(set);
    }
    station.setDiscoverOnly(false);
    for (IrsChannel& channel : port.channels) {
        channel.ended.store(false);
    }
    station.init();
    station.startTask();
    port.stationLive.store(true);
    bool linked = false;
    int result = IRS_ERR_TIMEOUT;
    for (;;) {
        result = station.queryAnswer(answer);
        if (result >= 0) {
            break;
        }
        result = portFailure(port);
        const bool up = station.state() >= primary::PRIMARY_LINK_CHECK;
        if (result == IRS_OK && linked && !up) {
            result = IRS_ERR_PEER_GONE; // the link went before the answer came
        }
        linked = linked || up;
        if (result == IRS_OK && deadline.passed()) {
            result = IRS_ERR_TIMEOUT;
        }
        if (result != IRS_OK) {
            const int late = station.queryAnswer(answer);
            result = late >= 0 ? late : result;
            break;
        }
        pause(port, deadline);
    }
    port.stopStation();
    station.setQueryOnly(nullptr, nullptr);
    return result;
}

} // namespace

int irsLocalDescribe(IrsPort& port, IrsChannel& channel, irs_channel_info& out) {
    irs_channel_info* const info = &out;
    const ChannelInfo found = port.computer ? port.computer->describeLane(channel.lane)
                                            : port.device->describeLane(channel.lane);
    info->local_lsap = found.local;
    info->peer_lsap = found.peer;
    info->mode = found.raw ? IRS_MODE_RAW : IRS_MODE_IRCOMM;
    copyText(info->class_name, sizeof info->class_name, found.className);
    copyText(info->attribute, sizeof info->attribute, found.attribute);
    return IRS_OK;
}

int irsLocalQuery(IrsPort& portRef, const char* className, const char* attribute, int timeoutMs,
                  irs_ias_value* values, int maxValues) {
    IrsPort* const port = &portRef;
    const IrsDeadline deadline(timeoutMs);
    // The station keeps one answer: one query at a time.
    const std::lock_guard<std::mutex> query(port->queryLock);
    std::unique_lock<std::mutex> operation(port->operationLock);
    Answer answer{};
    int length = 0;
    if (port->stationLive.load() && port->computer->state() == primary::PRIMARY_CONNECTED &&
        port->inUse()) {
        length = askOverLane(*port, operation, className, attribute, deadline, answer);
    } else if (port->inUse()) {
        return IRS_ERR_STATE; // channels of a link that has gone are still open
    } else {
        length = askOverNewLink(*port, className, attribute, deadline, answer);
    }
    if (length < 0) {
        return length;
    }
    const auto kept = std::min(static_cast<size_t>(length), answer.size());
    return storeValues(std::span<const uint8_t>(answer.data(), kept), values, maxValues);
}
