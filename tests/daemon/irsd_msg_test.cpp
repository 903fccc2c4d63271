// The daemon's protocol: every message type through the encoder and decoder and back, the ways a
// message can be broken, and the framing with descriptors over a socket pair.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "irsd_msg.h"
#include "irsd_wire.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Every field at the edge of what it carries: numbers at their widest, texts at their bound.
IrsdMsg filled(const IrsdLayout& layout, uint32_t id) {
    IrsdMsg msg;
    irsdInit(msg, layout.type, id);
    for (uint8_t i = 0; i < layout.count; ++i) {
        const IrsdField& f = layout.fields.at(i);
        switch (f.kind) {
        case IrsdKind::U8:
            msg.num.at(i) = 0xA5;
            break;
        case IrsdKind::U16:
            msg.num.at(i) = 0xBEEF;
            break;
        case IrsdKind::U32:
            msg.num.at(i) = 0xDEADBEEF;
            break;
        case IrsdKind::I32:
            msg.num.at(i) = static_cast<uint32_t>(-123456);
            break;
        case IrsdKind::TEXT:
            EXPECT_EQ(irsdSetText(msg, i, std::string(f.max, static_cast<char>('a' + i))), 0);
            break;
        case IrsdKind::BLOB: {
            std::string blob(f.max, '\0');
            for (size_t b = 0; b < blob.size(); ++b) {
                blob[b] = static_cast<char>(b * 7);
            }
            EXPECT_EQ(irsdSetText(msg, i, blob), 0);
            break;
        }
        }
    }
    return msg;
}

Bytes encoded(const IrsdMsg& msg) {
    Bytes out(IRSD_MSG_MAX);
    const int length = irsdEncode(msg, out);
    EXPECT_GT(length, 0);
    out.resize(static_cast<size_t>(std::max(length, 0)));
    return out;
}

void setLe16(Bytes& bytes, size_t at, size_t value) {
    bytes.at(at) = static_cast<uint8_t>(value);
    bytes.at(at + 1) = static_cast<uint8_t>(value >> 8);
}

TEST(IrsdMsg, EveryTypeRoundTripsAtItsLargest) {
    uint32_t id = 1;
    for (const IrsdLayout& layout : irsdLayouts()) {
        SCOPED_TRACE(static_cast<int>(layout.type));
        const IrsdMsg sent = filled(layout, id++ * 0x01010101U);
        const Bytes bytes = encoded(sent);
        ASSERT_LE(bytes.size(), IRSD_MSG_MAX);
        EXPECT_EQ(irsdMessageLength(bytes), static_cast<int>(bytes.size()));
        IrsdMsg got;
        ASSERT_EQ(irsdDecode(bytes, got), IRSD_OK);
        EXPECT_EQ(got.type, sent.type);
        EXPECT_EQ(got.id, sent.id);
        for (uint8_t i = 0; i < layout.count; ++i) {
            EXPECT_EQ(got.num.at(i), sent.num.at(i)) << "field " << int(i);
            EXPECT_EQ(irsdText(got, i), irsdText(sent, i)) << "field " << int(i);
        }
        // Every request has a reply that leads with its status; clients rely on that.
        if (layout.from == IrsdFrom::CLIENT) {
            const IrsdLayout* reply = irsdLayout(layout.type | IRSD_REPLY);
            ASSERT_NE(reply, nullptr);
            EXPECT_EQ(reply->from, IrsdFrom::DAEMON);
            EXPECT_EQ(reply->fields[0].kind, IrsdKind::I32);
        }
    }
}

