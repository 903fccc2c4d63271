#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "deadline.h"
#include "secondary.h"
#include "secondary_fixture.h"

using namespace secondary;

// The console's menu from apps/secondary_demo.cpp.
enum class MenuResult : uint8_t { again, exit };
MenuResult secondaryMenuPass(std::FILE* input);

namespace {

const std::string MENU = "\n\nIrCOMM Menu\n 99 Exit\n";

// The menu queues its texts on the demo's default station.
class SecondaryConsole : public ::testing::Test {
  protected:
    void SetUp() override {
        secondaryInit();
        input = std::tmpfile();
        ASSERT_NE(input, nullptr);
    }
    void TearDown() override { std::fclose(input); }
    void type(const std::string& keys) {
        std::fputs(keys.c_str(), input);
        std::rewind(input);
    }
    MenuResult pass() { return secondaryMenuPass(input); }
    // One pass with the channel open and the engine's side played by a thread that drains the
    // queue, so texts longer than the free room go through; returns everything queued.
    std::string drainedPass() {
        SecondaryStation& station = secondaryDefault();
        station.setState(SEC_IRCOMM_OPEN);
        std::atomic<bool> stop{false};
        std::atomic<bool> late{false};
        std::string drained;
        std::thread engine([&station, &stop, &late, &drained] {
            const Deadline deadline;
            while (!stop) {
                drained += takeQueued(station);
                if (deadline.passed()) {
                    // A closed channel releases a sender still waiting for room.
                    station.setState(SEC_LINKED);
                    late = true;
                    break;
                }
                std::this_thread::yield();
            }
        });
        pass();
        stop = true;
        engine.join();
        EXPECT_FALSE(late) << "the pass did not end";
        return drained + transmitQueued();
    }
    static std::string transmitQueued() { return takeQueued(secondaryDefault()); }

    std::FILE* input = nullptr;
    ConsoleCapture console;
};

TEST_F(SecondaryConsole, EachPassShowsTheMenu) {
    type("1\n");
    EXPECT_EQ(pass(), MenuResult::again);
    EXPECT_EQ(console.take(), MENU);
    EXPECT_EQ(transmitQueued(), "AT\r");
}

TEST_F(SecondaryConsole, FixedCodesQueueTheirTexts) {
    type("0 3 4 5 2 11 12 13 21 22");
    const char* const texts[] = {"\r",
                                 "AT+CBC\r",
                                 "AT+CSQ\r",
                                 "AT+CCLK?\r",
                                 "ATE0+CMGF=0;+CPBS=\"SM\"\r",
                                 "AT+CPBF=\"Templow\"\r",
                                 "AT+CPBF=\"Temphigh\"\r",
                                 "AT+CPBF=\"Targetphone\"\r",
                                 "AT+CPBW=,\"6\",129,\"Templow\"\r",
                                 "AT+CPBW=,\"26\",129,\"Temphigh\"\r"};
    for (const char* expected : texts) {
        EXPECT_EQ(pass(), MenuResult::again);
        EXPECT_EQ(transmitQueued(), expected);
    }
}

TEST_F(SecondaryConsole, UnboundAndLargeCodesSendNothing) {
    type("7 8 10 14 20 24 1000 4294967295 4294967296 99999999999999999999");
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(pass(), MenuResult::again);
    }
    EXPECT_EQ(transmitQueued(), "");
}

TEST_F(SecondaryConsole, NinetyNineAndEndOfInputExit) {
    type("99");
    EXPECT_EQ(pass(), MenuResult::exit);
    EXPECT_EQ(pass(), MenuResult::exit) << "end of input";
}

TEST_F(SecondaryConsole, WordsThatAreNotNumbersAreReadPast) {
    type("abc -1 12x 1");
    EXPECT_EQ(pass(), MenuResult::again);
    EXPECT_EQ(pass(), MenuResult::again);
    EXPECT_EQ(pass(), MenuResult::again);
    EXPECT_EQ(transmitQueued(), "");
    EXPECT_EQ(pass(), MenuResult::again);
    EXPECT_EQ(transmitQueued(), "AT\r");
}

TEST_F(SecondaryConsole, PhoneBookFindQuotesTheTypedName) {
    type("6 Smith");
    EXPECT_EQ(pass(), MenuResult::again);
    EXPECT_EQ(console.take(), MENU) << "no prompt for the name";
    EXPECT_EQ(transmitQueued(), "AT+CPBF=\"Smith\"\r");
}

TEST_F(SecondaryConsole, NameOfTwentyCharactersFitsTwentyOneIsRefused) {
    const std::string twenty(20, 'n');
    type("6 " + twenty + " 6 " + twenty + "X 1");
    pass();
    EXPECT_EQ(transmitQueued(), "AT+CPBF=\"" + twenty + "\"\r");
    console.take();
    EXPECT_EQ(pass(), MenuResult::again);
    EXPECT_NE(console.take().find("Too long"), std::string::npos);
    EXPECT_EQ(transmitQueued(), "");
    pass(); // the rest of the long word was consumed: next is the code 1
    EXPECT_EQ(transmitQueued(), "AT\r");
}

TEST_F(SecondaryConsole, ShortMessageQueuesNumberThenTextWithControlZ) {
    type("9 12345 Hi");
    EXPECT_EQ(pass(), MenuResult::again);
    EXPECT_EQ(console.take(), MENU + "\nPhone No: \nMessage: ");
    EXPECT_EQ(transmitQueued(), "AT+CMGS=\"12345\"\rHi\x1A");
}

TEST_F(SecondaryConsole, OverlongMessageIsRefusedAndThirtyFits) {
    const std::string thirty(30, 'm');
    type("9 1 " + thirty + " 9 1 " + thirty + "m 1");
    EXPECT_EQ(drainedPass(), "AT+CMGS=\"1\"\r" + thirty + "\x1A");
    console.take();
    EXPECT_EQ(pass(), MenuResult::again);
    EXPECT_EQ(transmitQueued(), "") << "not even the number goes without its message";
    EXPECT_NE(console.take().find("Too long"), std::string::npos);
    pass();
    EXPECT_EQ(transmitQueued(), "AT\r");
}

TEST_F(SecondaryConsole, LongestFixedTextGoesThroughWholeWhileOpen) {
    type("23");
    EXPECT_EQ(drainedPass(), "AT+CPBW=,\"07700900461\",129,\"Targetphone\"\r");
}

TEST_F(SecondaryConsole, TextThatDoesNotFitWhileClosedNeverHangs) {
    type("23 1");
    EXPECT_EQ(pass(), MenuResult::again);
    EXPECT_EQ(pass(), MenuResult::again);
    EXPECT_EQ(transmitQueued(), "AT\r");
}

TEST_F(SecondaryConsole, OverlongNumberSendsNothingAndTakesTheMessageWord) {
    type("9 " + std::string(200, '5') + " 1 4");
    pass();
    EXPECT_EQ(transmitQueued(), "");
    EXPECT_EQ(console.take(), MENU + "\nPhone No: \nToo long: at most 20 characters\nMessage: ");
    pass(); // the message word "1" is gone with the number: next is the code 4
    EXPECT_EQ(transmitQueued(), "AT+CSQ\r");
}

TEST_F(SecondaryConsole, EndOfInputWhileAWordIsExpectedExits) {
    type("6");
    EXPECT_EQ(pass(), MenuResult::exit);
    EXPECT_EQ(transmitQueued(), "");
}

} // namespace
