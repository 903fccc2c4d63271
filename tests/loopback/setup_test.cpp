// A computer and a device set up a link through stray light that strikes at chosen moments: a stray
// byte inside the first SNRM, the first UA, the computer's first poll at the new speed and the
// first IAS answer and the TinyTP connect (which the device answers as a damaged poll). Each end
// hears the other only at its own speed, so a UA lost leaves the device at the new speed while the
// computer repeats its SNRM at 9600 bit/s. The channel must still open on both ends, soon, on one
// simulated clock.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "console_capture.h"
#include "memory_port.h"
#include "primary_station.h"
#include "secondary_station.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t STEP_MS = 5;
constexpr uint32_t MAX_MS = 10000;
constexpr uint8_t VARIANT_A_SPEEDS = 0x3E;
constexpr uint8_t STRAY = 0x5A;

enum Target : uint8_t { SNRM, UA, FIRST_POLL, IAS_ANSWER, TTP_CONNECT, TARGETS };

// Which of the spoilt frames this one is, if it is one.
int targetOf(const Bytes& content, bool fromComputer) {
    if (fromComputer && content.size() == 2 && (content[1] & 0x0F) == LAP_RR) {
        return FIRST_POLL;
    }
    if (content.size() < 4) {
        return -1;
    }
    const uint8_t control = content[1] & 0xEF;
    if (fromComputer && control == LAP_SNRM) {
        return SNRM;
    }
    if (!fromComputer && control == LAP_UA && content.size() > 2) {
        return UA;
    }
    // An LM connect to a selector other than IAS's: the TinyTP connect.
    if (fromComputer && (content[1] & 1) == 0 && content.size() >= 5 && (content[2] & 0x80) != 0 &&
        (content[2] & 0x7F) != 0 && content[4] == 0x01) {
        return TTP_CONNECT;
    }
    // An I-frame of data (not LM control) from the IAS server's selector 0.
    const bool dataFromIas = (content[1] & 1) == 0 && (content[2] & 0x80) == 0 && content[3] == 0;
    return !fromComputer && dataFromIas ? IAS_ANSWER : -1;
}

// One direction of the air: each byte heard only at the speed it was sent at, and a stray byte in
// the middle of the first frame of each target kind.
struct Air {
    MemoryPort& from;
    MemoryPort& to;
    bool fromComputer;
    std::array<int, TARGETS>& spoilt;
    bool pollLostWhole; // the first poll: taken whole by the light, or spoilt inside
    size_t carried = 0;
    Bytes frame;

    static uint32_t speedAt(const MemoryPort& port, size_t byteIndex) {
        uint32_t speed = 9600;
        for (size_t i = 0; i < port.speeds.size() && port.sentAtSwitch[i] <= byteIndex; ++i) {
            speed = port.speeds[i];
        }
        return speed;
    }

    void carry() {
        const uint32_t heardAt = to.speeds.empty() ? 9600 : to.speeds.back();
        for (; carried < from.line.sent.size(); ++carried) {
            const uint8_t byte = from.line.sent[carried];
            if (speedAt(from, carried) != heardAt) {
                frame.clear();
                continue; // garbled at the other speed: nothing of it arrives
            }
            frame.push_back(byte);
            if (byte == SIR_EOF) {
                deliver();
            }
        }
    }

    void deliver() {
        const std::vector<Bytes> contents = sirUnwrapAll(frame);
        const int target = contents.size() == 1 ? targetOf(contents[0], fromComputer) : -1;
        if (target >= 0 && spoilt[static_cast<size_t>(target)] == 0) {
            ++spoilt[static_cast<size_t>(target)];
            if (target == FIRST_POLL && pollLostWhole) {
                frame.clear(); // no frame arrives, no answer: the poll is repeated
                return;
            }
            frame.insert(frame.begin() + static_cast<long>(frame.size() / 2), STRAY);
        }
        to.line.incoming.insert(to.line.incoming.end(), frame.begin(), frame.end());
        frame.clear();
    }
};

