// Board I/O of the platform layer: debounced inputs, outputs, LEDs, fault stop, character display.
#include <array>
#include <atomic>
#include <cstdlib>

#include "console.h"
#include "platform.h"
#include "platform_internal.h"

#define PLATFORM_ASSERT(expression)                                                                \
    ((expression) ? static_cast<void>(0) : platformAssertFailed(#expression))

namespace {

constexpr uint8_t DEBOUNCE_SCANS = 5;
constexpr uint8_t SHARED_OUTPUT_PIN = 5;
constexpr uint8_t DEBOUNCE_LED = 1;
constexpr uint8_t PSU_INPUT = 2;
constexpr uint8_t DISPLAY_DATA_MASK = 0xF0;

std::array<uint8_t, DIP_COUNT> dipPin{};
std::array<uint8_t, DIP_COUNT> dipState{};
std::array<uint8_t, DIP_COUNT> dipCount{};
std::array<uint8_t, DOP_COUNT> dopState{};
std::array<uint8_t, PLATFORM_OUTPUT_PINS> outputPin{};
std::array<uint8_t, LED_COUNT> ledPin{};

volatile uint8_t interruptEnable = 0;

uint8_t displayPort = 0;
uint8_t displayE = 0;
uint8_t displayRs = 0;
uint8_t displayRw = 0;
std::atomic<PlatformDisplayStrobe> displayStrobe{nullptr};

uint8_t outputPinOf(uint8_t dopIndex) {
    return dopIndex < SHARED_OUTPUT_PIN ? dopIndex : SHARED_OUTPUT_PIN;
}

// Count-down loop with no time base, as the display's short settling waits are on the board.
void busyWait(uint8_t counts) {
    volatile uint8_t remaining = counts;
    while (remaining > 0) {
        remaining = static_cast<uint8_t>(remaining - 1);
    }
}

void displayReady() {} // the board would poll the busy flag; nothing is attached here

// D4..D7 are wired to port bits 7..4 in reverse order.
void putNibble(uint8_t nibble) {
    uint8_t upper = 0;
    for (int bit = 0; bit < 4; ++bit) {
        if ((nibble & (1U << bit)) != 0) {
            upper = static_cast<uint8_t>(upper | (0x80U >> bit));
        }
    }
    displayPort = static_cast<uint8_t>((displayPort & ~DISPLAY_DATA_MASK) | upper);
}

void pulseE() {
    displayE = 1;
    displayE = 0;
    const PlatformDisplayStrobe strobe = displayStrobe.load();
    if (strobe != nullptr) {
        strobe(displayPort, displayRs);
    }
}

} // namespace

void platformDisableInterrupts() {
    do {
        interruptEnable = 0;
    } while (interruptEnable == 1);
}

void platformEnableInterrupts() {
    interruptEnable = 1;
}

uint8_t platformInterruptsEnabled() {
    return interruptEnable;
}

void platformAssertFailed(const char* expression) {
    consolePrint("\nassertion failed: %s, platform", expression);
    std::abort();
}

uint8_t platformDipGet(uint8_t dipIndex) {
    PLATFORM_ASSERT(dipIndex < DIP_COUNT);
    return dipState[dipIndex];
}

uint8_t platformPsuInput(uint8_t flag) {
    return flag != 0 ? platformDipGet(PSU_INPUT) : dipPin[PSU_INPUT];
}

void platformDopSet(uint8_t dopIndex, uint8_t value) {
    PLATFORM_ASSERT(dopIndex < DOP_COUNT);
    outputPin[outputPinOf(dopIndex)] = value;
    dopState[dopIndex] = value;
}

uint8_t platformDopGet(uint8_t dopIndex) {
    return dopIndex < DOP_COUNT ? dopState[dopIndex] : 0; // unchecked on the board; never past
}

void platformLedSet(uint8_t ledIndex, uint8_t value) {
    PLATFORM_ASSERT(ledIndex < LED_COUNT);
    ledPin[ledIndex] = value;
}

void platformLedToggle(uint8_t ledIndex) {
    PLATFORM_ASSERT(ledIndex < LED_COUNT);
    ledPin[ledIndex] = ledPin[ledIndex] == 0 ? 1 : 0;
}

void platformLedsOff() {
    platformDisableInterrupts();
    ledPin.fill(0);
}

void platformIoScan() {
    for (uint8_t i = 0; i < DIP_COUNT; ++i) {
        if (dipPin[i] == dipState[i]) {
            dipCount[i] = 0;
            continue;
        }
        ++dipCount[i];
        // Not reset on acceptance: the next scan that matches the new state clears it.
        if (dipCount[i] >= DEBOUNCE_SCANS) {
            platformLedToggle(DEBOUNCE_LED);
            dipState[i] = dipPin[i];
        }
    }
    for (uint8_t j = 0; j < DOP_COUNT; ++j) {
        outputPin[outputPinOf(j)] = dopState[j];
    }
}

void platformRecord(uint32_t kind) {
    if (kind == 1) {
        consolePrint("\nrec, reset");
        platformHalt();
    }
    if (kind == 3) {
        consolePrint("\nrec, PSU");
        while (platformPsuInput(0) == 0) {
            platformService();
        }
        platformHalt();
    }
}

void platformHalt() {
    for (;;) {
        Sleep(1000);
    }
}

void platformService() {}

void platformDisplayWrite(uint8_t byte) {
    displayReady();
    putNibble(static_cast<uint8_t>(byte >> 4));
    pulseE();
    putNibble(static_cast<uint8_t>(byte & 0x0F));
    pulseE();
    busyWait(6);
}

void platformDisplayInit() {
    const uint8_t saved = displayPort;
    displayE = 0;
    displayRs = 0;
    displayRw = 0;
    platformDelayMs(15);
    putNibble(0x3);
    pulseE();
    platformDelayMs(5);
    pulseE();
    busyWait(16);
    pulseE();
    platformDelayMs(5);
    putNibble(0x2);
    pulseE();
    busyWait(6);
    platformDisplayWrite(0x28); // 4-bit interface, two lines
    platformDisplayWrite(0x08); // display off
    platformDisplayWrite(0x0C); // display on, no cursor
    platformDisplayWrite(0x06); // entry mode: increment
    displayPort = saved;
}

void platformDisplayClear() {
    const uint8_t saved = displayPort;
    displayRs = 0;
    displayRw = 0;
    platformDisplayWrite(0x01);
    platformDelayMs(2);
    displayPort = saved;
}

void platformDisplayText(const char* text) {
    const uint8_t saved = displayPort;
    displayRs = 1;
    displayRw = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        platformDisplayWrite(static_cast<uint8_t>(*c));
    }
    displayPort = saved;
}

void platformDisplayGoto(uint8_t position) {
    const uint8_t saved = displayPort;
    displayRs = 0;
    displayRw = 0;
    platformDisplayWrite(static_cast<uint8_t>(0x80 + position));
    displayPort = saved;
}

void platformSetDipPin(uint8_t index, uint8_t level) {
    PLATFORM_ASSERT(index < DIP_COUNT);
    dipPin[index] = level;
}

uint8_t platformOutputPin(uint8_t pin) {
    PLATFORM_ASSERT(pin < PLATFORM_OUTPUT_PINS);
    return outputPin[pin];
}

uint8_t platformLedPin(uint8_t index) {
    PLATFORM_ASSERT(index < LED_COUNT);
    return ledPin[index];
}

uint8_t platformDisplayPort() {
    return displayPort;
}

void platformSetDisplayPort(uint8_t value) {
    displayPort = value;
}

void platformSetDisplayStrobe(PlatformDisplayStrobe strobe) {
    displayStrobe = strobe;
}

int platformRandom() {
    // The generator is never seeded; 15 bits whatever the library's range.
    const int r = std::rand() % 32768; // NOLINT(cert-msc30-c,cert-msc50-cpp)
    return 641 + (r - 16384) / 1638;
}
