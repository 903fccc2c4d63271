#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pdu.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t PRIMARY_LSAP = 2;
constexpr uint8_t SECONDARY_LSAP = 4;

const Bytes INITIAL_BLOCK = {0x00, 0x01, 0x04, 0x01, 0x01, 0x01, 0x10, 0x04, 0x00,
                             0x00, 0x25, 0x80, 0x11, 0x01, 0x03, 0x20, 0x01, 0x0C};

struct Pdu : ::testing::Test {
    LinkRecord primary{};
    LinkRecord secondary{};
    uint8_t buffer[300]{};

    void SetUp() override {
        lapResetLink(primary, PRIMARY_DEVICE_ADDRESS);
        lapResetLink(secondary, SECONDARY_DEVICE_ADDRESS);
    }

    Bytes built(uint16_t length) const { return Bytes(buffer, buffer + length); }
};

Bytes concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST_F(Pdu, ParameterBlocks) {
    EXPECT_EQ(built(commBuildInitialParams(buffer)), INITIAL_BLOCK);
    EXPECT_EQ(built(commBuildLineSettings(buffer)), (Bytes{0x20, 0x01, 0x0C}));
    EXPECT_EQ(commPutParam32(buffer, 0x10, 0x01020304), buffer + 6);
    EXPECT_EQ(built(6), (Bytes{0x10, 0x04, 0x01, 0x02, 0x03, 0x04}));
}

TEST_F(Pdu, LmConnectAndDisconnectIas) {
    EXPECT_EQ(built(lmpBuildConnectIas(buffer, primary, PRIMARY_LSAP)),
              (Bytes{0x03, 0x10, 0x80, 0x02, 0x01, 0x00}));
    EXPECT_EQ(built(lmpBuildDisconnectIas(buffer, primary, PRIMARY_LSAP)),
              (Bytes{0x03, 0x10, 0x80, 0x02, 0x02, 0x01}));
}

TEST_F(Pdu, IasQuery) {
    primary.vr = 1;
    primary.vs = 1;
    const uint16_t length =
        iasBuildQuery(buffer, primary, PRIMARY_LSAP, IAS_CLASS_IRCOMM, IAS_ATTR_LSAP_SEL);
    ASSERT_EQ(length, 57);
    EXPECT_EQ(built(6), (Bytes{0x03, 0x32, 0x00, 0x02, 0x84, 0x15}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer + 6), 21), IAS_CLASS_IRCOMM);
    EXPECT_EQ(buffer[27], 0x1D);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer + 28), 29), IAS_ATTR_LSAP_SEL);
}

TEST_F(Pdu, TinyTpCommands) {
    EXPECT_EQ(built(ttpBuildConnect(buffer, primary, PRIMARY_LSAP, 4)),
              (Bytes{0x03, 0x10, 0x84, 0x02, 0x01, 0x00, 0x01}));
    EXPECT_EQ(built(ttpBuildCreditCommand(buffer, primary, PRIMARY_LSAP, 4)),
              (Bytes{0x03, 0x10, 0x04, 0x02, 0x01}));
}

TEST_F(Pdu, IrCommCommands) {
    EXPECT_EQ(built(commBuildParamsFrame(buffer, primary, PRIMARY_LSAP, 4)),
              concat({0x03, 0x10, 0x04, 0x02, 0x01, 0x12}, INITIAL_BLOCK));
    const uint8_t text[] = {'A', 'T', '+', 'C', 'S', 'Q', '\r'};
    EXPECT_EQ(built(commBuildDataCommand(buffer, primary, PRIMARY_LSAP, 4, text, 7)),
              (Bytes{0x03, 0x10, 0x04, 0x02, 0x01, 0x00, 'A', 'T', '+', 'C', 'S', 'Q', '\r'}));
    EXPECT_EQ(built(commBuildDataCommand(buffer, primary, PRIMARY_LSAP, 4, nullptr, 0)),
              (Bytes{0x03, 0x10, 0x04, 0x02, 0x01, 0x00}));
}

TEST_F(Pdu, ConnectConfirms) {
    EXPECT_EQ(built(lmpBuildConnectConfirm(buffer, secondary, 2, 0)),
              (Bytes{0x02, 0x10, 0x82, 0x00, 0x81, 0x00}));
    EXPECT_EQ(built(ttpBuildConnectConfirm(buffer, secondary, 2, SECONDARY_LSAP)),
              (Bytes{0x02, 0x10, 0x82, 0x04, 0x81, 0x00, 0x01}));
}

TEST_F(Pdu, IasResponseAndCredit) {
    const Bytes result = {0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x04};
    secondary.vr = 2;
    secondary.vs = 1;
    EXPECT_EQ(built(iasBuildResponse(buffer, secondary, 2, 0, result.data(), 10)),
              concat({0x02, 0x52, 0x02, 0x00, 0x84}, result));
    EXPECT_EQ(built(ttpBuildCreditResponse(buffer, secondary, SECONDARY_LSAP, 2)),
              (Bytes{0x02, 0x52, 0x02, 0x04, 0x01}));
}

