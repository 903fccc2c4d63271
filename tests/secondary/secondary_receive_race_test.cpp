// The program's reader takes bytes from the receive queue on its own thread while the engine
// opens channels (which empties the queue) and fills it; run under TSan it shows any race.
#include <array>
#include <atomic>
#include <thread>

#include "secondary_fixture.h"
#include "secondary_station.h"

using namespace secondary;

namespace {

class SecondaryReceiveRace : public SecondaryTest {};

TEST_F(SecondaryReceiveRace, ReaderTakesBytesWhileChannelsOpenAndClose) {
    // Each round's bytes carry its number. A channel's opening drops what the last one left, so a
    // reader that saw round r begun can never take a byte older than round r - 1.
    constexpr int ROUNDS = 200;
    std::atomic<int> round{0};
    std::atomic<int> taken{0};
    std::atomic<int> stale{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::array<uint8_t, FIXED_RECEIVE_SIZE - 1> buffer{};
        while (!done.load()) {
            const int seen = round.load();
            const size_t count = receive(buffer);
            for (size_t i = 0; i < count; ++i) {
                stale += buffer[i] + 1 < seen ? 1 : 0;
            }
            taken += static_cast<int>(count);
        }
    });
    for (int r = 1; r <= ROUNDS; ++r) {
        round = r;
        openChannel(); // a discovery drops the channel; its first IrCOMM frame opens a new one
        const Bytes tagged(20, static_cast<uint8_t>(r));
        deliver(iCommand(2, 2, ircomm({}, tagged)));
        deliver(iCommand(3, 2, ircomm({}, tagged)));
    }
    done = true;
    reader.join();
    EXPECT_EQ(stale.load(), 0);
    EXPECT_LE(taken.load(), ROUNDS * 40);
}

// A service that is not IrCOMM: TinyTP's connect opens the channel, data travels without the
// IrCOMM parameter length, and the IAS answers the names it was given, not the defaults.
TEST_F(SecondaryReceiveRace, RawServiceUnderItsOwnName) {
    ASSERT_EQ(station.setService("Meter", "Reading:LsapSel", true), IR_OK);
    deliver(xidCommand(0));
    deliver(snrm());
    deliver(rrCommand(0));
    deliver(iCommand(0, 0, {0x80, 0x02, 0x01, 0x00}));
    const Frames ias = deliver(iCommand(1, 1, iasQuery("Meter", "Reading:LsapSel")));
    ASSERT_EQ(ias.size(), 1U);
    EXPECT_EQ(ias[0].back(), SECONDARY_OWN_LSAP);
    // Given names match whole: a leading part is another class.
    const Frames other = deliver(iCommand(2, 2, iasQuery("Mete", "Reading:LsapSel")));
    ASSERT_EQ(other.size(), 1U);
    EXPECT_EQ(other[0][5], 1); // no such class
    deliver(iCommand(3, 3, {0x84, 0x02, 0x01, 0x00, 0x01}));
    EXPECT_EQ(station.connection().phase(), LINK_OPEN);
    queueText("ok");
    const Frames reply = deliver(iCommand(4, 4, {0x04, 0x02, 0x01, 'h', 'i'}));
    std::array<uint8_t, FIXED_RECEIVE_SIZE - 1> buffer{};
    ASSERT_EQ(receive(buffer), 2U);
    EXPECT_EQ(buffer[0], 'h');
    ASSERT_EQ(reply.size(), 1U);
    EXPECT_EQ(reply[0], iResponse(5, 4, {0x02, 0x04, 0x01, 'o', 'k'}));
}

} // namespace
