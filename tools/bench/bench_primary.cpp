// bench_primary: the primary station without its menu, for the bulk-text benchmark. Once the
// IrCOMM channel is open it hands a block of text to primarySend on request and reports how long
// the queueing took. One argument: the port. Commands on standard input, one per line:
//   send N   queue N bytes (at most 4096) of the benchmark pattern
//   quit     end the program
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.h"
#include "console_streams.h"
#include "irphy.h"
#include "primary.h"

namespace {

constexpr size_t MAX_BLOCK = 4096;
constexpr size_t LINE_SIZE = 64;
constexpr uint8_t CHUNK = 255; // primarySend takes at most this many bytes per call
constexpr DWORD CONNECT_POLL_MS = 10;

// Printable ASCII in a cycle: no zero byte, no "AT" (the secondary would answer it), and one
// byte in 95 is the SIR control escape, which the link has to escape.
constexpr uint8_t PATTERN_FIRST = 0x20;
constexpr uint8_t PATTERN_SPAN = 95;

std::array<uint8_t, MAX_BLOCK> block{};

void fillPattern() {
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(PATTERN_FIRST + i % PATTERN_SPAN);
    }
}

int64_t microsecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

void sendBlock(size_t length) {
    while (primary::primaryIsConnected() == 0) {
        Sleep(CONNECT_POLL_MS);
    }
    const auto start = std::chrono::steady_clock::now();
    size_t sent = 0;
    while (sent < length) {
        const size_t left = length - sent;
        const auto piece = static_cast<uint8_t>(left < CHUNK ? left : CHUNK);
        primary::primarySend(&block[sent], piece);
        sent += piece;
    }
    consolePrint("\nbench queued:\t%zu bytes in %lld us", length,
                 static_cast<long long>(microsecondsSince(start)));
}

} // namespace

int main(int argc, char** argv) {
    hostKeepConsoleStreams();
    if (argc > 1 && !irphy_set_port_name(argv[1])) {
        consolePrint("\nport name too long: %s", argv[1]);
        return 1;
    }
    fillPattern();
    primary::primaryInit();
    primary::startStackTask();
    consolePrint("\nbench_primary ready");

    std::array<char, LINE_SIZE> line{};
    while (std::fgets(line.data(), static_cast<int>(line.size()), stdin) != nullptr) {
        if (std::strncmp(line.data(), "quit", 4) == 0) {
            break;
        }
        if (std::strncmp(line.data(), "send ", 5) == 0) {
            const unsigned long length = std::strtoul(line.data() + 5, nullptr, 10);
            if (length > 0 && length <= MAX_BLOCK) {
                sendBlock(length);
            } else {
                consolePrint("\nbench: length must be 1 to %zu", MAX_BLOCK);
            }
        }
    }
    primary::primaryTaskRunning().store(false);
    return 0;
}
