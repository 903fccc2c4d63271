#include "vlink_capture.h"

bool VlinkCapture::push(uint8_t byte, int64_t timeNs) {
    {
        const std::lock_guard<std::mutex> guard(lock);
        if (count == entries.size()) {
            overflowCount += 1;
            return false;
        }
        entries[(head + count) % entries.size()] = Entry{timeNs, byte};
        count += 1;
    }
    arrived.notify_one();
    return true;
}

void VlinkCapture::stop() {
    {
        const std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    arrived.notify_all();
}

bool VlinkCapture::finished() {
    const std::lock_guard<std::mutex> guard(lock);
    return stopping && count == 0;
}

uint64_t VlinkCapture::overflows() {
    const std::lock_guard<std::mutex> guard(lock);
    return overflowCount;
}

bool VlinkCapture::waitByte(uint16_t timeoutMs) {
    std::unique_lock<std::mutex> guard(lock);
    arrived.wait(guard, [this] { return count > 0 || stopping; });
    if (count == 0) {
        return false;
    }
    // A wait times out on the link's clock, by the gap before the byte's landing, not by when
    // this thread gets to run: a busy machine must not cut a frame the wire carried whole.
    const int64_t landed = entries[head].timeNs;
    if (landed - lastTime > static_cast<int64_t>(timeoutMs) * 1000000) {
        lastTime = landed; // the gap is spent: the next wait takes the byte
        return false;
    }
    return true;
}

uint8_t VlinkCapture::readByte() {
    const std::lock_guard<std::mutex> guard(lock);
    if (count == 0) {
        return 0;
    }
    const Entry entry = entries[head];
    head = (head + 1) % entries.size();
    count -= 1;
    lastTime = entry.timeNs;
    return entry.byte;
}

void vlinkCaptureRun(VlinkCapture& capture, VlinkFrameFn fn, void* context) {
    while (!capture.finished()) {
        RxFrame frame{};
        const uint16_t length = sirReceiveFrame(capture, frame);
        if (length > 0) {
            fn(context, capture.lastTimeNs(), std::span<const uint8_t>(frame.data(), length));
        }
    }
}
