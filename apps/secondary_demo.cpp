// The device-side demo: brings up the platform and the secondary station, then sends the AT
// command texts the user picks from a numeric menu to the peer over IrCOMM.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "console_streams.h"
#include "demo_options.h"
#include "menu_input.h"
#include "platform.h"
#include "secondary.h"
#include "win32.h"

// The menu, separate from main so it can be driven from any input stream.
enum class MenuResult : uint8_t { again, exit };
MenuResult secondaryMenuPass(std::FILE* input);
void secondaryExit();

namespace {

constexpr size_t LINE_SIZE = 32;
constexpr uint32_t CODE_EXIT = 99;
constexpr uint32_t CODE_HIGHEST = 23;
constexpr char CONTROL_Z = 0x1A;

using LineBuffer = std::array<char, LINE_SIZE>;

// Fixed texts by code; nullptr for the codes that send nothing or read words.
constexpr std::array<const char*, CODE_HIGHEST + 1> FIXED_TEXTS = {
    "\r",
    "AT\r",
    "ATE0+CMGF=0;+CPBS=\"SM\"\r",
    "AT+CBC\r",
    "AT+CSQ\r",
    "AT+CCLK?\r",
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    "AT+CPBF=\"Templow\"\r",
    "AT+CPBF=\"Temphigh\"\r",
    "AT+CPBF=\"Targetphone\"\r",
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    "AT+CPBW=,\"6\",129,\"Templow\"\r",
    "AT+CPBW=,\"26\",129,\"Temphigh\"\r",
    "AT+CPBW=,\"07700900461\",129,\"Targetphone\"\r",
};

enum class Word : uint8_t { ok, tooLong, end };

// Appends one word to the line, keeping `reserve` bytes free behind it and the terminating zero.
// A longer word is read to its end and refused.
Word readWord(std::FILE* input, LineBuffer& line, size_t reserve) {
    if (!menuSkipSpace(input)) {
        return Word::end;
    }
    size_t length = std::strlen(line.data());
    const size_t limit = line.size() - 1 - reserve;
    bool tooLong = false;
    int c = std::fgetc(input);
    while (c != EOF && !menuIsSpace(c)) {
        if (length < limit) {
            line[length] = static_cast<char>(c);
            ++length;
        } else {
            tooLong = true;
        }
        c = std::fgetc(input);
    }
    line[length] = '\0';
    return tooLong ? Word::tooLong : Word::ok;
}

void sendText(const char* text) {
    secondary::secondarySend(reinterpret_cast<const uint8_t*>(text),
                             static_cast<uint8_t>(std::strlen(text)));
}

void refuse(size_t limit) {
    consolePrint("\nToo long: at most %u characters", unsigned(limit));
}

void append(LineBuffer& line, const char* text) {
    const size_t used = std::strlen(line.data());
    std::snprintf(line.data() + used, line.size() - used, "%s", text);
}

constexpr size_t QUOTE_SUFFIX = 2; // "\"\r" behind a quoted word

// Reads one word into a line holding `prefix` and appends the closing quote. A refused word has
// been read to its end, so nothing of it is left to be taken for a menu code.
Word readQuoted(std::FILE* input, LineBuffer& line, const char* prefix) {
    line.fill('\0');
    append(line, prefix);
    const Word word = readWord(input, line, QUOTE_SUFFIX);
    if (word == Word::tooLong) {
        refuse(line.size() - 1 - QUOTE_SUFFIX - std::strlen(prefix));
    } else if (word == Word::ok) {
        append(line, "\"\r");
    }
    return word;
}

MenuResult phoneBookFind(std::FILE* input, LineBuffer& line) {
    const Word name = readQuoted(input, line, "AT+CPBF=\"");
    if (name == Word::ok) {
        sendText(line.data());
    }
    return name == Word::end ? MenuResult::exit : MenuResult::again;
}

// Both words are read and checked before anything is sent: a number sent alone would leave the
// phone waiting for a message body and take the next text sent as one.
MenuResult shortMessage(std::FILE* input, LineBuffer& line) {
    consolePrint("\nPhone No: ");
    const Word number = readQuoted(input, line, "AT+CMGS=\"");
    if (number == Word::end) {
        return MenuResult::exit;
    }
    LineBuffer message{};
    consolePrint("\nMessage: ");
    const Word text = readWord(input, message, 1);
    if (text == Word::end) {
        return MenuResult::exit;
    }
    if (text == Word::tooLong) {
        refuse(message.size() - 2);
    }
    if (number == Word::ok && text == Word::ok) {
        message[std::strlen(message.data())] = CONTROL_Z;
        sendText(line.data());
        sendText(message.data());
    }
    return MenuResult::again;
}

} // namespace

MenuResult secondaryMenuPass(std::FILE* input) {
    LineBuffer line{};
    consolePrint("\n");
    consolePrint("\nIrCOMM Menu");
    consolePrint("\n 99 Exit");
    consolePrint("\n");
    uint32_t code = 0;
    const MenuToken token = menuReadCode(input, code);
    if (token == MenuToken::end) {
        return MenuResult::exit; // end of input ends the program as 99 does
    }
    if (token == MenuToken::other) {
        return MenuResult::again;
    }
    if (code == CODE_EXIT) {
        return MenuResult::exit;
    }
    if (code > CODE_HIGHEST) {
        return MenuResult::again;
    }
    if (code == 6) {
        return phoneBookFind(input, line);
    }
    if (code == 9) {
        return shortMessage(input, line);
    }
    if (FIXED_TEXTS[code] != nullptr) {
        sendText(FIXED_TEXTS[code]);
    }
    return MenuResult::again;
}

void secondaryExit() {
    // Joined, not slept on: the task ends its pass and prints its end before the globals it
    // touches are destroyed.
    secondary::stopStackTask();
    lapWatchSettle(secondary::secondaryConnection().watch());
}

#ifndef SECONDARY_DEMO_NO_MAIN
namespace {
constexpr const char* ABOUT =
    "The device side: answers discovery, accepts a connection and an IrCOMM channel,\n"
    "prints what arrives, answers every \"AT\" with \"OK\" and sends the text\n"
    "picked from a numbered menu (99 exits).";
} // namespace

int main(int argc, char** argv) {
    hostKeepConsoleStreams();
    const char* port = nullptr;
    const DemoStart start = demoParseOptions(argc, argv, ABOUT, port);
    if (start != DemoStart::run) {
        return start == DemoStart::exitOk ? 0 : 1;
    }
    // 1 ms timer resolution, so that Windows' waits and the 50 ms step are not 15.6 ms ticks.
    timeBeginPeriod(1);
    if (port != nullptr) {
        platformSetPortName(port);
    }
    platformInit();
    secondary::secondaryInit();
    secondary::startStackTask();
    consolePrint("\n");
    consolePrint("\nVantrel secondary_demo Secondary Demo v007");
    while (secondaryMenuPass(stdin) == MenuResult::again) {
    }
    secondaryExit();
    return 0;
}
#endif
