// primary_demo: finds a device, connects and opens IrCOMM on its task thread, and sends the AT
// command chosen from a numbered console menu. One optional argument: the port (default COM1).
#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "console.h"
#include "console_streams.h"
#include "demo_options.h"
#include "irphy.h"
#include "menu_input.h"
#include "primary.h"
#include "win32.h"

namespace {

constexpr uint32_t EXIT_CODE = 99;
constexpr const char* ABOUT =
    "The computer side: finds a device, connects, opens an IrCOMM channel and\n"
    "sends it the AT command picked from a numbered menu (99 exits).";

constexpr std::array<const char*, 10> MENU = {
    "\n",
    "\nIrCOMM Menu",
    "\n  0 <cr>",
    "\n  1 atReqPing",
    "\n  2 atReqSetup",
    "\n  3 atReqGetBatteryStatus",
    "\n  4 atReqGetSignalLevel",
    "\n  5 atReqGetDateTime",
    "\n 99 Exit",
    "\n",
};

constexpr std::array<std::string_view, 6> TEXTS = {
    "\r", "AT\r", "ATE0+CMGF=0;+CPBS=\"SM\"\r", "AT+CBC\r", "AT+CSQ\r", "AT+CCLK?\r",
};

} // namespace

int main(int argc, char** argv) {
    hostKeepConsoleStreams();
    const char* port = nullptr;
    const DemoStart start = demoParseOptions(argc, argv, ABOUT, port);
    if (start != DemoStart::run) {
        return start == DemoStart::exitOk ? 0 : 1;
    }
    if (port != nullptr && !irphy_set_port_name(port)) {
        std::fprintf(stderr, "%s: port name too long: %s\n", PROGRAM_NAME, port);
        return 1;
    }
    // 1 ms timer resolution, so that Windows' waits and the 50 ms step are not 15.6 ms ticks.
    timeBeginPeriod(1);
    primary::primaryInit();
    primary::primaryDiscardReceived(); // answers show in the frame trace
    primary::startStackTask();
    consolePrint("\n");
    consolePrint("\nVantrel secondary_demo Primary Demo v007");

    uint32_t code = 0;
    while (code != EXIT_CODE) {
        for (const char* line : MENU) {
            consolePrint("%s", line);
        }
        const MenuToken token = menuReadCode(stdin, code);
        if (token == MenuToken::end) {
            break;
        }
        if (token == MenuToken::other || code >= TEXTS.size()) {
            continue;
        }
        const std::string_view text = TEXTS[code];
        primary::primarySend(reinterpret_cast<const uint8_t*>(text.data()),
                             static_cast<uint8_t>(text.size()));
    }
    return 0;
}
