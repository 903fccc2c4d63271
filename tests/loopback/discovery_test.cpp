// A computer and two devices in one room, each on its own memory port, every frame heard by the
// others, stepped on one simulated clock: both devices are found with addresses of their own, each
// answers once a round in the slot it drew, and an address two stations share is replaced.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <vector>

#include "console_capture.h"
#include "discovery.h"
#include "memory_port.h"
#include "primary_station.h"
#include "secondary_station.h"

namespace {

constexpr uint32_t STEP_MS = 5;
constexpr uint8_t VARIANT_A_SPEEDS = 0x3E;
constexpr uint32_t ROUNDS_WATCHED = 4;
constexpr uint32_t ROUND_MS = (LAP_DISCOVERY_SLOTS + 1) * LAP_SLOT_MS;
constexpr uint32_t MAX_MS = 60000;
constexpr size_t TEXT_SIZE = 64;

struct Heard {
    int from; // 0 the computer, 1 and 2 the devices
    std::vector<uint8_t> frame;
};

enum class Clash : uint8_t { none, devices, computer };

struct Case {
    const char* name;
    uint32_t computerSeed;
    std::array<uint32_t, 2> deviceSeeds;
    Clash clash;
};

constexpr std::array<Case, 3> CASES{{
    {"distinct addresses", 1, {2, 3}, Clash::none},
    {"two devices alike", 4, {5, 6}, Clash::devices},
    {"a device alike the computer", 7, {8, 9}, Clash::computer},
}};

bool isCommand(const Heard& heard) {
    return heard.from == 0 && heard.frame.size() >= 13 &&
           (heard.frame[1] & 0xEF) == LAP_XID_COMMAND;
}

bool isAnswer(const Heard& heard) {
    return heard.from != 0 && heard.frame.size() >= 13 &&
           (heard.frame[1] & 0xEF) == LAP_XID_RESPONSE;
}

TEST(Discovery, DevicesInOneRoomAreFoundApartInTheirSlots) {
    ConsoleCapture console;
    std::set<uint8_t> slotsUsed;
    for (const Case& test : CASES) {
        SCOPED_TRACE(test.name);
        std::array<MemoryPort, 3> ports;
        primary::PrimaryStation computer{ports[0]};
        secondary::SecondaryStation first{ports[1]};
        secondary::SecondaryStation second{ports[2]};
        const std::array<secondary::SecondaryStation*, 2> devices{&first, &second};
        computer.setOffer(lapFullOffer(VARIANT_A_SPEEDS));
        computer.setDiscoverOnly(true);
        computer.setRandomDiscovery(true);
        computer.seedRandom(test.computerSeed);
        for (size_t index = 0; index < devices.size(); ++index) {
            devices[index]->setOffer(lapFullOffer(VARIANT_A_SPEEDS));
            devices[index]->setRandomDiscovery(true);
            devices[index]->seedRandom(test.deviceSeeds[index]);
        }
        ASSERT_EQ(first.setIdentity("Kitchen radio", 0x0404), IR_OK);
        uint32_t clashed = 0;
        if (test.clash == Clash::devices) {
            clashed = first.address();
            second.setAddress(clashed);
        } else if (test.clash == Clash::computer) {
            clashed = computer.address();
            first.setAddress(clashed);
        }
        computer.init();
        first.init();
        second.init();

        // Whatever a station sends, the other two hear.
        std::vector<Heard> heard;
        const auto carry = [&ports, &heard](int from) {
            MemoryLink& line = ports[static_cast<size_t>(from)].line;
            for (auto& frame : sirUnwrapAll(line.sent)) {
                heard.push_back({from, std::move(frame)});
            }
            for (int to = 0; to < 3; ++to) {
                if (to != from) {
                    auto& incoming = ports[static_cast<size_t>(to)].line.incoming;
                    incoming.insert(incoming.end(), line.sent.begin(), line.sent.end());
                }
            }
            line.sent.clear();
        };
        uint32_t firstRoundMs = 0;
        for (uint32_t now = 0; now < MAX_MS && computer.answeredRounds() < ROUNDS_WATCHED;
             now += STEP_MS) {
            for (MemoryPort& port : ports) {
                port.clockMs = now;
            }
            computer.step();
            carry(0);
            first.step();
            carry(1);
            second.step();
            carry(2);
            if (firstRoundMs == 0 && computer.answeredRounds() > 0) {
                firstRoundMs = now;
            }
        }
        ASSERT_EQ(computer.answeredRounds(), ROUNDS_WATCHED);

        // A clash costs one round more, which asks every device for a new address.
        const bool askedNew = std::any_of(heard.begin(), heard.end(), [](const Heard& h) {
            return isCommand(h) && (h.frame[11] & LAP_XID_NEW_ADDRESS) != 0;
        });
        EXPECT_EQ(askedNew, test.clash != Clash::none);
        const uint32_t rounds = test.clash != Clash::none ? 2 : 1;
        EXPECT_LE(firstRoundMs, rounds * ROUND_MS + STEP_MS);

        // Each answer comes in the slot of the command before it, once a round per device.
        uint8_t slot = LAP_XID_FINAL_SLOT;
        std::array<int, 3> answersThisRound{};
        for (const Heard& h : heard) {
            if (isCommand(h)) {
                EXPECT_EQ(lapXidSlotCount(h.frame[11]), LAP_DISCOVERY_SLOTS);
                slot = h.frame[12];
                if (slot == LAP_XID_FINAL_SLOT) {
                    answersThisRound.fill(0);
                }
            } else if (isAnswer(h)) {
                EXPECT_EQ(h.frame[12], slot);
                EXPECT_LE(++answersThisRound.at(static_cast<size_t>(h.from)), 1);
                slotsUsed.insert(h.frame[12]);
            }
        }

        // Both found, apart from each other and from the computer, the clashing address gone.
        std::vector<LapDiscovered> found;
        LapDiscovered device;
        while (computer.discovered(static_cast<uint8_t>(found.size()), device)) {
            found.push_back(device);
        }
        ASSERT_EQ(found.size(), 2U);
        EXPECT_NE(found[0].address, found[1].address);
        const std::set<uint32_t> addresses{first.address(), second.address()};
        for (const LapDiscovered& each : found) {
            EXPECT_EQ(addresses.count(each.address), 1U);
            EXPECT_NE(each.address, computer.address());
            EXPECT_NE(each.address, clashed);
            std::array<char, TEXT_SIZE> nickname{};
            std::array<char, TEXT_SIZE> hints{};
            lapNickname(each, nickname);
            lapHintNames(each, hints);
            const bool named = each.address == first.address();
            EXPECT_STREQ(nickname.data(), named ? "Kitchen radio" : "");
            EXPECT_STREQ(hints.data(), named ? "Computer, IrCOMM" : "PDA/Palmtop, IrCOMM");
        }
    }
    // Drawn slots, not always the first.
    EXPECT_GT(slotsUsed.size(), 1U);
}

} // namespace
