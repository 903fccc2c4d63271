#include "vlink_capture.h"

#include <chrono>

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
    return arrived.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] {
        return count > 0 || stopping;
    }) && count > 0;
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
