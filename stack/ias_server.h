// IAS for both ends of a link: what a lookup's answer names (the computer's side) and the answer
// to a GetValueByClass query from the services a device offers, each on a selector of its own.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>

#include "ir_err.h"
#include "ir_options.h"
#include "lm_channel.h"

enum IasLookupResult : uint8_t {
    IAS_LOOKUP_UNREADABLE = 0, // no return code, or no integer first
    IAS_LOOKUP_NO_SERVICE = 1, // the peer has no such class or attribute
    IAS_LOOKUP_FOUND = 2,
};
struct IasLookup {
    IasLookupResult result = IAS_LOOKUP_UNREADABLE;
    uint16_t value = 0; // the selector, when found
};
// Reads the answer to a selector lookup in the I-frame `frame` of `length` bytes.
IasLookup iasReadLookup(const uint8_t* frame, uint16_t length);

enum IasReplyKind : uint8_t {
    IAS_REPLY_NONE = 0,        // not a query we answer
    IAS_REPLY_RESULT = 1,      // the result below
    IAS_REPLY_DEVICE_NAME = 2, // class Device, attribute DeviceName: the station's nickname
};
struct IasReply {
    IasReplyKind kind = IAS_REPLY_NONE;
    std::span<const uint8_t> result; // from the return code on
};

class IasServer {
  public:
    // `ownBase`: the first service's selector; lane n's is ownBase + n.
    explicit IasServer(uint8_t ownBase) : base(ownBase) {}

    // The first service's names (nullptr: the built-in ones), with the task stopped; IR_ERR_ARG,
    // changing nothing, when both together are longer than a query carries. Names a program gave
    // must match whole; the built-in ones keep their lenient match.
    IrErr setFirst(const char* className, const char* attribute);
    // From any thread: another service on a lane of its own, the lane already offered under the
    // same names in the same mode, or -1 when they are offered in the other mode, the names do
    // not fit or every lane has one.
    int add(const char* className, const char* attribute, bool raw);
    // The services beyond the first withdrawn.
    void clear();
    bool offered(uint8_t lane) const { return lane < MUX_CHANNELS && offer.at(lane).load(); }
    // The mode of the service offered on a lane beyond the first.
    bool raw(uint8_t lane) const { return services.at(lane).raw; }
    // The names of the service on `lane` into `info`, and the mode of one beyond the first.
    void describe(uint8_t lane, ChannelInfo& info);

    // The answer to the query in the I-frame `frame` of `length` bytes; `full`: the full profile,
    // which also answers the device's name and the services beyond the first. The result stays
    // valid until the next call.
    IasReply answer(const uint8_t* frame, uint16_t length, bool full);

  private:
    using Name = std::array<char, IAS_NAMES_MAX + 1>;
    struct Service {
        Name className{};
        Name attribute{};
        bool raw = false;
    };
    // The lane beyond the first whose names match; 0 for none. `classKnown`: one has the class.
    uint8_t laneFor(const uint8_t* className, uint8_t classLength, const uint8_t* attribute,
                    uint8_t attributeLength, bool& classKnown) const;
    bool firstNameMatches(const char* reference, const uint8_t* name, uint8_t count) const;

    const uint8_t base;
    // Lane 0's entry is the first service; the others' names are written before `offer` rises.
    std::array<Service, MUX_CHANNELS> services{};
    std::array<std::atomic<bool>, MUX_CHANNELS> offer{};
    bool namesExact = false;
    std::mutex lock;
    std::array<uint8_t, 10> selectorResult{};
};
