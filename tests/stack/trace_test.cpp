#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "console_capture.h"
#include "trace.h"

namespace {

// Traces a heap copy of exactly `length` bytes, so a read past the end trips the sanitizer.
std::string traceOf(const std::vector<uint8_t>& content) {
    ConsoleCapture capture;
    const auto copy = std::make_unique<uint8_t[]>(content.size() + (content.empty() ? 1 : 0));
    std::copy(content.begin(), content.end(), copy.get());
    frameTrace(copy.get(), static_cast<uint16_t>(content.size()));
    return capture.take();
}

// The decoded line alone, after the hex dump.
std::string decodeOf(const std::vector<uint8_t>& content) {
    const std::string text = traceOf(content);
    return text.substr(text.find(" ]") + 2);
}

TEST(Trace, RrResponse) {
    EXPECT_EQ(traceOf({0x02, 0x11}), "\n[ 02 11 ]\n\t<-  A: 0x01 C/R: 0 P/F: 1 RR   Nr: 0");
}

TEST(Trace, XidCommand) {
    EXPECT_EQ(traceOf({0xFF, 0x3F, 0x01, 0x34, 0x12, 0xCD, 0xAB, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00,
                       0x00}),
              "\n[ FF 3F 01 34 12 CD AB FF FF FF FF 00 00 00 ]\n\t -> A: 0x7F C/R: 1 P/F: 1 XID ");
}

TEST(Trace, UFrameNamesDependOnDirection) {
    EXPECT_EQ(decodeOf({0x03, 0x53}), "\n\t -> A: 0x01 C/R: 1 P/F: 1 DISC");
    EXPECT_EQ(decodeOf({0x02, 0x53}), "\n\t<-  A: 0x01 C/R: 0 P/F: 1 RD  ");
    EXPECT_EQ(decodeOf({0xFF, 0x93}), "\n\t -> A: 0x7F C/R: 1 P/F: 1 SNRM");
    EXPECT_EQ(decodeOf({0x02, 0x83}), "\n\t<-  A: 0x01 C/R: 0 P/F: 0 RNRM");
    EXPECT_EQ(decodeOf({0x02, 0x73}), "\n\t<-  A: 0x01 C/R: 0 P/F: 1 UA  ");
    EXPECT_EQ(decodeOf({0x03, 0x73}), "\n\t -> A: 0x01 C/R: 1 P/F: 1 ????");
    EXPECT_EQ(decodeOf({0x00, 0xF3}), "\n\t<-  A: 0x00 C/R: 0 P/F: 1 TEST");
}

TEST(Trace, SupervisoryNames) {
    EXPECT_EQ(decodeOf({0x03, 0xB5}), "\n\t -> A: 0x01 C/R: 1 P/F: 1 RNR  Nr: 5");
    EXPECT_EQ(decodeOf({0x03, 0xE9}), "\n\t -> A: 0x01 C/R: 1 P/F: 0 REJ  Nr: 7");
    EXPECT_EQ(decodeOf({0x03, 0x1D}), "\n\t -> A: 0x01 C/R: 1 P/F: 1 SREJ Nr: 0");
}

TEST(Trace, LmConnectRequestConfirmAndTinyTp) {
    EXPECT_EQ(decodeOf({0x03, 0x7A, 0x80, 0x02, 0x01, 0x00}),
              "\n\t -> A: 0x01 C/R: 1 P/F: 1 I    Nr: 3 Ns: 5 C: 1 DS: 0x00 SS: 0x02 LMP conn");
    EXPECT_EQ(decodeOf({0x03, 0x10, 0x84, 0x02, 0x01, 0x00, 0x01}),
              "\n\t -> A: 0x01 C/R: 1 P/F: 1 I    Nr: 0 Ns: 0 C: 1 DS: 0x04 SS: 0x02 TTP conn");
    EXPECT_EQ(decodeOf({0x02, 0x10, 0x82, 0x04, 0x81, 0x00}),
              "\n\t<-  A: 0x01 C/R: 0 P/F: 1 I    Nr: 0 Ns: 0 C: 1 DS: 0x02 SS: 0x04 LMP conn");
    EXPECT_EQ(decodeOf({0x03, 0x10, 0x80, 0x02, 0x02, 0x01}).substr(67), " LMP disc");
}

TEST(Trace, IasQueryAndAnswer) {
    EXPECT_EQ(decodeOf({0x03, 0x10, 0x00, 0x02, 0x84, 0x01, 0x41}),
              "\n\t -> A: 0x01 C/R: 1 P/F: 1 I    Nr: 0 Ns: 0 C: 0 DS: 0x00 SS: 0x02 IAS gvbc");
    EXPECT_EQ(decodeOf({0x02, 0x10, 0x02, 0x00, 0x84, 0x01}),
              "\n\t<-  A: 0x01 C/R: 0 P/F: 1 I    Nr: 0 Ns: 0 C: 0 DS: 0x02 SS: 0x00 IAS gvbc");
}

TEST(Trace, TinyTpCreditAndIrComm) {
    EXPECT_EQ(decodeOf({0x02, 0x10, 0x02, 0x04, 0x01}),
              "\n\t<-  A: 0x01 C/R: 0 P/F: 1 I    Nr: 0 Ns: 0 C: 0 DS: 0x02 SS: 0x04 TTP c:1");
    EXPECT_EQ(decodeOf({0x02, 0x10, 0x02, 0x04, 0x01, 0x03, 0x20, 0x01, 0x0C, 'O', 'K', '!'}),
              "\n\t<-  A: 0x01 C/R: 0 P/F: 1 I    Nr: 0 Ns: 0 C: 0 DS: 0x02 SS: 0x04 COMM 3:3");
    EXPECT_EQ(decodeOf({0x03, 0x10, 0x04, 0x02, 0x01, 0x00}),
              "\n\t -> A: 0x01 C/R: 1 P/F: 1 I    Nr: 0 Ns: 0 C: 0 DS: 0x04 SS: 0x02 COMM 0:0");
}

TEST(Trace, IrCommLengthBeyondFrameIsNegative) {
    EXPECT_EQ(decodeOf({0x03, 0x10, 0x04, 0x02, 0x01, 0x05}).substr(67), " COMM 5:-5");
}

TEST(Trace, ShortFramesDecodeMissingFieldsAsZero) {
    EXPECT_EQ(traceOf({0x03}), "\n[ 03 ]\n\t -> A: 0x01 C/R: 1 P/F: 0 I    Nr: 0 Ns: 0 C: 0 "
                               "DS: 0x00 SS: 0x00 IAS ????");
    EXPECT_EQ(decodeOf({0x03, 0x10, 0x84}),
              "\n\t -> A: 0x01 C/R: 1 P/F: 1 I    Nr: 0 Ns: 0 C: 1 DS: 0x04 SS: 0x00 ??? ????");
    EXPECT_EQ(decodeOf({0x03, 0x10, 0x04, 0x02}),
              "\n\t -> A: 0x01 C/R: 1 P/F: 1 I    Nr: 0 Ns: 0 C: 0 DS: 0x04 SS: 0x02 ???");
    EXPECT_EQ(traceOf({}), "\n[ ]\n\t<-  A: 0x00 C/R: 0 P/F: 0 I    Nr: 0 Ns: 0 C: 0 DS: 0x00 "
                           "SS: 0x00 IAS ????");
}

TEST(Trace, BytesBehindTheLengthAreNotRead) {
    const uint8_t frame[] = {0x03, 0x10, 0x80, 0x02, 0x01, 0x00};
    ConsoleCapture capture;
    frameTrace(frame, 3);
    EXPECT_EQ(capture.take(), "\n[ 03 10 80 ]\n\t -> A: 0x01 C/R: 1 P/F: 1 I    Nr: 0 Ns: 0 C: 1 "
                              "DS: 0x00 SS: 0x00 ??? ????");
}

} // namespace
