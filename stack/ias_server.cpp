#include "ias_server.h"

#include <cstring>

#include "pdu.h"

namespace {

constexpr uint16_t IAS_ANSWER_OFFSET = 5;

constexpr std::array<uint8_t, 11> IAS_RESULT_PARAMETERS = {0x00, 0x00, 0x01, 0x00, 0x01, 0x02,
                                                           0x00, 0x03, 0x00, 0x01, 0x04};
// Success, one entry: object 0, an integer, the selector last.
constexpr std::array<uint8_t, 10> IAS_RESULT_SELECTOR = {0x00, 0x00, 0x01, 0x00, 0x01,
                                                         0x01, 0x00, 0x00, 0x00, 0x00};
constexpr std::array<uint8_t, 1> IAS_RESULT_NO_ATTRIBUTE = {0x02};
constexpr std::array<uint8_t, 1> IAS_RESULT_NO_CLASS = {0x01};

// Bounded comparison over at most `count` received bytes, stopping at the end of `reference`:
// a leading part of the reference (or an empty name) matches.
bool iasNameMatches(const char* reference, const uint8_t* name, uint8_t count) {
    for (uint8_t i = 0; i < count; ++i) {
        const auto expected = static_cast<uint8_t>(reference[i]);
        if (expected != name[i]) {
            return false;
        }
        if (expected == 0) {
            return true;
        }
    }
    return true;
}

bool iasNameIs(const char* reference, const uint8_t* name, uint8_t count) {
    return std::strlen(reference) == count && std::memcmp(reference, name, count) == 0;
}

void iasCopyName(std::array<char, IAS_NAMES_MAX + 1>& to, const char* name) {
    const size_t length = std::strlen(name);
    std::memcpy(to.data(), name, length);
    to[length] = '\0';
}

} // namespace

IasLookup iasReadLookup(const uint8_t* frame, uint16_t length) {
    IasLookup lookup;
    if (length <= IAS_ANSWER_OFFSET) {
        return lookup;
    }
    const uint8_t code = frame[IAS_ANSWER_OFFSET];
    if (code == IAS_NO_SUCH_CLASS || code == IAS_NO_SUCH_ATTRIBUTE) {
        lookup.result = IAS_LOOKUP_NO_SERVICE;
    } else if (iasParseLsapSel(&frame[IAS_ANSWER_OFFSET], length - IAS_ANSWER_OFFSET,
                               lookup.value) != 0) {
        lookup.result = IAS_LOOKUP_FOUND;
    }
    return lookup;
}

IrErr IasServer::setFirst(const char* className, const char* attribute) {
    const char* const classToUse = className != nullptr ? className : IAS_CLASS_IRCOMM;
    const char* const attributeToUse = attribute != nullptr ? attribute : IAS_ATTR_LSAP_SEL;
    // Both names go into one query; the server keeps copies, so the caller's may go.
    if (std::strlen(classToUse) + std::strlen(attributeToUse) > IAS_NAMES_MAX) {
        return IR_ERR_ARG;
    }
    const std::lock_guard<std::mutex> hold(lock);
    iasCopyName(services[0].className, classToUse);
    iasCopyName(services[0].attribute, attributeToUse);
    namesExact = className != nullptr || attribute != nullptr;
    return IR_OK;
}

int IasServer::add(const char* className, const char* attribute, bool raw) {
    const char* const classToUse = className != nullptr ? className : IAS_CLASS_IRCOMM;
    const char* const attributeToUse = attribute != nullptr ? attribute : IAS_ATTR_LSAP_SEL;
    if (std::strlen(classToUse) + std::strlen(attributeToUse) > IAS_NAMES_MAX) {
        return -1;
    }
    const std::lock_guard<std::mutex> hold(lock);
    for (uint8_t lane = 1; lane < MUX_CHANNELS; ++lane) {
        const Service& service = services[lane];
        if (offer[lane].load() && std::strcmp(service.className.data(), classToUse) == 0 &&
            std::strcmp(service.attribute.data(), attributeToUse) == 0) {
            // One selector cannot carry the same names in two modes.
            return service.raw == raw ? lane : -1;
        }
    }
    for (uint8_t lane = 1; lane < MUX_CHANNELS; ++lane) {
        if (!offer[lane].load()) {
            iasCopyName(services[lane].className, classToUse);
            iasCopyName(services[lane].attribute, attributeToUse);
            services[lane].raw = raw;
            offer[lane].store(true);
            return lane;
        }
    }
    return -1;
}

