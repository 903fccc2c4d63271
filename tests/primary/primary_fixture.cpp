#include "primary_fixture.h"

#include "pdu.h"
#include "wire_frames.h"

using namespace primary;

namespace {

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

} // namespace

namespace expect {
const Bytes firstXid = wire::FIRST_XID;
const Bytes finalXid = {0xFF, 0x3F, 0x01, 0x34, 0x12, 0xCD, 0xAB, 0xFF,
                        0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0x00, 0x82, 0x04};
const Bytes snrm = wire::snrm();
const Bytes iasConnect = {0x03, 0x10, 0x80, 0x02, 0x01, 0x00};
const Bytes iasQuery = concat({{0x03, 0x32, 0x00, 0x02, 0x84, 21},
                               text("secondary_demo:IrCOMM"),
                               {29},
                               text("secondary_demo:TinyTP:LsapSel")});
const Bytes iasDisconnect = {0x03, 0x54, 0x80, 0x02, 0x02, 0x01};
const Bytes commConnect = {0x03, 0x56, 0x84, 0x02, 0x01, 0x00, 0x01};
const Bytes commParams = {0x03, 0x78, 0x04, 0x02, 0x01, 0x12, 0x00, 0x01, 0x04, 0x01, 0x01, 0x01,
                          0x10, 0x04, 0x00, 0x00, 0x25, 0x80, 0x11, 0x01, 0x03, 0x20, 0x01, 0x0C};
} // namespace expect

namespace peer {
const Bytes xidResponse = wire::XID_RESPONSE;

Bytes ua(bool withParams, uint8_t baudValue) {
    Bytes frame = wire::uaParams(0x02, baudValue);
    if (!withParams) {
        frame.resize(10); // header and the two addresses
    }
    return frame;
}

Bytes rr(uint8_t nr) {
    return {0x02, static_cast<uint8_t>(nr * 32 + 0x11)};
}

const Bytes iasConfirm = {0x02, 0x30, 0x82, 0x00, 0x81, 0x00};
const Bytes iasAnswer = {0x02, 0x52, 0x02, 0x00, 0x84, 0x00, 0x00, 0x01,
                         0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x04};
const Bytes commConfirm = {0x02, 0x94, 0x82, 0x04, 0x81, 0x00, 0x01};
const Bytes commOpen = {0x02, 0xB6, 0x02, 0x04, 0x01, 0x03, 0x20, 0x01, 0x0C};

Bytes commData(uint8_t nr, uint8_t ns, const Bytes& controlParams, const std::string& data) {
    return concat({{0x02, static_cast<uint8_t>(nr * 32 + 0x10 + ns * 2), 0x02, 0x04, 0x01,
                    static_cast<uint8_t>(controlParams.size())},
                   controlParams,
                   text(data)});
}
} // namespace peer

void PrimaryEngineTest::SetUp() {
    station.init();
}

void PrimaryEngineTest::send(const std::string& text) {
    station.connection().send(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

Bytes PrimaryEngineTest::received() {
    Bytes out(FIXED_RECEIVE_SIZE);
    out.resize(station.connection().receive(out.data(), FIXED_RECEIVE_SIZE - 1));
    return out;
}

std::vector<Bytes> PrimaryEngineTest::step() {
    station.step();
    return port.line.takeSentFrames();
}

std::vector<Bytes> PrimaryEngineTest::steps(int count) {
    std::vector<Bytes> frames;
    for (int i = 0; i < count; ++i) {
        for (Bytes& frame : step()) {
            frames.push_back(std::move(frame));
        }
    }
    return frames;
}

std::vector<Bytes> PrimaryEngineTest::answer(const std::vector<Bytes>& frames) {
    for (const Bytes& frame : frames) {
        port.line.feedFrame(frame);
    }
    EXPECT_TRUE(step().empty());
    return step();
}

void PrimaryEngineTest::connectTo(uint8_t state) {
    const std::vector<Bytes> answers = {peer::xidResponse, peer::ua(true, 0x02), peer::rr(0),
                                        peer::iasConfirm,  peer::iasAnswer,      peer::rr(3),
                                        peer::commConfirm, peer::commOpen};
    steps(20);
    for (uint8_t s = 1; s < state; ++s) {
        answer(answers[s - 1]);
    }
    ASSERT_EQ(station.state(), state);
    port.line.sent.clear();
    console.take();
}
