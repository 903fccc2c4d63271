#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "ias_server.h"
#include "pdu.h"

namespace {

constexpr uint8_t BASE = 4;
constexpr uint8_t NO_CLASS = 1;
constexpr uint8_t NO_ATTRIBUTE = 2;

// A device's IAS asked by a computer, each answer read back as the computer reads it.
struct IasRoundTrip : ::testing::Test {
    IasServer server{BASE};
    LinkRecord computer{};
    LinkRecord device{};
    std::array<uint8_t, 300> query{};
    std::array<uint8_t, 300> answer{};

    void SetUp() override {
        lapResetLink(computer, PRIMARY_DEVICE_ADDRESS);
        lapResetLink(device, SECONDARY_DEVICE_ADDRESS);
    }

    IasReply ask(const char* className, const char* attribute, bool full) {
        const uint16_t length = iasBuildQuery(query.data(), computer, 2, className, attribute);
        return server.answer(query.data(), length, full);
    }
    // The selector the computer reads from the answer, or 0x100 + the return code it gives.
    int lookUp(const char* className, const char* attribute, bool full = true) {
        const IasReply reply = ask(className, attribute, full);
        EXPECT_EQ(reply.kind, IAS_REPLY_RESULT);
        const uint16_t length =
            iasBuildResponse(answer.data(), device, 2, IAS_LSAP, reply.result.data(),
                             static_cast<uint8_t>(reply.result.size()));
        const IasLookup lookup = iasReadLookup(answer.data(), length);
        if (lookup.result == IAS_LOOKUP_FOUND) {
            return lookup.value;
        }
        EXPECT_EQ(lookup.result, IAS_LOOKUP_NO_SERVICE);
        return 0x100 + reply.result[0];
    }
};

TEST_F(IasRoundTrip, EachServiceIsFoundOnItsOwnSelectorAndOnlyWhereItIsOffered) {
    ASSERT_EQ(server.setFirst("Modem", "Port"), IR_OK);
    EXPECT_EQ(server.add("Bulk", "In", true), 1);
    EXPECT_EQ(server.add("Bulk", "In", true), 1) << "the same names: the same lane";
    EXPECT_EQ(server.add("Bulk", "In", false), -1) << "the same names in the other mode";
    EXPECT_EQ(server.add("Bulk", "Out", false), 2);
    EXPECT_EQ(server.add("Sync", "Port", false), 3);
    EXPECT_EQ(server.add("Late", "Port", false), -1) << "every lane has a service";
    EXPECT_TRUE(server.raw(1));

    EXPECT_EQ(lookUp("Modem", "Port"), BASE);
    EXPECT_EQ(lookUp("Bulk", "In"), BASE + 1);
    EXPECT_EQ(lookUp("Bulk", "Out"), BASE + 2);
    EXPECT_EQ(lookUp("Sync", "Port"), BASE + 3);
    EXPECT_EQ(lookUp("Bulk", "Side"), 0x100 + NO_ATTRIBUTE);
    EXPECT_EQ(lookUp("Modem", "Po"), 0x100 + NO_ATTRIBUTE) << "a program's names match whole";
    EXPECT_EQ(lookUp("Mod", "Port"), 0x100 + NO_CLASS);
    EXPECT_EQ(lookUp("Bulk", "In", false), 0x100 + NO_CLASS) << "the fixed profile has one";

    EXPECT_EQ(ask("Device", "DeviceName", true).kind, IAS_REPLY_DEVICE_NAME);
    EXPECT_EQ(lookUp("Device", "DeviceName", false), 0x100 + NO_CLASS);

    // A class length that runs past the frame names nothing of ours.
    const uint16_t length = iasBuildQuery(query.data(), computer, 2, "Bulk", "In");
    query[5] = 0xF0;
    const IasReply past = server.answer(query.data(), length, true);
    ASSERT_EQ(past.kind, IAS_REPLY_RESULT);
    EXPECT_EQ(past.result[0], NO_CLASS);
    EXPECT_EQ(server.answer(query.data(), 4, true).kind, IAS_REPLY_NONE);

    server.clear();
    EXPECT_EQ(lookUp("Bulk", "In"), 0x100 + NO_CLASS);
    EXPECT_EQ(lookUp("Modem", "Port"), BASE);
    EXPECT_EQ(iasReadLookup(answer.data(), 5).result, IAS_LOOKUP_UNREADABLE);
}

} // namespace
