#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "console_capture.h"
#include "lap.h"
#include "lap_terms.h"
#include "memory_link.h"
#include "wire_frames.h"

namespace {

const Bytes& PRIMARY_WIRE = wire::PRIMARY_ADDRESS;
const Bytes& SECONDARY_WIRE = wire::SECONDARY_ADDRESS;

LinkRecord linkOf(uint32_t address) {
    LinkRecord link{};
    lapResetLink(link, address);
    return link;
}

Bytes built(const uint8_t* buffer, uint16_t length) {
    return Bytes(buffer, buffer + length);
}

TEST(Lap, ResetLink) {
    LinkRecord link{0, 0x08, 5, 6};
    lapResetLink(link, SECONDARY_DEVICE_ADDRESS);
    EXPECT_EQ(link.deviceAddress, SECONDARY_DEVICE_ADDRESS);
    EXPECT_EQ(link.connectionAddress, 0x02);
    EXPECT_EQ(link.vr, 0);
    EXPECT_EQ(link.vs, 0);
}

TEST(Lap, BaudFromCode) {
    EXPECT_EQ(lapBaudFromCode(0x02), 9600U);
    EXPECT_EQ(lapBaudFromCode(0x06), 19200U);
    EXPECT_EQ(lapBaudFromCode(0x22), 115200U);
    EXPECT_EQ(lapBaudFromCode(0x3E), 115200U);
    EXPECT_EQ(lapBaudFromCode(0x1A), 9600U);
    EXPECT_EQ(lapBaudFromCode(0x00), 9600U);
}

TEST(Lap, ParamsList) {
    uint8_t buffer[LAP_PARAMS_LENGTH]{};
    EXPECT_EQ(lapBuildParams(buffer), LAP_PARAMS_LENGTH);
    EXPECT_EQ(built(buffer, LAP_PARAMS_LENGTH), wire::PARAMS);
}

TEST(Lap, FindParamWithinList) {
    const Bytes list = wire::PARAMS;
    EXPECT_EQ(lapFindParam(list.data(), 21, 0x01), 0x02);
    EXPECT_EQ(lapFindParam(list.data(), 21, 0x86), 0x80);
    EXPECT_EQ(lapFindParam(list.data(), 21, 0x08), 0x01);
    EXPECT_EQ(lapFindParam(list.data(), 21, 0x07), 0);
}

TEST(Lap, FindParamStopsAtTheEndOfTheList) {
    // Exact-size copies: a read past the end trips the sanitizer.
    const Bytes full = wire::PARAMS;
    const Bytes cut(full.begin(), full.begin() + 20);
    EXPECT_EQ(lapFindParam(cut.data(), 20, 0x08), 0);
    EXPECT_EQ(lapFindParam(cut.data(), 20, 0x86), 0x80);
    const Bytes oneByte = {0x01};
    EXPECT_EQ(lapFindParam(oneByte.data(), 1, 0x01), 0);
    EXPECT_EQ(lapFindParam(nullptr, 0, 0x01), 0);
    // The first entry claims more bytes than the list has: the search ends there.
    const Bytes overlong = {0x85, 0x09, 0x02, 0x01, 0x01, 0x02};
    EXPECT_EQ(lapFindParam(overlong.data(), 6, 0x01), 0);
    EXPECT_EQ(lapFindParam(overlong.data(), 6, 0x85), 0);
    // An entry of length 0 yields the byte behind it while that byte is inside the list.
    const Bytes empty = {0x84, 0x00, 0x01, 0x01, 0x02};
    EXPECT_EQ(lapFindParam(empty.data(), 5, 0x84), 0x01);
    EXPECT_EQ(lapFindParam(empty.data(), 5, 0x01), 0x02) << "the search steps over it by 2 bytes";
    EXPECT_EQ(lapFindParam(empty.data(), 2, 0x84), 0);
}

TEST(Lap, FindParamLooksAtSevenEntriesAndFirstValueByte) {
    const Bytes longer = {0x85, 0x02, 0x07, 0x08, 0x01, 0x01, 0x01, 0x01, 0x01,
                          0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
                          0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x09, 0x01, 0x05};
    EXPECT_EQ(lapFindParam(longer.data(), static_cast<uint16_t>(longer.size()), 0x85), 0x07);
    EXPECT_EQ(lapFindParam(longer.data(), static_cast<uint16_t>(longer.size()), 0x09), 0);
}

TEST(Lap, AddressMatches) {
    const LinkRecord link = linkOf(PRIMARY_DEVICE_ADDRESS);
    const uint8_t broadcast[] = {0xFF, 0xFF, 0xFF, 0xFF};
    const uint8_t almost[] = {0xFF, 0xFF, 0xFF, 0xFE};
    EXPECT_EQ(lapAddressMatches(link, PRIMARY_WIRE.data()), 1);
    EXPECT_EQ(lapAddressMatches(link, broadcast), 1);
    EXPECT_EQ(lapAddressMatches(link, almost), 0);
    EXPECT_EQ(lapAddressMatches(link, SECONDARY_WIRE.data()), 0);
}

TEST(Lap, DiscoveryInfo) {
    uint8_t buffer[2]{};
    EXPECT_EQ(lapPutDiscoveryInfo(buffer, 4), 2);
    EXPECT_EQ(built(buffer, 2), (Bytes{0x82, 0x04}));
    EXPECT_EQ(lapPutDiscoveryInfo(buffer, 0), 1);
    EXPECT_EQ(buffer[0], 0x02);
}

TEST(Lap, XidCommands) {
    const LinkRecord link = linkOf(PRIMARY_DEVICE_ADDRESS);
    uint8_t buffer[32]{};
    EXPECT_EQ(built(buffer, lapBuildXidCommand(buffer, link, nullptr, 0x00, nullptr, 4)),
              wire::FIRST_XID);
    EXPECT_EQ(
        built(buffer, lapBuildXidCommand(buffer, link, nullptr, 0xFF, lapPutDiscoveryInfo, 4)),
        (Bytes{0xFF, 0x3F, 0x01, 0x34, 0x12, 0xCD, 0xAB, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0x00,
               0x82, 0x04}));
    EXPECT_EQ(
        built(buffer, lapBuildXidCommand(buffer, link, SECONDARY_WIRE.data(), 0x00, nullptr, 0)),
        (Bytes{0xFF, 0x3F, 0x01, 0x34, 0x12, 0xCD, 0xAB, 0xAB, 0xCD, 0x12, 0x34, 0x00, 0x00,
               0x00}));
}

TEST(Lap, XidResponse) {
    const LinkRecord link = linkOf(SECONDARY_DEVICE_ADDRESS);
    uint8_t buffer[32]{};
    EXPECT_EQ(built(buffer, lapBuildXidResponse(buffer, link, PRIMARY_WIRE.data(), 0x00, 0x00,
                                                lapPutDiscoveryInfo, 4)),
              wire::XID_RESPONSE);
    EXPECT_EQ(buffer[11], 0x00);
    lapBuildXidResponse(buffer, link, PRIMARY_WIRE.data(), 0x03, 0x00, nullptr, 0);
    EXPECT_EQ(buffer[11], 0x03);
}

TEST(Lap, SnrmAndUa) {
    const LinkRecord primary = linkOf(PRIMARY_DEVICE_ADDRESS);
    const LinkRecord secondary = linkOf(SECONDARY_DEVICE_ADDRESS);
    uint8_t buffer[32]{};
    EXPECT_EQ(built(buffer, lapBuildSnrm(buffer, primary, SECONDARY_WIRE.data())), wire::snrm());
    EXPECT_EQ(wire::snrm().size(), 32U);
    EXPECT_EQ(built(buffer, lapBuildUaParams(buffer, secondary, PRIMARY_WIRE.data())),
              wire::uaParams());
    EXPECT_EQ(wire::uaParams().size(), 31U);

    EXPECT_EQ(built(buffer, lapBuildUa(buffer, secondary)), (Bytes{0x02, 0x73}));
}

TEST(Lap, IHeadersAndRr) {
    LinkRecord link = linkOf(PRIMARY_DEVICE_ADDRESS);
    link.vr = 3;
    link.vs = 5;
    uint8_t buffer[2]{};
    lapPutIHeaderCommand(buffer, link);
    EXPECT_EQ(built(buffer, 2), (Bytes{0x03, 0x7A}));
    lapPutIHeaderResponse(buffer, link);
    EXPECT_EQ(built(buffer, 2), (Bytes{0x02, 0x7A}));

    ConsoleCapture capture;
    MemoryLink byteLink;
    lapSendRrResponse(byteLink, link);
    lapSendRrCommand(byteLink, link);
    EXPECT_EQ(byteLink.takeSentFrames(), (std::vector<Bytes>{{0x02, 0x71}, {0x03, 0x71}}));
}

TEST(Lap, TestResponse) {
    const LinkRecord link = linkOf(PRIMARY_DEVICE_ADDRESS);
    const uint8_t source[] = {0x11, 0x22, 0x33, 0x44};
    ConsoleCapture capture;
    MemoryLink byteLink;
    lapSendTestResponse(byteLink, link, source);
    EXPECT_EQ(byteLink.takeSentFrames(),
              (std::vector<Bytes>{{0x00, 0xF3, 0x34, 0x12, 0xCD, 0xAB, 0x11, 0x22, 0x33, 0x44}}));
}

struct WaitFrame : ::testing::Test {
    MemoryLink byteLink;
    LinkRecord link = linkOf(PRIMARY_DEVICE_ADDRESS);
    RxFrame frame{};
    ConsoleCapture capture;

