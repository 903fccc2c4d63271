#include "lm_channel.h"

void TtpCredits::take(uint8_t credit) {
    const unsigned total = toSend + (credit & TTP_CREDIT_MASK);
    toSend = static_cast<uint8_t>(total > TTP_CREDIT_MAX ? TTP_CREDIT_MAX : total);
}

bool TtpCredits::spend() {
    if (toSend == 0) {
        return false;
    }
    --toSend;
    return true;
}

void TtpCredits::received() {
    if (granted == 0) {
        ++overruns;
    } else {
        --granted;
    }
}

uint8_t TtpCredits::grantable(int room, uint16_t pduSize) const {
    if (room <= 0 || pduSize == 0) {
        return 0;
    }
    // Every credit out may come back as a full PDU: all of them must fit the room together.
    const int fits = room / pduSize;
    const int more = fits - granted;
    if (more <= 0) {
        return 0;
    }
    const int most = TTP_CREDIT_MAX - granted;
    return static_cast<uint8_t>(more < most ? more : most);
}

uint8_t TtpCredits::grant(int room, uint16_t pduSize) {
    const uint8_t more = grantable(room, pduSize);
    granted = static_cast<uint8_t>(granted + more);
    return more;
}

LmChannel::LmChannel() {
    byteQueueSetUp(transmitQueue, transmitStorage, FULL_EXTRA_QUEUE_SIZE, transmitLock);
    byteQueueSetUp(receiveQueue, receiveStorage, FULL_EXTRA_QUEUE_SIZE, receiveLock);
}

size_t LmChannel::write(const uint8_t* data, size_t length) {
    if (data == nullptr || length == 0) {
        return 0;
    }
    const std::lock_guard<std::mutex> guard(transmitLock);
    const ChannelState now = channelState.load();
    if (now != CHANNEL_CONNECTING && now != CHANNEL_OPEN) {
        return 0;
    }
    return byteQueuePushAll(&transmitQueue, std::span<const uint8_t>(data, length));
}

size_t LmChannel::read(uint8_t* buffer, size_t size) {
    if (buffer == nullptr) {
        return 0;
    }
    const std::lock_guard<std::mutex> guard(receiveLock);
    return byteQueuePopAll(&receiveQueue, std::span<uint8_t>(buffer, size));
}

bool LmChannel::claim(uint8_t localSel, uint8_t peerSel, bool rawMode) {
    const std::lock_guard<std::mutex> hold(stateLock);
    if (channelState.load() != CHANNEL_IDLE) {
        return false;
    }
    {
        const std::scoped_lock guard(receiveLock, transmitLock);
        receiveQueue.clear(&receiveQueue);
        transmitQueue.clear(&transmitQueue);
    }
    local.store(localSel);
    peer.store(peerSel);
    rawData.store(rawMode);
    closeWanted.store(false);
    reason.store(CHANNEL_END_NONE);
    channelState.store(CHANNEL_CONNECTING);
    return true;
}

void LmChannel::requestClose() {
    const std::lock_guard<std::mutex> hold(stateLock);
    const ChannelState now = channelState.load();
    if (now == CHANNEL_ENDED) {
        channelState.store(CHANNEL_IDLE);
    } else if (now != CHANNEL_IDLE) {
        closeWanted.store(true);
    }
}

void LmChannel::open(uint8_t peerSel) {
    {
        const std::lock_guard<std::mutex> hold(stateLock);
        openLocked(peerSel);
    }
    changed();
}

void LmChannel::openLocked(uint8_t peerSel) {
    if (channelState.load() != CHANNEL_CONNECTING) {
        // Opened by the peer: nothing of an earlier channel may show in this one.
        const std::scoped_lock guard(receiveLock, transmitLock);
        receiveQueue.clear(&receiveQueue);
        transmitQueue.clear(&transmitQueue);
        closeWanted.store(false);
    }
    peer.store(peerSel);
    reason.store(CHANNEL_END_NONE);
    channelState.store(CHANNEL_OPEN);
}

void LmChannel::end(ChannelEnd why) {
    {
        const std::lock_guard<std::mutex> hold(stateLock);
        const ChannelState now = channelState.load();
        if (now == CHANNEL_IDLE || now == CHANNEL_ENDED) {
            return;
        }
        reason.store(why);
        // A channel our side closed has no one left to read its end.
        channelState.store(closeWanted.load() ? CHANNEL_IDLE : CHANNEL_ENDED);
    }
    changed();
}

bool LmChannel::deliver(const uint8_t* data, uint16_t count) {
    if (byteQueueRoom(&receiveQueue) < count) {
        return false;
    }
    if (count > 0) {
        byteQueuePushAll(&receiveQueue, std::span<const uint8_t>(data, count));
        changed();
    }
    return true;
}

std::span<const uint8_t> LmChannel::stage(uint16_t limit) {
    const size_t most = limit < staging.size() ? limit : staging.size();
    const size_t count = byteQueuePopAll(&transmitQueue, std::span<uint8_t>(staging.data(), most));
    if (count > 0) {
        changed(); // room to write
    }
    return {staging.data(), count};
}
