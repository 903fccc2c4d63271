#include "secondary_fixture.h"

#include "lap.h"
#include "wire_frames.h"

using namespace secondary;

Bytes xidCommand(uint8_t slot, const Bytes& destination, uint8_t flags) {
    Bytes frame(wire::FIRST_XID.begin(), wire::FIRST_XID.begin() + 7); // up to the destination
    frame.insert(frame.end(), destination.begin(), destination.end());
    frame.insert(frame.end(), {flags, slot, 0x00});
    return frame;
}

Bytes snrm(uint8_t connectionByte, uint8_t baudCode, const Bytes& destination) {
    return wire::snrm(connectionByte, baudCode, destination);
}

Bytes rrCommand(uint8_t nr, uint8_t address) {
    return {address, static_cast<uint8_t>((nr << 5) | 0x11)};
}

Bytes iCommand(uint8_t ns, uint8_t nr, const Bytes& payload, uint8_t address) {
    Bytes frame = {address, static_cast<uint8_t>((nr << 5) | 0x10 | (ns << 1))};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

Bytes iasQuery(const std::string& className, const std::string& attribute) {
    Bytes payload = {0x00, 0x02, 0x84, static_cast<uint8_t>(className.size())};
    payload.insert(payload.end(), className.begin(), className.end());
    payload.push_back(static_cast<uint8_t>(attribute.size()));
    payload.insert(payload.end(), attribute.begin(), attribute.end());
    return payload;
}

Bytes ircomm(const Bytes& params, const Bytes& data) {
    Bytes payload = {0x04, 0x02, 0x01, static_cast<uint8_t>(params.size())};
    payload.insert(payload.end(), params.begin(), params.end());
    payload.insert(payload.end(), data.begin(), data.end());
    return payload;
}

Bytes iResponse(uint8_t nr, uint8_t ns, const Bytes& payload) {
    Bytes frame = {0x02, static_cast<uint8_t>((nr << 5) | 0x10 | (ns << 1))};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

Bytes rrResponse(uint8_t nr) {
    return {0x02, static_cast<uint8_t>((nr << 5) | 0x11)};
}

Bytes text(const std::string& s) {
    return {s.begin(), s.end()};
}

std::string takeQueued(SecondaryStation& station) {
    std::string queued;
    for (;;) {
        const std::span<const uint8_t> staged = station.connection().stage(FULL_STAGING_SIZE);
        if (staged.empty()) {
            return queued;
        }
        queued.append(staged.begin(), staged.end());
    }
}

void SecondaryTest::SetUp() {
    station.init();
    steps(1); // prints state 0 and starts the count
    console.take();
}

Frames SecondaryTest::deliver(const Bytes& content) {
    link.feedFrame(content);
    return steps(2);
}

Frames SecondaryTest::steps(int count) {
    for (int i = 0; i < count; ++i) {
        station.step();
    }
    return link.takeSentFrames();
}

void SecondaryTest::openChannel() {
    deliver(xidCommand(0));
    deliver(snrm());
    deliver(rrCommand(0));
    deliver(iCommand(0, 0, {0x84, 0x02, 0x01, 0x00, 0x01})); // LM + TinyTP connect to LSAP 4
    deliver(iCommand(1, 1, ircomm({0x20, 0x01, 0x0C}, {})));
    ns = 2;
    nr = 2;
    link.takeSentFrames();
    console.take();
}

void SecondaryTest::queueText(const std::string& s) {
    station.send(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint8_t>(s.size()));
}
