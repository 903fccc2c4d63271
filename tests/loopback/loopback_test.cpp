// Both station engines joined by a pair of memory links and stepped in turn: a connection and a
// data exchange both ways, with exactly one frame lost or damaged at every position in either
// direction. Every byte must arrive once and in order, and neither station may fall back. The
// fixed profile takes one step each per simulated 50 ms; the full profile, frame-paced, one each
// per simulated 5 ms, and must agree on 115200 bit/s and frames longer than the fixed ones; with
// windows of 7 frames, a frame lost inside a window is sent again with all after it. Last, the full
// profile carries a few kilobytes each way through random bit errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "console_capture.h"
#include "memory_port.h"
#include "primary_station.h"
#include "secondary_station.h"

namespace {

using Bytes = std::vector<uint8_t>;

// More than either receive queue holds, so slow readers make the stations refuse data.
const std::string FROM_PRIMARY =
    "AT\r" + std::string("AT+CPBW=,\"07700900461\",129,\"Targetphone\"\r") + std::string(30, 'p');
const std::string FROM_SECONDARY = "\r\nOK\r\n" +
                                   std::string("+CPBR: 1,\"07700900461\",129,\"Target\"\r\n") +
                                   std::string(50, 's');
// More than either full-profile queue holds, in frames of up to 124 bytes.
const std::string FULL_FROM_PRIMARY = FROM_PRIMARY + std::string(400, 'P') + "\r";
const std::string FULL_FROM_SECONDARY = FROM_SECONDARY + std::string(350, 'S') + "\r\n";
constexpr uint32_t FULL_ROUND_MS = 5;
constexpr uint8_t VARIANT_A_SPEEDS = 0x3E;
// Steps between two reads of a receive queue.
constexpr int PRIMARY_READS_EVERY = 40;
constexpr int SECONDARY_READS_EVERY = 24;
constexpr int SETTLE_STEPS = 150; // after everything is acknowledged, nothing more may arrive
constexpr int MAX_STEPS = 3000;
// Bit errors on every byte both ways: a full frame is hit about one time in three, often enough
// that a station that answered nothing but intact frames would give the link up.
constexpr double NOISE_BER = 3e-4;
constexpr size_t NOISE_TEXT_BYTES = 3000;
constexpr int NOISE_MAX_STEPS = 40000;

enum class Fault : uint8_t { lose, damage, noise };
// The fixed profile, the full one with a frame a turn, the full one with windows of 7.
enum class Mode : uint8_t { fixed, full, window };
// Enough for several windows of 7 frames of 128 bytes each way.
const std::string WINDOW_FROM_PRIMARY = std::string(2600, 'w') + "\r";
const std::string WINDOW_FROM_SECONDARY = std::string(2400, 'W') + "\r\n";

// One direction: moves whole frames from a station's sent bytes to the other's input, and spoils
// the frame at `target` (counted from 0) on the way.
struct Wire {
    Wire(MemoryLink& source, MemoryLink& sink, int spoilt, Fault how)
        : from(&source), to(&sink), target(spoilt), fault(how) {}

    MemoryLink* from;
    MemoryLink* to;
    int target;
    Fault fault;
    int frames = 0;
    int mostInOneStep = 0; // a turn's frames go out in one step
    size_t longest = 0;    // content and FCS, as wrapped
    Bytes frame;
    std::mt19937 noise;
    std::bernoulli_distribution flip{NOISE_BER};

    void carry() {
        const int before = frames;
        move();
        mostInOneStep = std::max(mostInOneStep, frames - before);
    }

    void move() {
        if (fault == Fault::noise) {
            for (uint8_t& byte : from->sent) {
                for (int bit = 0; bit < 8; ++bit) {
                    byte = static_cast<uint8_t>(byte ^ (flip(noise) ? 1U << bit : 0U));
                }
            }
            to->incoming.insert(to->incoming.end(), from->sent.begin(), from->sent.end());
            from->sent.clear();
            return;
        }
        for (const uint8_t byte : from->sent) {
            frame.push_back(byte);
            if (byte != SIR_EOF) {
                continue;
            }
            const bool hit = frames++ == target;
            longest = std::max(longest, frame.size());
            if (hit && fault == Fault::damage) {
                for (size_t i = 0; i + 1 < frame.size(); ++i) {
                    if (frame[i] == SIR_BOF) {
                        frame[i + 1] ^= 0x40; // the address byte: never a SIR control byte
                        break;
                    }
                }
            }
            if (!hit || fault == Fault::damage) {
                to->incoming.insert(to->incoming.end(), frame.begin(), frame.end());
            }
            frame.clear();
        }
        from->sent.clear();
    }
};

uint32_t lastSpeed(const MemoryPort& port) {
    return port.speeds.empty() ? 0 : port.speeds.back();
}

// One application per station: sends its text as the queue makes room, reads now and then.
struct Application {
    explicit Application(const std::string& text) : out(text) {}

