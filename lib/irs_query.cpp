// The in-process helper queries: what a channel is, and a device's IAS values asked without a
// channel (the port asks over the link that is up, or over a link of the query's own).
#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "irs_local.h"
#include "pdu.h"

namespace {

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

} // namespace

int irsLocalDescribe(IrsPort& port, IrsChannel& channel, irs_channel_info& info) {
    std::unique_lock<std::mutex> hold(port.local->lock, std::defer_lock);
    if (!irsLockOutsideLog(hold)) {
        return IRS_ERR_STATE;
    }
    const ChannelInfo found = port.local->port.describe(channel.lane);
    info.local_lsap = found.local;
    info.peer_lsap = found.peer;
    info.mode = found.raw ? IRS_MODE_RAW : IRS_MODE_IRCOMM;
    copyText(info.class_name, sizeof info.class_name, found.className);
    copyText(info.attribute, sizeof info.attribute, found.attribute);
    return IRS_OK;
}

int irsLocalQuery(IrsPort& port, const char* className, const char* attribute, int timeoutMs,
                  irs_ias_value* values, int maxValues) {
    IrsLocal& local = *port.local;
    // The port keeps one answer: one query at a time. One over a link of its own is a link's
    // set-up, one at a time with the others.
    const std::lock_guard<std::mutex> query(port.queryLock);
    std::unique_lock<std::mutex> operation(port.operationLock, std::defer_lock);
    std::unique_lock<std::mutex> hold(local.lock, std::defer_lock);
    irsLocalHold(operation, hold, [&] { return local.port.status().role == IRPORT_COMPUTER; });
    int status = IRS_OK;
    IrsWait* const wait = irsLocalBegin(port, status);
    if (wait == nullptr) {
        return status;
    }
    const int started = local.port.query(wait->tag, className, attribute, timeoutMs);
    if (started != IRS_OK) {
        *wait = IrsWait{};
        return started;
    }
    const IrPortEvent done = irsLocalAwait(port, hold, *wait);
    if (done.status != IRS_OK) {
        return done.status;
    }
    Answer answer{};
    const std::span<const uint8_t> got = local.port.queryAnswer();
    const size_t kept = std::min(got.size(), answer.size());
    std::copy_n(got.begin(), kept, answer.begin());
    return storeValues(std::span<const uint8_t>(answer.data(), kept), values, maxValues);
}