TEST_F(Pdu, IrCommDataResponse) {
    const uint8_t data[] = {'O', 'K'};
    EXPECT_EQ(built(commBuildDataResponse(buffer, secondary, SECONDARY_LSAP, 2, true, data, 2)),
              (Bytes{0x02, 0x10, 0x02, 0x04, 0x01, 0x03, 0x20, 0x01, 0x0C, 'O', 'K'}));
    EXPECT_EQ(built(commBuildDataResponse(buffer, secondary, SECONDARY_LSAP, 2, false, data, 2)),
              (Bytes{0x02, 0x10, 0x02, 0x04, 0x01, 0x00, 'O', 'K'}));
    EXPECT_EQ(commBuildDataResponse(buffer, secondary, SECONDARY_LSAP, 2, true, nullptr, 0), 9);
}

TEST_F(Pdu, IasPutNameCountsLengthByte) {
    EXPECT_EQ(iasPutName(buffer, "Parameters"), 11);
    EXPECT_EQ(buffer[0], 10);
    EXPECT_EQ(iasPutName(buffer, ""), 1);
    EXPECT_EQ(buffer[0], 0);
}

// Received frames are copied to exact-size storage so that reads past the length are caught.
struct Received {
    explicit Received(const Bytes& content) : bytes(content) {}
    const uint8_t* data() const { return bytes.data(); }
    uint16_t size() const { return static_cast<uint16_t>(bytes.size()); }
    Bytes bytes;
};

TEST(PduTests, ConnectConfirmAndIasResponse) {
    const Received confirm({0x02, 0x10, 0x82, 0x00, 0x81, 0x00});
    EXPECT_EQ(lmpIsConnectConfirm(confirm.data(), confirm.size()), 1);
    EXPECT_EQ(lmpIsConnectConfirm(confirm.data(), 4), 0);
    const Received sFrame({0x02, 0x11, 0x82, 0x00, 0x81});
    EXPECT_EQ(lmpIsConnectConfirm(sFrame.data(), sFrame.size()), 0);
    const Received ias({0x02, 0x10, 0x02, 0x00, 0x84});
    EXPECT_EQ(iasIsResponse(ias.data(), ias.size()), 1);
    EXPECT_EQ(iasIsResponse(confirm.data(), confirm.size()), 0);
    const Received tiny({0x02});
    EXPECT_EQ(iasIsResponse(tiny.data(), tiny.size()), 0);
}

TEST(PduTests, TinyTpConnect) {
    const Received confirm({0x02, 0x10, 0x82, 0x04, 0x81, 0x00, 0x01});
    const Received request({0x03, 0x10, 0x84, 0x02, 0x01, 0x00, 0x01});
    EXPECT_EQ(ttpIsConnect(confirm.data(), confirm.size()), 1);
    EXPECT_EQ(ttpIsConnect(request.data(), request.size()), 1);
    EXPECT_EQ(ttpIsConnect(confirm.data(), 6), 0);
}

TEST(PduTests, IrCommDataFrame) {
    const Received plain({0x02, 0x10, 0x02, 0x04, 0x01, 0x00});
    EXPECT_EQ(commIsDataFrame(plain.data(), plain.size()), 1);
    EXPECT_EQ(commIsDataFrame(plain.data(), 5), 0);
    const Received withParams({0x02, 0x10, 0x02, 0x04, 0x01, 0x03, 0x20, 0x01, 0x0C});
    EXPECT_EQ(commIsDataFrame(withParams.data(), withParams.size()), 1);
    EXPECT_EQ(commIsDataFrame(withParams.data(), 8), 0); // parameters run past the end
    Bytes tooMany(6 + 80, 0x00);
    tooMany[1] = 0x10;
    tooMany[5] = 75;
    const Received oversized(tooMany);
    EXPECT_EQ(commIsDataFrame(oversized.data(), oversized.size()), 0);
    tooMany[5] = 74;
    const Received largest(tooMany);
    EXPECT_EQ(commIsDataFrame(largest.data(), largest.size()), 1);
    const Received sFrame({0x02, 0x11, 0x02, 0x04, 0x01, 0x00});
    EXPECT_EQ(commIsDataFrame(sFrame.data(), sFrame.size()), 0);
}

