// Shared pieces of the fuzz targets: an in-memory byte link, a strict check of what a station sent,
// the input split into frame records, and a console that throws the trace away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "lap_port.h"
#include "sir.h"

// Stops the run as a crash, so the fuzzer keeps the input that broke the invariant.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

using Bytes = std::vector<uint8_t>;

// Each target's entry point, called by libFuzzer or by the replay tests in tests/fuzz_regressions.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

class FuzzLink final : public ByteLink {
  public:
    void sendByte(uint8_t byte) override { sent.push_back(byte); }
    bool waitByte(uint16_t /*timeoutMs*/) override { return !incoming.empty(); }
    uint8_t readByte() override;

    void feed(const uint8_t* data, size_t size) {
        incoming.insert(incoming.end(), data, data + size);
    }
    void feedFrame(const uint8_t* content, size_t size);

    std::deque<uint8_t> incoming;
    Bytes sent;
};

// The fuzzed line under SIR frames, on a clock the target moves; speed switches and resets always
// succeed.
class FuzzPort final : public SirFramePort {
  public:
    explicit FuzzPort(FuzzLink& line) : SirFramePort(line) {}
    uint32_t nowMs() override { return clockMs; }
    IrErr setSpeed(uint32_t /*speed*/) override { return IR_OK; }
    IrErr reset() override { return IR_OK; }
    uint32_t clockMs = 0;
};

// Installs a sink that drops every byte of console output, unless FUZZ_TRACE=1.
void fuzzSilenceConsole();

// Wire bytes of `content` as a SIR frame.
Bytes fuzzSirWrap(const uint8_t* content, size_t size);

// Checks that `wire` is nothing but whole, well-formed SIR frames (XBOFs, BOF, content escaped
// exactly where needed, good FCS, EOF) with at most `maxContent` content bytes each; returns the
// contents. Any fault aborts.
std::vector<Bytes> fuzzCheckSent(const Bytes& wire, size_t maxContent);

// One piece of a fuzzed session. The input is a run of records, each a header byte and its body:
//   0x00..0x7F  a frame of that many content bytes, wrapped as SIR;
//   0x80..0xBF  a text of (header & 0x3F) bytes for the station's transmit queue;
//   0xC0..0xDF  quiet steps, 4 * (header & 0x1F) + 1 of them;
//   0xE0..0xFF  (header & 0x1F) raw wire bytes, unwrapped: noise and broken frames.
// A body cut short by the end of the input is taken as it is.
struct FuzzRecord {
    enum Kind : uint8_t { frame, text, quiet, raw };
    Kind kind;
    const uint8_t* body;
    size_t size; // body bytes, or the number of quiet steps
};

class FuzzRecordReader {
  public:
    FuzzRecordReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool next(FuzzRecord& record);

  private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};