TEST(IrsdMsg, BrokenMessagesAreRefused) {
    IrsdMsg connect = filled(*irsdLayout(IRSD_CONNECT), 42);
    const Bytes good = encoded(connect);
    IrsdMsg got;

    for (size_t cut = 0; cut < good.size(); ++cut) {
        const std::span<const uint8_t> head(good.data(), cut);
        EXPECT_EQ(irsdMessageLength(head), cut < IRSD_HEADER_SIZE ? 0 : int(good.size()));
        EXPECT_EQ(irsdDecode(head, got), IRSD_ERR_MALFORMED) << cut;
    }

    struct Case {
        const char* what;
        void (*breakIt)(Bytes&);
        int status;
    };
    constexpr size_t CLASS_LENGTH = IRSD_HEADER_SIZE;
    const Case cases[] = {
        {"magic", [](Bytes& b) { b[2] = 'X'; }, IRSD_ERR_MALFORMED},
        {"old version", [](Bytes& b) { b[4] = 0; }, IRSD_ERR_VERSION},
        {"new version", [](Bytes& b) { b[4] = IRSD_VERSION + 1; }, IRSD_ERR_VERSION},
        {"too long", [](Bytes& b) { setLe16(b, 6, IRSD_PAYLOAD_MAX + 1); }, IRSD_ERR_TOO_LONG},
        {"unknown type", [](Bytes& b) { b[5] = 0x3F; }, IRSD_ERR_TYPE},
        {"text past its bound", [](Bytes& b) { b[CLASS_LENGTH] = IRSD_CLASS_MAX + 1; },
         IRSD_ERR_MALFORMED},
        {"text past the end",
         [](Bytes& b) {
             b[CLASS_LENGTH] = 10;
             b.resize(CLASS_LENGTH + 5);
             setLe16(b, 6, b.size() - IRSD_HEADER_SIZE);
         },
         IRSD_ERR_MALFORMED},
        {"null in a text", [](Bytes& b) { b[CLASS_LENGTH + 3] = 0; }, IRSD_ERR_MALFORMED},
        {"trailing byte",
         [](Bytes& b) {
             b.push_back(0);
             setLe16(b, 6, b.size() - IRSD_HEADER_SIZE);
         },
         IRSD_ERR_MALFORMED},
        {"reply a field short",
         [](Bytes& b) {
             b = {'I', 'R', 'S', 'D', IRSD_VERSION, IRSD_CONNECT | IRSD_REPLY, 4, 0, 0, 0, 0, 0};
             b.insert(b.end(), 4, 0);
         },
         IRSD_ERR_MALFORMED},
    };
    for (const Case& c : cases) {
        Bytes broken = good;
        c.breakIt(broken);
        EXPECT_EQ(irsdDecode(broken, got), c.status) << c.what;
    }

    // Every type the table lacks, whatever its payload.
    for (int type = 0; type < 256; ++type) {
        Bytes other = good;
        other[5] = static_cast<uint8_t>(type);
        if (irsdLayout(static_cast<uint8_t>(type)) == nullptr) {
            EXPECT_EQ(irsdDecode(other, got), IRSD_ERR_TYPE) << type;
        }
    }

    // The encoder sends nothing the decoder would refuse.
    IrsdMsg bad = filled(*irsdLayout(IRSD_OPEN), 1);
    bad.num[IRSD_OPEN_ROLE] = 0x100;
    Bytes out(IRSD_MSG_MAX);
    EXPECT_EQ(irsdEncode(bad, out), IRSD_ERR_ARG);
    irsdInit(bad, IRSD_OPEN, 1);
    irsdSetText(bad, IRSD_OPEN_NAME, std::string(IRSD_PORT_NAME_MAX + 1, 'x'));
    EXPECT_EQ(irsdEncode(bad, out), IRSD_ERR_ARG);
    irsdInit(bad, IRSD_OPEN, 1);
    irsdSetText(bad, IRSD_OPEN_NAME, std::string_view("a\0b", 3));
    EXPECT_EQ(irsdEncode(bad, out), IRSD_ERR_ARG);
    irsdInit(bad, 0x3F, 1);
    EXPECT_EQ(irsdEncode(bad, out), IRSD_ERR_TYPE);
    EXPECT_EQ(irsdEncode(connect, std::span<uint8_t>(out).first(good.size() - 1)),
              IRSD_ERR_TOO_LONG);
}

struct SocketPair {
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0); }
    ~SocketPair() {
        close(ends[0]);
        close(ends[1]);
    }
    int ends[2] = {-1, -1};
};