    uint16_t wait(uint8_t mask, uint8_t match, bool stop = false) {
        return lapWaitFrame(byteLink, link, frame, mask, match, stop);
    }
};

TEST_F(WaitFrame, ReadFailureYieldsZero) {
    EXPECT_EQ(wait(0x00, 0x00), 0);
}

TEST_F(WaitFrame, SkipsFramesThatDoNotMatch) {
    byteLink.feedFrame(wire::XID_RESPONSE);
    byteLink.feedFrame({0x02, 0x73});
    EXPECT_EQ(wait(0xEF, LAP_UA), 2);
    EXPECT_EQ(frame[1], 0x73);
    EXPECT_EQ(frame[4], 0x00); // nothing of the longer frame before lingers behind the FCS
    EXPECT_TRUE(byteLink.incoming.empty());
}

TEST_F(WaitFrame, RrOfConnectionWithStopTakesNrAndEnds) {
    byteLink.feedFrame({0x02, 0x51});
    byteLink.feedFrame({0x02, 0x71});
    EXPECT_EQ(wait(0x00, 0x00, true), 0);
    EXPECT_EQ(link.vs, 2);
    EXPECT_FALSE(byteLink.incoming.empty());
}

TEST_F(WaitFrame, RrOfConnectionWithoutStopMatchesOnControl) {
    byteLink.feedFrame({0x02, 0x51});
    EXPECT_EQ(wait(0x0F, 0x01), 2);
    EXPECT_EQ(link.vs, 2);
}

TEST_F(WaitFrame, RrOfOtherConnectionIsOnlyMatched) {
    byteLink.feedFrame({0x04, 0x51});
    EXPECT_EQ(wait(0x0F, 0x01, true), 2);
    EXPECT_EQ(link.vs, 0);
}

TEST_F(WaitFrame, IFrameInSequenceAdvancesCounters) {
    link.vr = 7;
    byteLink.feedFrame({0x02, 0x5E, 0x02, 0x04, 0x01, 0x00, 'O', 'K'}); // Nr 2, Ns 7
    EXPECT_EQ(wait(0x01, 0x00), 8);
    EXPECT_EQ(link.vr, 0);
    EXPECT_EQ(link.vs, 2);
}

TEST_F(WaitFrame, IFrameOutOfSequenceOrOfOtherConnectionChangesNothing) {
    byteLink.feedFrame({0x02, 0x52, 0x02, 0x04, 0x01}); // Ns 1 while vr is 0
    byteLink.feedFrame({0x04, 0x50, 0x02, 0x04, 0x01}); // other connection
    EXPECT_EQ(wait(0x01, 0x00), 5);
    EXPECT_EQ(wait(0x01, 0x00), 5);
    EXPECT_EQ(link.vr, 0);
    EXPECT_EQ(link.vs, 0);
}

TEST_F(WaitFrame, CommandsChangeNoCounters) {
    byteLink.feedFrame({0x03, 0x50, 0x02, 0x04, 0x01});
    byteLink.feedFrame({0x03, 0x51});
    EXPECT_EQ(wait(0x00, 0x00), 5);
    EXPECT_EQ(wait(0x00, 0x00, true), 2);
    EXPECT_EQ(link.vr, 0);
    EXPECT_EQ(link.vs, 0);
}

TEST_F(WaitFrame, AnswersTestCommandsAddressedHere) {
    const Bytes test = {0xFF, 0xF3, 0x11, 0x22, 0x33, 0x44, 0x34, 0x12, 0xCD, 0xAB, 'x'};
    byteLink.feedFrame(test);
    byteLink.feedFrame({0x02, 0x73});
    EXPECT_EQ(wait(0xEF, LAP_UA), 2);
    EXPECT_EQ(byteLink.takeSentFrames(),
              (std::vector<Bytes>{{0x00, 0xF3, 0x34, 0x12, 0xCD, 0xAB, 0x11, 0x22, 0x33, 0x44}}));
}

TEST_F(WaitFrame, AnswersBroadcastTestAndMatchesIt) {
    byteLink.feedFrame({0xFF, 0xE3, 0x11, 0x22, 0x33, 0x44, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(wait(0xEF, LAP_TEST), 10);
    EXPECT_EQ(byteLink.takeSentFrames().size(), 1U);
}

TEST_F(WaitFrame, IgnoresShortOrForeignTestCommands) {
    byteLink.feedFrame({0xFF, 0xF3, 0x11, 0x22, 0x33, 0x44, 0x34, 0x12, 0xCD});
    byteLink.feedFrame({0xFF, 0xF3, 0x11, 0x22, 0x33, 0x44, 0xAB, 0xCD, 0x12, 0x34});
    byteLink.feedFrame({0xFE, 0xF3, 0x11, 0x22, 0x33, 0x44, 0x34, 0x12, 0xCD, 0xAB});
    EXPECT_EQ(wait(0x00, 0xFF), 0);
    EXPECT_TRUE(byteLink.takeSentFrames().empty());
}

} // namespace

namespace {

// A list as a peer sends it: baud bits, data-size bits, additional-BOF bits and turnaround bits.
Bytes peerList(uint8_t baud, uint8_t dataSize, uint8_t bofs, uint8_t turnaround) {
    Bytes list = wire::PARAMS;
    list[2] = baud;
    list[8] = dataSize;
    list[14] = bofs;
    list[17] = turnaround;
    return list;
}

TEST(LapTerms, OffersFollowTheVariantAndTheCap) {
    EXPECT_EQ(lapBaudBitsUpTo(0x3E, 115200), 0x3E);
    EXPECT_EQ(lapBaudBitsUpTo(0x3E, 57600), 0x1E);
    EXPECT_EQ(lapBaudBitsUpTo(0x26, 100000), 0x06);
    EXPECT_EQ(lapBaudBitsUpTo(0x3E, 9600), LAP_BAUD_9600); // the fixed list's speed
    // Without the entries that equal the defaults (500 ms, 3 s), which the fixed list keeps.
    uint8_t list[LAP_PARAMS_LENGTH]{};
    const uint16_t length = lapBuildOfferParams(list, lapFullOffer(0x26));
    EXPECT_EQ(built(list, length), Bytes({0x01, 0x01, 0x26, 0x83, 0x01, 0x03, 0x84, 0x01, 0x01,
                                          0x85, 0x01, 0x80, 0x86, 0x01, 0x80}));
    // A brief list leaves out no BOFs and no turnaround, and reads back as the same terms; a need
    // for either still goes in.
    LapOffer brief = lapFullOffer(0x26, 7);
    brief.brief = true;
    uint8_t briefList[LAP_PARAMS_LENGTH]{};
    const uint16_t briefLength = lapBuildOfferParams(briefList, brief);
    EXPECT_EQ(built(briefList, briefLength),
              Bytes({0x01, 0x01, 0x26, 0x83, 0x01, 0x03, 0x84, 0x01, 0x7F}));
    EXPECT_TRUE(lapListIsBrief(briefList, briefLength));
    EXPECT_FALSE(lapListIsBrief(list, length));
    const LapOffer own = lapFullOffer(0x3E, 7);
    const LapTerms fromBrief = lapTakeTerms(own, 0x26, briefList, briefLength);
    brief.brief = false;
    const uint16_t fullLength = lapBuildOfferParams(list, brief);
    const LapTerms fromFull = lapTakeTerms(own, 0x26, list, fullLength);
    EXPECT_EQ(std::tie(fromBrief.speed, fromBrief.dataSize, fromBrief.window,
                       fromBrief.additionalBofs, fromBrief.turnaroundUs),
              std::tie(fromFull.speed, fromFull.dataSize, fromFull.window, fromFull.additionalBofs,
                       fromFull.turnaroundUs));
    brief.brief = true;
    brief.minTurnaroundBits = 0x01;
    EXPECT_EQ(lapBuildOfferParams(briefList, brief), briefLength + 3);
}

TEST(LapTerms, BothSidesAgreeOnWhatBothCanDo) {
    const LapOffer variantA = lapFullOffer(0x3E);
    // Variant B's offer against A's: 115200 is the highest both have.
    const Bytes b = peerList(0x26, 0x03, 0x80, 0x80);
    const uint8_t common = lapCommonBaudBits(variantA, b.data(), LAP_PARAMS_LENGTH);
    EXPECT_EQ(common, 0x26);
    LapTerms terms = lapTakeTerms(variantA, common, b.data(), LAP_PARAMS_LENGTH);
    EXPECT_EQ(terms.speed, 115200U);
    EXPECT_EQ(terms.dataSize, 128);
    EXPECT_EQ(terms.additionalBofs, 0);
    EXPECT_EQ(terms.turnaroundUs, 0U);

    // The demo programs' list: 9600, 64 bytes, 24 BOFs at 115200 (2 at 9600), 0 ms.
    const Bytes fixed = wire::PARAMS;
    EXPECT_EQ(lapCommonBaudBits(variantA, fixed.data(), LAP_PARAMS_LENGTH), LAP_BAUD_9600);
    terms = lapTakeTerms(variantA, 0x02, fixed.data(), LAP_PARAMS_LENGTH);
    EXPECT_EQ(terms.speed, 9600U);
    EXPECT_EQ(terms.dataSize, 64);
    EXPECT_EQ(terms.additionalBofs, 2);

    // A device that wants 48 BOFs and 10 ms, and takes 512 bytes: we still send at most 128.
    const Bytes device = peerList(0x3F, 0x0F, 0x01, 0x01);
    terms = lapTakeTerms(variantA, 0x3F, device.data(), LAP_PARAMS_LENGTH);
    EXPECT_EQ(terms.speed, 115200U);
    EXPECT_EQ(terms.dataSize, 128);
    EXPECT_EQ(terms.additionalBofs, 48);
    EXPECT_EQ(terms.turnaroundUs, 10000U);
    // A UA naming a speed we never offered does not get it; a list cut short keeps the defaults.
    EXPECT_EQ(lapTakeTerms(lapFullOffer(0x06), 0x20, device.data(), 3).speed, 9600U);
    EXPECT_EQ(lapTakeTerms(variantA, 0x02, device.data(), 3).dataSize, 64);
}

TEST(LapTerms, ThePeersBofsGoBeforeEveryFrame) {
    MemoryLink link;
    link.setPeerNeeds(SIR_XBOF_COUNT + 2, 0);
    const uint8_t rr[2] = {0x03, 0x11};
    sirSendFrame(link, rr, 2);
    EXPECT_EQ(std::count(link.sent.begin(), link.sent.end(), SIR_XBOF), SIR_XBOF_COUNT + 2);
    EXPECT_EQ(sirUnwrapAll(link.sent), std::vector<Bytes>{Bytes(rr, rr + 2)});
}

} // namespace