    const std::string& out;
    size_t sent = 0;
    std::string received;
};

struct Outcome {
    std::string failure; // empty when every check held
    int framesFromPrimary = 0;
    int framesFromSecondary = 0;
    int mostFramesInATurn = 0;
    size_t longestFromPrimary = 0;
    size_t longestFromSecondary = 0;
    uint32_t firstFrameAfterMs = 0; // from the primary's start
    int resetsBeforeIt = 0;
};

// One connection and exchange with frame `target` of the primary (or else of the secondary)
// spoilt; a target of -1 spoils nothing.
Outcome run(Mode mode, bool primarysFrame, int target, Fault fault) {
    const bool full = mode != Mode::fixed;
    const bool windows = mode == Mode::window;
    const bool noisy = fault == Fault::noise;
    static const std::string noiseFromPrimary = std::string(NOISE_TEXT_BYTES, 'n') + "\r";
    static const std::string noiseFromSecondary = std::string(NOISE_TEXT_BYTES, 'N') + "\r\n";
    const std::string& fromPrimary =
        noisy ? noiseFromPrimary
              : (windows ? WINDOW_FROM_PRIMARY : (full ? FULL_FROM_PRIMARY : FROM_PRIMARY));
    const std::string& fromSecondary =
        noisy ? noiseFromSecondary
              : (windows ? WINDOW_FROM_SECONDARY : (full ? FULL_FROM_SECONDARY : FROM_SECONDARY));
    const int maxSteps = noisy ? NOISE_MAX_STEPS : MAX_STEPS;
    // Noise is about the link, so there the applications read at every step.
    const int primaryReads = noisy || windows ? 1 : PRIMARY_READS_EVERY;
    const int secondaryReads = noisy || windows ? 1 : SECONDARY_READS_EVERY;
    const LapOffer offer = windows ? lapFullOffer(VARIANT_A_SPEEDS, 7)
                           : full  ? lapFullOffer(VARIANT_A_SPEEDS)
                                   : LAP_FIXED_OFFER;
    // Both stations in this one process, each on its own port, on one simulated clock.
    MemoryPort primaryPort;
    MemoryPort secondaryPort;
    primary::PrimaryStation primary{primaryPort};
    secondary::SecondaryStation secondary{secondaryPort};
    primary.setOffer(offer);
    secondary.setOffer(offer);
    Wire toSecondary(primaryPort.line, secondaryPort.line, primarysFrame ? target : -1, fault);
    Wire toPrimary(secondaryPort.line, primaryPort.line, primarysFrame ? -1 : target, fault);
    if (noisy) { // the target is the seed
        toSecondary.noise.seed(static_cast<uint32_t>(target));
        toPrimary.noise.seed(static_cast<uint32_t>(target) + 1000);
    }
    uint32_t simMs = 0;
    primary.init();
    secondary.init();
    LapConnection& atPrimaryLink = primary.connection();
    LapConnection& atSecondaryLink = secondary.connection();

    Application atPrimary{fromPrimary};
    Application atSecondary{fromSecondary};
    std::array<uint8_t, 64> buffer{};
    uint8_t primaryHighest = 0;
    uint8_t secondaryHighest = 0;
    int quietSince = -1;
    Outcome outcome;
    for (int now = 0; now < maxSteps && outcome.failure.empty(); ++now) {
        simMs += full ? FULL_ROUND_MS : STACK_TASK_PERIOD_MS;
        primaryPort.clockMs = simMs;
        secondaryPort.clockMs = simMs;
        primary.step();
        if (toSecondary.frames == 0 && !primaryPort.line.sent.empty()) {
            outcome.firstFrameAfterMs = simMs;
            outcome.resetsBeforeIt = primaryPort.resets;
        }
        toSecondary.carry();
        secondary.step();
        toPrimary.carry();

        const uint8_t p = primary.state();
        const uint8_t s = secondary.state();
        // A full-profile secondary whose UA was lost listens again before the link is confirmed.
        const bool uaLost = full && secondaryHighest == secondary::SEC_LINKED;
        if (p < primaryHighest || (s == secondary::SEC_IDLE && secondaryHighest != 0 && !uaLost) ||
            (secondaryHighest == secondary::SEC_IRCOMM_OPEN && s != secondaryHighest)) {
            outcome.failure = "fell back at step " + std::to_string(now) + ": primary " +
                              std::to_string(p) + ", secondary " + std::to_string(s);
        }
        primaryHighest = std::max(primaryHighest, p);
        secondaryHighest = std::max(secondaryHighest, s);

        if (p == primary::PRIMARY_CONNECTED && atPrimary.sent < atPrimary.out.size()) {
            const size_t piece =
                std::min<size_t>(atPrimaryLink.room(), atPrimary.out.size() - atPrimary.sent);
            atPrimaryLink.send(reinterpret_cast<const uint8_t*>(&atPrimary.out[atPrimary.sent]),
                               piece);
            atPrimary.sent += piece;
        }
        if (s == secondary::SEC_IRCOMM_OPEN && atSecondary.sent < atSecondary.out.size()) {
            const size_t piece =
                std::min<size_t>(atSecondaryLink.room(), atSecondary.out.size() - atSecondary.sent);
            if (!atSecondaryLink.trySend(
                    reinterpret_cast<const uint8_t*>(&atSecondary.out[atSecondary.sent]), piece)) {
                outcome.failure = "the secondary's queue refused what fits";
            }
            atSecondary.sent += piece;
        }
        if (now % primaryReads == 0) {
            const size_t count = atPrimaryLink.receive(buffer.data(), buffer.size());
            atPrimary.received.append(buffer.begin(), buffer.begin() + static_cast<long>(count));
        }
        if (now % secondaryReads == 0) {
            const size_t count = atSecondaryLink.receive(buffer.data(), buffer.size());
            atSecondary.received.append(buffer.begin(), buffer.begin() + static_cast<long>(count));
        }
        if (fromSecondary.compare(0, atPrimary.received.size(), atPrimary.received) != 0 ||
            fromPrimary.compare(0, atSecondary.received.size(), atSecondary.received) != 0) {
            outcome.failure = "wrong bytes at step " + std::to_string(now) + ": primary got \"" +
                              atPrimary.received + "\", secondary got \"" + atSecondary.received +
                              "\"";
        }

        const bool done = atPrimary.received == fromSecondary &&
                          atSecondary.received == fromPrimary && atPrimaryLink.allAcknowledged() &&
                          atSecondaryLink.allAcknowledged();
        if (done && quietSince < 0) {
            quietSince = now;
            outcome.framesFromPrimary = toSecondary.frames;
            outcome.framesFromSecondary = toPrimary.frames;
            outcome.longestFromPrimary = toSecondary.longest;
            outcome.longestFromSecondary = toPrimary.longest;
            outcome.mostFramesInATurn =
                std::max(toSecondary.mostInOneStep, toPrimary.mostInOneStep);
        } else if (!done) {
            quietSince = -1;
        }
        if (quietSince >= 0 && now - quietSince == SETTLE_STEPS) {
            const uint32_t speed = full ? 115200 : 0; // the fixed profile never switches
            const uint32_t primarySpeed = lastSpeed(primaryPort);
            const uint32_t secondarySpeed = lastSpeed(secondaryPort);
            if (primarySpeed != (full ? speed : 9600) || secondarySpeed != speed) {
                outcome.failure = "speeds " + std::to_string(primarySpeed) + " and " +
                                  std::to_string(secondarySpeed);
            }
            return outcome;
        }
    }
    if (outcome.failure.empty()) {
        outcome.failure = "not done after " + std::to_string(maxSteps) + " steps";
    }
    return outcome;
}

void everyFrameSpoilt(Mode mode) {
    ConsoleCapture console;
    const Outcome clean = run(mode, true, -1, Fault::lose);
    ASSERT_EQ(clean.failure, "");
    ASSERT_GT(clean.framesFromPrimary, 20);
    if (mode == Mode::window) {
        EXPECT_EQ(clean.mostFramesInATurn, 7);
    }
    if (mode != Mode::fixed) {
        // The start's reset serves the first discovery, which goes at the first step.
        EXPECT_EQ(clean.resetsBeforeIt, 1);
        EXPECT_LE(clean.firstFrameAfterMs, FULL_ROUND_MS);
        // Data frames of the agreed 128 bytes: 130 bytes of content and the FCS, at least, after
        // no XBOFs, as neither station asked for any.
        EXPECT_GE(clean.longestFromPrimary, 1U + 132 + 1);
        EXPECT_GE(clean.longestFromSecondary, 1U + 132 + 1);
    }
    console.take();

    for (const Fault fault : {Fault::lose, Fault::damage}) {
        const char* what = fault == Fault::lose ? "lost" : "damaged";
        for (int i = 0; i < clean.framesFromPrimary; ++i) {
            const Outcome o = run(mode, true, i, fault);
            EXPECT_EQ(o.failure, "") << "primary's frame " << i << " " << what;
            console.take();
        }
        for (int i = 0; i < clean.framesFromSecondary; ++i) {
            const Outcome o = run(mode, false, i, fault);
            EXPECT_EQ(o.failure, "") << "secondary's frame " << i << " " << what;
            console.take();
        }
    }
}

TEST(Loopback, OneFrameLostOrDamagedAnywhereCostsNoDataAndNoLink) {
    everyFrameSpoilt(Mode::fixed);
}

TEST(Loopback, FullProfileAt115200LosesNothingToAFrameLostAnywhere) {
    everyFrameSpoilt(Mode::full);
}

TEST(Loopback, WindowsOfSevenLoseNothingToAFrameLostAnywhereInThem) {
    everyFrameSpoilt(Mode::window);
}

TEST(Loopback, FullProfileCarriesBulkThroughBitErrorsWithoutADrop) {
    ConsoleCapture console;
    for (const int seed : {1, 2, 3, 4}) {
        EXPECT_EQ(run(Mode::window, true, seed, Fault::noise).failure, "") << "seed " << seed;
        console.take();
    }
}

} // namespace