TEST(IrsdWire, PiecesAreReassembledAndDescriptorsFollowTheirMessage) {
    SocketPair pair;
    IrsdReceiver in;
    IrsdMsg msg;
    const Bytes hello = encoded(filled(*irsdLayout(IRSD_HELLO), 5));
    for (size_t i = 0; i < hello.size(); ++i) {
        ASSERT_EQ(write(pair.ends[0], &hello[i], 1), 1);
        ASSERT_EQ(irsdReceive(pair.ends[1], in), IrsdRead::DATA);
        EXPECT_EQ(irsdTakeMessage(in, msg, IrsdFrom::CLIENT), i + 1 == hello.size() ? 1 : 0);
    }
    EXPECT_EQ(msg.id, 5U);
    EXPECT_EQ(irsdReceive(pair.ends[1], in), IrsdRead::AGAIN);

    // A reply, a channel's reply with its descriptor, then an event, all in one send.
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    IrsdSender out;
    IrsdMsg reply;
    irsdInit(reply, IRSD_HELLO | IRSD_REPLY, 1);
    ASSERT_EQ(irsdQueue(out, reply), IRSD_OK);
    irsdInit(reply, IRSD_CONNECT | IRSD_REPLY, 2);
    reply.num[IRSD_CHANNEL_R_ID] = 9;
    reply.fd = pipeEnds[1];
    ASSERT_EQ(irsdQueue(out, reply), IRSD_OK);
    irsdInit(reply, IRSD_EV_PORT_PHASE, 0);
    ASSERT_EQ(irsdQueue(out, reply), IRSD_OK);
    ASSERT_EQ(irsdFlush(out, pair.ends[0]), IRSD_OK);
    EXPECT_FALSE(irsdSendPending(out));

    std::vector<IrsdMsg> got;
    while (got.size() < 3 && irsdReceive(pair.ends[1], in) == IrsdRead::DATA) {
        int taken = 0;
        while ((taken = irsdTakeMessage(in, msg, IrsdFrom::DAEMON)) == 1) {
            got.push_back(msg);
        }
        ASSERT_EQ(taken, 0);
    }
    ASSERT_EQ(got.size(), 3U);
    EXPECT_EQ(got[0].fd, -1);
    EXPECT_EQ(got[2].fd, -1);
    ASSERT_GE(got[1].fd, 0);
    ASSERT_EQ(write(got[1].fd, "ir", 2), 2);
    char text[2] = {};
    ASSERT_EQ(read(pipeEnds[0], text, 2), 2);
    EXPECT_EQ(std::string(text, 2), "ir");
    close(got[1].fd);
    close(pipeEnds[0]);

    // A message the daemon sends is no request, and a client passes no descriptors.
    irsdInit(reply, IRSD_HELLO | IRSD_REPLY, 3);
    ASSERT_EQ(irsdQueue(out, reply), IRSD_OK);
    ASSERT_EQ(irsdFlush(out, pair.ends[0]), IRSD_OK);
    ASSERT_EQ(irsdReceive(pair.ends[1], in), IrsdRead::DATA);
    EXPECT_EQ(irsdTakeMessage(in, msg, IrsdFrom::CLIENT), IRSD_ERR_TYPE);
    irsdReceiverClear(in);
    irsdInit(reply, IRSD_CONNECT | IRSD_REPLY, 4);
    reply.fd = dup(pair.ends[0]);
    ASSERT_EQ(irsdQueue(out, reply), IRSD_OK);
    ASSERT_EQ(irsdFlush(out, pair.ends[0]), IRSD_OK);
    ASSERT_EQ(irsdReceive(pair.ends[1], in), IrsdRead::DATA);
    EXPECT_EQ(irsdTakeMessage(in, msg, IrsdFrom::CLIENT), IRSD_ERR_MALFORMED);
    irsdReceiverClear(in);

    // A channel's reply whose descriptor never came.
    const Bytes bare = encoded(reply);
    ASSERT_EQ(write(pair.ends[0], bare.data(), bare.size()), ssize_t(bare.size()));
    ASSERT_EQ(irsdReceive(pair.ends[1], in), IrsdRead::DATA);
    EXPECT_EQ(irsdTakeMessage(in, msg, IrsdFrom::DAEMON), IRSD_ERR_MALFORMED);
}

} // namespace
