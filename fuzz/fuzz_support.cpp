#include "fuzz_support.h"

#include <algorithm>
#include <cstdlib>

#include "console.h"

namespace {

constexpr uint8_t ESCAPE_XOR = 0x20;

bool needsEscape(uint8_t byte) {
    return byte == SIR_BOF || byte == SIR_EOF || byte == SIR_CE;
}

void putEscaped(Bytes& out, uint8_t byte) {
    if (needsEscape(byte)) {
        out.push_back(SIR_CE);
        out.push_back(static_cast<uint8_t>(byte ^ ESCAPE_XOR));
    } else {
        out.push_back(byte);
    }
}

void discard(const char* /*text*/, size_t /*length*/) {}

} // namespace

uint8_t FuzzLink::readByte() {
    if (incoming.empty()) {
        return 0;
    }
    const uint8_t byte = incoming.front();
    incoming.pop_front();
    return byte;
}

void FuzzLink::feedFrame(const uint8_t* content, size_t size) {
    const Bytes wire = fuzzSirWrap(content, size);
    incoming.insert(incoming.end(), wire.begin(), wire.end());
}

void fuzzSilenceConsole() {
    // FUZZ_TRACE=1 keeps the trace on stdout, to see what an input does.
    const char* trace = std::getenv("FUZZ_TRACE");
    if (trace == nullptr || trace[0] != '1') {
        consoleSetSink(discard);
    }
}

Bytes fuzzSirWrap(const uint8_t* content, size_t size) {
    Bytes out(10, SIR_XBOF);
    out.push_back(SIR_BOF);
    uint16_t fcs = FCS_INIT;
    for (size_t i = 0; i < size; ++i) {
        putEscaped(out, content[i]);
        fcs = fcsUpdate(fcs, content[i]);
    }
    fcs = static_cast<uint16_t>(~fcs);
    putEscaped(out, static_cast<uint8_t>(fcs & 0xFF));
    putEscaped(out, static_cast<uint8_t>(fcs >> 8));
    out.push_back(SIR_EOF);
    return out;
}

std::vector<Bytes> fuzzCheckSent(const Bytes& wire, size_t maxContent) {
    std::vector<Bytes> frames;
    size_t i = 0;
    while (i < wire.size()) {
        size_t xbofs = 0;
        while (i < wire.size() && wire[i] == SIR_XBOF) {
            ++xbofs;
            ++i;
        }
        // None is right once a link has taken the peer's terms and the peer asked for none.
        FUZZ_CHECK(xbofs <= SIR_XBOF_COUNT + SIR_MAX_ADDITIONAL_BOFS);
        FUZZ_CHECK(i < wire.size() && wire[i] == SIR_BOF);
        ++i;
        Bytes body;
        uint16_t fcs = FCS_INIT;
        for (;;) {
            FUZZ_CHECK(i < wire.size()); // frame cut off
            uint8_t byte = wire[i++];
            if (byte == SIR_EOF) {
                break;
            }
            FUZZ_CHECK(byte != SIR_BOF);
            if (byte == SIR_CE) {
                FUZZ_CHECK(i < wire.size());
                byte = static_cast<uint8_t>(wire[i++] ^ ESCAPE_XOR);
                FUZZ_CHECK(needsEscape(byte)); // escaped only where it must be
            }
            body.push_back(byte);
            fcs = fcsUpdate(fcs, byte);
        }
        FUZZ_CHECK(body.size() >= 2);
        FUZZ_CHECK(fcs == FCS_GOOD);
        body.resize(body.size() - 2);
        FUZZ_CHECK(body.size() <= maxContent);
        frames.push_back(std::move(body));
    }
    return frames;
}

bool FuzzRecordReader::next(FuzzRecord& record) {
    if (offset_ >= size_) {
        return false;
    }
    const uint8_t header = data_[offset_++];
    const size_t left = size_ - offset_;
    size_t bodySize = 0;
    if (header < 0x80) {
        record.kind = FuzzRecord::frame;
        bodySize = header;
    } else if (header < 0xC0) {
        record.kind = FuzzRecord::text;
        bodySize = header & 0x3F;
    } else if (header < 0xE0) {
        record.kind = FuzzRecord::quiet;
        record.body = nullptr;
        record.size = 4 * static_cast<size_t>(header & 0x1F) + 1;
        return true;
    } else {
        record.kind = FuzzRecord::raw;
        bodySize = header & 0x1F;
    }
    bodySize = std::min(bodySize, left);
    record.body = data_ + offset_;
    record.size = bodySize;
    offset_ += bodySize;
    return true;
}