// The lengths of the frames with this U-frame control that a port sent, in order.
std::vector<size_t> lengthsOf(const MemoryPort& port, uint8_t control) {
    std::vector<size_t> lengths;
    for (const Bytes& content : sirUnwrapAll(port.line.sent)) {
        if (content.size() > 2 && (content[1] & 0xEF) == control) {
            lengths.push_back(content.size());
        }
    }
    return lengths;
}

// The simulated time at which the channel opened on both ends; 0 when it never did.
uint32_t openChannel(bool pollLostWhole, std::array<int, TARGETS>& spoilt, MemoryPort& computerPort,
                     MemoryPort& devicePort, IrErr& computerError) {
    primary::PrimaryStation computer{computerPort};
    secondary::SecondaryStation device{devicePort};
    computer.setOffer(lapFullOffer(VARIANT_A_SPEEDS));
    device.setOffer(lapFullOffer(VARIANT_A_SPEEDS));
    computer.setRandomDiscovery(true);
    device.setRandomDiscovery(true);
    computer.seedRandom(11);
    device.seedRandom(12);
    computer.init();
    device.init();

    Air toDevice{computerPort, devicePort, true, spoilt, pollLostWhole, 0, {}};
    Air toComputer{devicePort, computerPort, false, spoilt, pollLostWhole, 0, {}};
    uint32_t openAtMs = 0;
    for (uint32_t now = STEP_MS; now <= MAX_MS && openAtMs == 0; now += STEP_MS) {
        computerPort.clockMs = now;
        devicePort.clockMs = now;
        computer.step();
        toDevice.carry();
        device.step();
        toComputer.carry();
        if (computer.state() == primary::PRIMARY_CONNECTED &&
            device.state() == secondary::SEC_IRCOMM_OPEN) {
            openAtMs = now;
        }
    }
    computerError = computer.lastError();
    return openAtMs;
}

TEST(SetUp, TheChannelOpensThoughEachStepOfTheSetUpIsSpoiltOnce) {
    ConsoleCapture console;
    for (const bool pollLostWhole : {false, true}) {
        SCOPED_TRACE(pollLostWhole ? "first poll lost whole" : "first poll spoilt inside");
        std::array<int, TARGETS> spoilt{};
        MemoryPort computerPort;
        MemoryPort devicePort;
        IrErr computerError = IR_OK;
        const uint32_t openAtMs =
            openChannel(pollLostWhole, spoilt, computerPort, devicePort, computerError);
        ASSERT_NE(openAtMs, 0U) << "the channel never opened";
        EXPECT_EQ(spoilt, (std::array<int, TARGETS>{1, 1, 1, 1, 1}));
        // The device went back to 9600 bit/s once its lost UA had left it alone at the new speed.
        EXPECT_EQ(devicePort.speeds, (std::vector<uint32_t>{115200, 9600, 115200}));
        EXPECT_EQ(computerPort.speeds, std::vector<uint32_t>{115200});
        // Each loss costs at most one repeat: of the SNRM, lost; of the SNRM again, which the
        // device hears once it has given its lost UA up; of the IAS query; of the TinyTP connect,
        // which the device's answer to it as a damaged poll shows missing. A spoilt poll is
        // answered as it is, one lost whole is repeated within the device's wait for it.
        const uint32_t repeatMs = PRIMARY_REPEAT_MS + PRIMARY_REPEAT_JITTER_MS;
        EXPECT_LE(openAtMs, 4 * repeatMs + PRIMARY_FIRST_POLL_REPEAT_MS + 300);
        EXPECT_EQ(computerError, IR_OK);
        // The SNRM's repeats and the UAs that answer them leave out the two entries (six bytes)
        // that read as absent, as the line has spoilt one already.
        const std::vector<size_t> snrms = lengthsOf(computerPort, LAP_SNRM);
        ASSERT_EQ(snrms.size(), 3U);
        EXPECT_EQ(snrms[1], snrms[0] - 6);
        EXPECT_EQ(snrms[2], snrms[1]);
        // A UA is an SNRM less its connection address byte.
        EXPECT_EQ(lengthsOf(devicePort, LAP_UA), (std::vector<size_t>{snrms[1] - 1, snrms[1] - 1}));
    }
}

} // namespace