TEST(PduTests, ParseLsapSel) {
    uint16_t value = 0xBEEF;
    const Received good({0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x04});
    EXPECT_EQ(iasParseLsapSel(good.data(), good.size(), value), 1);
    EXPECT_EQ(value, 4);

    value = 0xBEEF;
    const Received noClass({0x01});
    EXPECT_EQ(iasParseLsapSel(noClass.data(), noClass.size(), value), 0);
    const Received octets({0x00, 0x00, 0x01, 0x00, 0x01, 0x02, 0x00, 0x01, 0x04, 0x00});
    EXPECT_EQ(iasParseLsapSel(octets.data(), octets.size(), value), 0);
    const Received wide({0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0x00, 0x01, 0x00, 0x04});
    EXPECT_EQ(iasParseLsapSel(wide.data(), wide.size(), value), 0);
    const Received empty({0x00, 0x00, 0x00});
    EXPECT_EQ(iasParseLsapSel(empty.data(), empty.size(), value), 0);
    EXPECT_EQ(iasParseLsapSel(good.data(), 9, value), 0);
    EXPECT_EQ(iasParseLsapSel(good.data(), 2, value), 0);
    EXPECT_EQ(iasParseLsapSel(good.data(), 0, value), 0);
    EXPECT_EQ(value, 0xBEEF);
}

// Each entry as "id:type:value": integers in decimal, bytes as text with the charset before them.
std::string describeValues(const IasAnswer& answer, const std::vector<IasValue>& values) {
    std::string text = answer.coded ? std::to_string(answer.code) : "-";
    text += "/" + std::to_string(answer.announced);
    for (uint16_t i = 0; i < answer.stored; ++i) {
        const IasValue& value = values[i];
        text += " " + std::to_string(value.objectId) + ":" + std::to_string(value.type) + ":";
        if (value.type == IAS_INTEGER) {
            text += std::to_string(value.integer);
        } else if (value.type == IAS_STRING) {
            text += std::to_string(value.charset) + ",";
        }
        text.append(value.bytes.begin(), value.bytes.end());
    }
    return text;
}

TEST(PduTests, ParseValueListWellFormedAndHostile) {
    struct Case {
        const char* what;
        Bytes answer;
        size_t room;
        const char* expected;
    };
    const Bytes mixed = {0x00, 0x00, 0x04,                              // success, 4 entries
                         0x00, 0x07, 0x01, 0xFF, 0xFF, 0xFF, 0xFE,      // integer -2
                         0x01, 0x00, 0x02, 0x00, 0x02, 'h',  'i',       // octets "hi"
                         0x00, 0x02, 0x03, 0x00, 0x03, 'P',  'D',  'A', // string "PDA"
                         0x12, 0x34, 0x00};                             // missing
    const std::vector<Case> cases = {
        {"empty answer", {}, 4, "-/0"},
        {"no such class", {0x01}, 4, "1/0"},
        {"no such attribute, trailing bytes", {0x02, 0x00, 0x01}, 4, "2/0"},
        {"success without list length", {0x00, 0x00}, 4, "0/0"},
        {"zero entries", {0x00, 0x00, 0x00}, 4, "0/0"},
        {"mixed types", mixed, 4, "0/4 7:1:-2 256:2:hi 2:3:0,PDA 4660:0:"},
        {"room for two", mixed, 2, "0/4 7:1:-2 256:2:hi"},
        {"cut inside the string", Bytes(mixed.begin(), mixed.begin() + 24), 4,
         "0/4 7:1:-2 256:2:hi"},
        {"cut inside an integer", {0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x04}, 4, "0/1"},
        {"entry header cut", {0x00, 0x00, 0x01, 0x00, 0x01}, 4, "0/1"},
        {"octet length past the end",
         {0x00, 0x00, 0x01, 0x00, 0x01, 0x02, 0xFF, 0xFF, 'x'},
         4,
         "0/1"},
        {"octet length cut", {0x00, 0x00, 0x01, 0x00, 0x01, 0x02, 0x00}, 4, "0/1"},
        {"string length past the end",
         {0x00, 0x00, 0x01, 0x00, 0x01, 0x03, 0x00, 0x05, 'a'},
         4,
         "0/1"},
        {"empty string and octets",
         {0x00, 0x00, 0x02, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0x02, 0x00, 0x00},
         4,
         "0/2 1:3:0, 2:2:"},
        {"unknown type stops the list",
         {0x00, 0x00, 0x02, 0x00, 0x01, 0x09, 0x00, 0x02, 0x00},
         4,
         "0/2"},
        {"more announced than sent", {0x00, 0xFF, 0xFF, 0x00, 0x01, 0x00}, 4, "0/65535 1:0:"},
    };
    for (const Case& one : cases) {
        std::vector<IasValue> values(one.room);
        const IasAnswer answer = iasParseValues(one.answer, values);
        EXPECT_EQ(describeValues(answer, values), one.expected) << one.what;
        for (uint16_t i = 0; i < answer.stored; ++i) {
            // Every value lies inside the answer.
            EXPECT_TRUE(values[i].bytes.empty() ||
                        (values[i].bytes.data() >= one.answer.data() &&
                         values[i].bytes.data() + values[i].bytes.size() <=
                             one.answer.data() + one.answer.size()))
                << one.what;
        }
    }
}

} // namespace
