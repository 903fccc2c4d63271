#include "memory_link.h"

bool MemoryLink::waitByte(uint16_t timeoutMs) {
    waits.push_back(timeoutMs);
    return !incoming.empty();
}

uint8_t MemoryLink::readByte() {
    if (incoming.empty()) {
        return 0;
    }
    const uint8_t byte = incoming.front();
    incoming.pop_front();
    return byte;
}

void MemoryLink::feed(const std::vector<uint8_t>& bytes) {
    incoming.insert(incoming.end(), bytes.begin(), bytes.end());
}

void MemoryLink::feedFrame(const std::vector<uint8_t>& content) {
    feed(sirWrap(content));
}

std::vector<std::vector<uint8_t>> MemoryLink::takeSentFrames() {
    auto frames = sirUnwrapAll(sent);
    sent.clear();
    return frames;
}

namespace {

void putEscaped(std::vector<uint8_t>& out, uint8_t byte) {
    if (byte == SIR_BOF || byte == SIR_EOF || byte == SIR_CE) {
        out.push_back(SIR_CE);
        out.push_back(byte ^ 0x20);
    } else {
        out.push_back(byte);
    }
}

} // namespace

std::vector<uint8_t> sirWrap(const std::vector<uint8_t>& content) {
    std::vector<uint8_t> out(10, SIR_XBOF);
    out.push_back(SIR_BOF);
    uint16_t fcs = FCS_INIT;
    for (const uint8_t byte : content) {
        putEscaped(out, byte);
        fcs = fcsUpdate(fcs, byte);
    }
    fcs = static_cast<uint16_t>(~fcs);
    putEscaped(out, static_cast<uint8_t>(fcs & 0xFF));
    putEscaped(out, static_cast<uint8_t>(fcs >> 8));
    out.push_back(SIR_EOF);
    return out;
}

std::vector<std::vector<uint8_t>> sirUnwrapAll(const std::vector<uint8_t>& wire) {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint8_t> current;
    bool inFrame = false;
    bool escaped = false;
    for (const uint8_t byte : wire) {
        if (byte == SIR_BOF) {
            current.clear();
            inFrame = true;
            escaped = false;
        } else if (!inFrame) {
            continue;
        } else if (byte == SIR_EOF) {
            uint16_t fcs = FCS_INIT;
            for (const uint8_t b : current) {
                fcs = fcsUpdate(fcs, b);
            }
            if (current.size() >= 2 && fcs == FCS_GOOD) {
                current.resize(current.size() - 2);
                frames.push_back(current);
            }
            inFrame = false;
        } else if (byte == SIR_CE) {
            escaped = true;
        } else {
            current.push_back(escaped ? static_cast<uint8_t>(byte ^ 0x20) : byte);
            escaped = false;
        }
    }
    return frames;
}
