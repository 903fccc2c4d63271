#include "sir.h"

#include "console.h"
#include "trace.h"

namespace {

constexpr uint8_t SIR_ESCAPE_XOR = 0x20;
// A longest frame with every content and FCS byte escaped.
constexpr size_t SIR_TX_GATHER_SIZE =
    SIR_XBOF_COUNT + SIR_MAX_ADDITIONAL_BOFS + 2 + 2 * (SIR_MAX_CONTENT + 2);

// Gathers wire bytes so that a port takes a frame in one write instead of one per byte.
class TxGather {
  public:
    explicit TxGather(ByteLink& target) : link(target) {}
    void put(uint8_t byte) {
        if (count == bytes.size()) {
            flush();
        }
        bytes[count] = byte;
        ++count;
    }
    void putEscaped(uint8_t byte) {
        if (byte == SIR_CE || byte == SIR_BOF || byte == SIR_EOF) {
            put(SIR_CE);
            put(static_cast<uint8_t>(byte ^ SIR_ESCAPE_XOR));
        } else {
            put(byte);
        }
    }
    void flush() {
        if (count != 0) {
            link.sendBytes(std::span<const uint8_t>(bytes.data(), count));
            count = 0;
        }
    }

  private:
    ByteLink& link;
    std::array<uint8_t, SIR_TX_GATHER_SIZE> bytes{};
    size_t count = 0;
};

} // namespace

uint16_t fcsUpdate(uint16_t fcs, uint8_t byte) {
    const auto low = static_cast<uint8_t>(fcs & 0xFF);
    const auto high = static_cast<uint8_t>(fcs >> 8);
    auto t = static_cast<uint8_t>(byte ^ low);
    t = static_cast<uint8_t>(t ^ (t << 4));
    const auto newLow = static_cast<uint8_t>(high ^ (t >> 4) ^ static_cast<uint8_t>(t << 3));
    const auto newHigh = static_cast<uint8_t>(t ^ (t >> 5));
    return static_cast<uint16_t>((newHigh << 8) | newLow);
}

void sirSendEscaped(ByteLink& link, uint8_t byte) {
    TxGather gather(link);
    gather.putEscaped(byte);
    gather.flush();
}

void sirSendFrame(ByteLink& link, const uint8_t* frame, uint16_t length) {
    // The peer's turnaround counts from its last byte, whatever the engine made of it: owed once
    // it was heard since our last frame or its bytes wait unread, and again when it speaks during
    // the pause (a peer that sends after its final frame, or repeats it).
    const bool heard = link.takeHeard();
    const uint32_t turnaround = link.turnaroundUs();
    if (turnaround != 0) {
        const bool waiting = link.waitByte(0);
        if (heard || waiting) {
            link.pauseUs(turnaround);
            if (!waiting && link.waitByte(0)) {
                link.pauseUs(turnaround);
            }
        }
    }
    TxGather gather(link);
    const uint16_t xbofs = link.leadBofs();
    for (uint16_t i = 0; i < xbofs; ++i) {
        gather.put(SIR_XBOF);
    }
    gather.put(SIR_BOF);
    uint16_t fcs = FCS_INIT;
    for (uint16_t i = 0; i < length; ++i) {
        gather.putEscaped(frame[i]);
        fcs = fcsUpdate(fcs, frame[i]);
    }
    fcs = static_cast<uint16_t>(~fcs);
    gather.putEscaped(static_cast<uint8_t>(fcs & 0xFF));
    gather.putEscaped(static_cast<uint8_t>(fcs >> 8));
    gather.put(SIR_EOF);
    gather.flush();
    frameTrace(frame, length);
}

uint16_t sirReceiveFrame(ByteLink& link, RxFrame& buffer, bool* damaged, uint16_t noiseQuietMs) {
    if (damaged != nullptr) {
        *damaged = false;
    }
    // Hunt for the BOF; anything else is dropped, for no longer than a quiet line would take.
    const uint32_t huntStart = link.nowMs();
    bool noise = false;
    for (;;) {
        const uint32_t hunted = link.nowMs() - huntStart;
        if (hunted >= SIR_HUNT_WAIT_MS) {
            return 0;
        }
        uint32_t wait = SIR_HUNT_WAIT_MS - hunted;
        if (noise && noiseQuietMs != 0 && noiseQuietMs < wait) {
            wait = noiseQuietMs; // a stray byte and quiet after it: no frame is coming
        }
        if (!link.waitByte(static_cast<uint16_t>(wait))) {
            return 0;
        }
        const uint8_t first = link.readByte();
        link.noteHeard();
        if (first == SIR_BOF) {
            break;
        }
        noise = true;
    }
    uint16_t fcs = FCS_INIT;
    uint16_t count = 0;
    // Whatever ends the frame short of an intact EOF: an address and a control byte make it a
    // damaged frame rather than noise.
    const auto spoilt = [&]() -> uint16_t {
        if (damaged != nullptr) {
            *damaged = count >= 2;
        }
        return 0;
    };
    for (;;) {
        if (count >= buffer.size()) {
            return spoilt(); // too long
        }
        if (!link.waitByte(SIR_BYTE_WAIT_MS)) {
            return spoilt(); // broke off
        }
        uint8_t byte = link.readByte();
        if (byte == SIR_BOF) {
            // A BOF inside a frame aborts it and begins the next: a long frame must not take the
            // start of the one after it down with it.
            fcs = FCS_INIT;
            count = 0;
            continue;
        }
        if (byte == SIR_EOF) {
            if (count < 2 || fcs != FCS_GOOD) {
                return spoilt();
            }
            const auto length = static_cast<uint16_t>(count - 2);
            // The mark of a received frame goes out with its trace, so that no other thread's
            // line can come between them.
            const ConsoleBatch batch;
            frameTrace(buffer.data(), length);
            consolePrint(".");
            return length;
        }
        if (byte == SIR_CE) {
            if (!link.waitByte(SIR_BYTE_WAIT_MS)) {
                return spoilt();
            }
            byte = static_cast<uint8_t>(link.readByte() ^ SIR_ESCAPE_XOR);
        }
        buffer[count] = byte;
        ++count;
        fcs = fcsUpdate(fcs, byte);
    }
}