void IasServer::clear() {
    const std::lock_guard<std::mutex> hold(lock);
    for (auto& flag : offer) {
        flag.store(false);
    }
}

void IasServer::describe(uint8_t lane, ChannelInfo& info) {
    const std::lock_guard<std::mutex> hold(lock);
    if (lane != 0) {
        info.raw = services.at(lane).raw;
    }
    info.className = services.at(lane).className;
    info.attribute = services.at(lane).attribute;
}

uint8_t IasServer::laneFor(const uint8_t* className, uint8_t classLength, const uint8_t* attribute,
                           uint8_t attributeLength, bool& classKnown) const {
    for (uint8_t lane = 1; lane < MUX_CHANNELS; ++lane) {
        const Service& service = services.at(lane);
        if (!offer.at(lane).load() ||
            !iasNameIs(service.className.data(), className, classLength)) {
            continue;
        }
        classKnown = true;
        if (iasNameIs(service.attribute.data(), attribute, attributeLength)) {
            return lane;
        }
    }
    return 0;
}

bool IasServer::firstNameMatches(const char* reference, const uint8_t* name, uint8_t count) const {
    if (namesExact && std::strlen(reference) != count) {
        return false;
    }
    return iasNameMatches(reference, name, count);
}

IasReply IasServer::answer(const uint8_t* frame, uint16_t length, bool full) {
    IasReply reply;
    if (length < 5 || frame[4] != IAS_GET_VALUE_BY_CLASS) {
        return reply;
    }
    const auto attributeAt = static_cast<uint16_t>(length >= 6 ? 6 + frame[5] + 1 : length + 1);
    if (full && attributeAt <= length && attributeAt + frame[attributeAt - 1] <= length &&
        iasNameIs(IAS_CLASS_DEVICE, &frame[6], frame[5]) &&
        iasNameIs(IAS_ATTR_DEVICE_NAME, &frame[attributeAt], frame[attributeAt - 1])) {
        // Every device answers this; only the full profile does here.
        reply.kind = IAS_REPLY_DEVICE_NAME;
        return reply;
    }
    reply.kind = IAS_REPLY_RESULT;
    reply.result = IAS_RESULT_NO_CLASS;
    selectorResult = IAS_RESULT_SELECTOR;
    // A name whose length runs past the frame is not a name of ours: "no such class".
    const uint16_t classEnd = length >= 6 ? static_cast<uint16_t>(6 + frame[5]) : 0xFFFF;
    bool classKnown = false;
    const uint8_t lane =
        full && classEnd < length && classEnd + 1 + frame[classEnd] <= length
            ? laneFor(&frame[6], frame[5], &frame[classEnd + 1], frame[classEnd], classKnown)
            : 0;
    if (lane != 0) {
        selectorResult.back() = static_cast<uint8_t>(base + lane);
        reply.result = selectorResult;
    } else if (classEnd < length &&
               firstNameMatches(services[0].className.data(), &frame[6], frame[5])) {
        const uint8_t attributeLength = frame[classEnd];
        const uint8_t* attribute = &frame[classEnd + 1];
        if (classEnd + 1 + attributeLength > length) {
            // attribute runs past the frame: answered as no such class
        } else if (iasNameMatches(IAS_ATTR_PARAMETERS, attribute, attributeLength)) {
            reply.result = IAS_RESULT_PARAMETERS;
        } else if (firstNameMatches(services[0].attribute.data(), attribute, attributeLength)) {
            selectorResult.back() = base;
            reply.result = selectorResult;
        } else {
            reply.result = IAS_RESULT_NO_ATTRIBUTE;
        }
    } else if (classKnown) {
        reply.result = IAS_RESULT_NO_ATTRIBUTE;
    }
    return reply;
}
