#include "lap_connection.h"

#include <chrono>

namespace {

// How long a sender waiting for room sleeps at most before it looks again: the engine's signal
// may come between the look and the wait.
constexpr uint32_t ROOM_WAIT_MS = 10;

} // namespace

void LapConnection::setUp(const LapOffer& offer, uint32_t ownAddress) {
    linkOffer = offer;
    {
        const std::scoped_lock guard(receiveLock, transmitLock);
        receiveQueue.init = byteQueueInit;
        receiveQueue.init(&receiveQueue, receiveStorage.data(),
                          lapQueueSize(offer, FIXED_RECEIVE_SIZE));
        transmitQueue.init = byteQueueInit;
        transmitQueue.init(&transmitQueue, transmitStorage.data(),
                           lapQueueSize(offer, FIXED_TRANSMIT_SIZE));
        linkPhase.store(LINK_SEARCHING);
    }
    lapResetLink(record, ownAddress);
    terms = LAP_FIXED_TERMS;
    held.length = 0;
    held.awaitingAck = false;
    staging.fill(0);
    stagedCount.store(0);
    dataUnacknowledged.store(false);
    discard.store(false);
    invalidNrRun = 0;
    invalidNrTotal = 0;
    fieldSizerLimit = 0;
    heldResent = false;
    resetWindow();
    laneCredits.fill(TtpCredits{});
    firstCloseWanted.store(false);
    endExtras(CHANNEL_END_LINK);
    const std::lock_guard<std::mutex> guard(queuedLock);
    woken = false;
}

void LapConnection::setObserver(const LaneObserver& observer) {
    laneObserver = observer;
    for (uint8_t lane = 1; lane < MUX_CHANNELS; ++lane) {
        extra(lane).observeWith(&laneObserver, lane);
    }
}

size_t LapConnection::send(const uint8_t* data, size_t length) {
    if (data == nullptr || length == 0) {
        return 0;
    }
    const std::lock_guard<std::mutex> text(sendLock);
    size_t queued = 0;
    bool open = false;
    uint32_t opening = 0;
    std::unique_lock<std::mutex> guard(transmitLock);
    while (queued < length) {
        const bool nowOpen = channelOpen();
        if (queued == 0) {
            // Nothing of the text is queued yet, so it may still choose its channel.
            open = nowOpen;
            opening = channelOpenings;
            if (!open && wholeTextsBeforeOpen && static_cast<size_t>(room()) < length) {
                break;
            }
        } else if (!nowOpen || channelOpenings != opening) {
            break; // the channel the text was meant for is gone
        }
        queued += byteQueuePushAll(&transmitQueue,
                                   std::span<const uint8_t>(data + queued, length - queued));
        {
            const std::lock_guard<std::mutex> count(queuedLock);
            ++queuedTexts;
        }
        queuedSignal.notify_one();
        if (!open || queued == length) {
            break;
        }
        roomMade.wait_for(guard, std::chrono::milliseconds(ROOM_WAIT_MS),
                          [this] { return room() > 0 || !channelOpen(); });
    }
    return queued;
}

bool LapConnection::trySend(const uint8_t* data, size_t length) {
    const std::unique_lock<std::mutex> text(sendLock, std::try_to_lock);
    if (!text.owns_lock() || data == nullptr) {
        return false;
    }
    const std::lock_guard<std::mutex> guard(transmitLock);
    if (static_cast<size_t>(room()) < length) {
        return false;
    }
    byteQueuePushAll(&transmitQueue, std::span<const uint8_t>(data, length));
    return true;
}

size_t LapConnection::receive(uint8_t* buffer, size_t size) {
    if (buffer == nullptr) {
        return 0;
    }
    const std::lock_guard<std::mutex> guard(receiveLock);
    // The engine may push while we pop; never take more than the caller's room.
    return byteQueuePopAll(&receiveQueue, std::span<uint8_t>(buffer, size));
}

int LapConnection::room() const {
    return byteQueueRoom(&transmitQueue);
}

int LapConnection::laneUnacknowledged(uint8_t lane) {
    const std::lock_guard<std::mutex> guard(transmitLock);
    const int queued = lane == 0 ? transmitQueue.count(&transmitQueue) : extra(lane).queued();
    if (linkOffer.negotiates) {
        // Staged bytes count until their frame joins the window, which counts them from there.
        const int staged = stagedLane.load() == lane ? stagedCount.load() : 0;
        return queued + staged + static_cast<int>(lapWindow.laneBytes(lane));
    }
    const bool stagedHere = dataUnacknowledged.load() && stagedLane.load() == lane;
    return queued + (stagedHere ? stagedCount.load() : 0);
}

bool LapConnection::allAcknowledged() const {
    // The queue first: the engine marks the data unacknowledged before it pops it.
    const bool drained = transmitQueue.isEmpty(&transmitQueue) != 0;
    return drained && !dataUnacknowledged.load();
}

uint32_t LapConnection::textsQueued() {
    const std::lock_guard<std::mutex> guard(queuedLock);
    return queuedTexts;
}

void LapConnection::waitQueued(uint32_t& seen, uint32_t milliseconds) {
    std::unique_lock<std::mutex> guard(queuedLock);
    const uint32_t before = seen;
    queuedSignal.wait_for(guard, std::chrono::milliseconds(milliseconds),
                          [&] { return queuedTexts != before || woken; });
    seen = queuedTexts;
}

void LapConnection::wake() {
    {
        const std::lock_guard<std::mutex> guard(queuedLock);
        woken = true;
    }
    queuedSignal.notify_all();
    notifyRoom();
}

void LapConnection::notifyRoom() {
    roomMade.notify_all();
}

void LapConnection::setPhase(LinkPhase phase) {
    if (phase == LINK_OPEN) {
        openChannel();
        return;
    }
    {
        // Under the lock, so a sender looking at the phase sees the channel's end.
        const std::lock_guard<std::mutex> guard(transmitLock);
        linkPhase.store(phase);
    }
    notifyRoom();
    notifyLanes();
}

void LapConnection::openChannel(void (*opened)(void* station), void* station) {
    {
        const std::scoped_lock guard(receiveLock, transmitLock);
        // Under the lock, so that a text is either queued before the clear or finds the channel
        // open; the station's state first, so that the channel never looks open to a link that
        // looks down.
        receiveQueue.clear(&receiveQueue);
        transmitQueue.clear(&transmitQueue);
        if (opened != nullptr) {
            opened(station);
        }
        linkPhase.store(LINK_OPEN);
        ++channelOpenings;
    }
    notifyLanes();
}

bool LapConnection::takeNr(uint8_t control) {
    const uint8_t nr = lapNr(control);
    if (linkOffer.negotiates) {
        return fullTakeNr(nr);
    }
    // In flight is at most the held I-frame: its Nr says "not yet" (vs) or "taken" (vs + 1).
    const bool valid = nr == record.vs || (held.awaitingAck && nr == lapSeqNext(record.vs));
    if (!valid) {
        ++invalidNrTotal;
        if (invalidNrRun < UINT8_MAX) {
            ++invalidNrRun;
        }
        return false;
    }
    invalidNrRun = 0;
    const bool wasAwaited = held.awaitingAck;
    lapTakeNr(record, held, control);
    if (wasAwaited && !held.awaitingAck && !heldResent) {
        fieldSizer.clean();
    }
    return true;
}

bool LapConnection::acceptIFrame(uint8_t control) {
    if (lapNs(control) != record.vr || !takeNr(control)) {
        return false;
    }
    record.vr = lapSeqNext(record.vr);
    return true;
}

bool LapConnection::deliver(const uint8_t* data, uint16_t count) {
    const bool dropped = discard.load();
    if (!dropped && byteQueueRoom(&receiveQueue) < count) {
        return false;
    }
    if (dropped || count == 0) {
        return true;
    }
    byteQueuePushAll(&receiveQueue, std::span<const uint8_t>(data, count));
    lapWatchDelivered(linkWatch);
    laneObserver.notify(0);
    return true;
}

uint16_t LapConnection::dataLimit(uint16_t fixedLimit, uint16_t extra) {
    if (!linkOffer.negotiates) {
        return fixedLimit;
    }
    const uint16_t overhead = COMM_DATA_OVERHEAD + extra;
    const uint16_t field = currentField();
    const uint16_t limit = field > overhead ? field - overhead : 0;
    return limit < FULL_STAGING_SIZE ? limit : FULL_STAGING_SIZE;
}

std::span<const uint8_t> LapConnection::stage(uint16_t limit) {
    stagedLane.store(0);
    // Before the pop, so that no reader sees the queue empty and the data acknowledged.
    dataUnacknowledged.store(true);
    const size_t most = limit < staging.size() ? limit : staging.size();
    const auto count = static_cast<uint16_t>(
        byteQueuePopAll(&transmitQueue, std::span<uint8_t>(staging.data(), most)));
    stagedCount.store(count);
    notifyRoom();
    if (count > 0) {
        laneObserver.notify(0);
    }
    return {staging.data(), count};
}

IrErr LapConnection::sendHeld(FramePort& port, uint16_t length) {
    if (linkOffer.negotiates && length >= 2 && (tx[1] & 1) == 0) {
        held.length = length;
        const IrErr queued = queueIFrame(length);
        return queued != IR_OK || turnOpen ? queued : endTurn(port);
    }
    held.length = length;
    held.awaitingAck = length >= 2 && (held.frame[1] & 1) == 0;
    heldResent = false;
    return port.sendFrame(held.frame.data(), held.length);
}

void LapConnection::noteResend() {
    if (held.awaitingAck) {
        heldResent = true;
        fieldSizer.lost();
    }
}

IrErr LapConnection::repeatHeld(FramePort& port) {
    if (linkOffer.negotiates && held.length >= 2 && (held.frame[1] & 1) == 0) {
        return endTurn(port); // the window again, or a poll when all was acknowledged
    }
    noteResend();
    return port.sendFrame(held.frame.data(), held.length);
}

IrErr LapConnection::resendHeld(FramePort& port) {
    if (linkOffer.negotiates) {
        return endTurn(port);
    }
    noteResend();
    held.frame[1] = static_cast<uint8_t>((held.frame[1] & 0x1F) | (record.vr << 5));
    return port.sendFrame(held.frame.data(), held.length);
}

IrErr LapConnection::sendRr(FramePort& port) {
    return linkOffer.negotiates && turnOpen ? IR_OK : sendRrNow(port);
}

IrErr LapConnection::sendRrNow(FramePort& port) {
    const uint8_t address = commandSide ? static_cast<uint8_t>(record.connectionAddress | LAP_CR)
                                        : record.connectionAddress;
    const uint8_t frame[2] = {address,
                              static_cast<uint8_t>(((record.vr & 7) << 5) | LAP_PF | LAP_RR)};
    return port.sendFrame(frame, sizeof frame);
}

void LapConnection::noteStepEnd() {
    if (channelOpen()) {
        dataUnacknowledged.store(held.awaitingAck);
    }
    const bool linked = linkWatch.speed.load() != 0;
    linkWatch.window.store(linked ? terms.window : 0);
    linkWatch.field.store(linked && fullProfile() ? currentField() : 0);
}

bool LapConnection::laneOpen(uint8_t lane) {
    return lane == 0 ? channelOpen() : extra(lane).state() == CHANNEL_OPEN;
}

bool LapConnection::laneHasData(uint8_t lane) {
    return lane == 0 ? hasData() : extra(lane).hasData();
}

std::span<const uint8_t> LapConnection::laneStage(uint8_t lane, uint16_t limit) {
    if (lane == 0) {
        return stage(limit);
    }
    stagedLane.store(lane);
    // Before the pop, as for the first lane.
    dataUnacknowledged.store(true);
    const std::span<const uint8_t> data = extra(lane).stage(limit);
    stagedCount.store(static_cast<uint16_t>(data.size()));
    return data;
}

bool LapConnection::laneDeliver(uint8_t lane, const uint8_t* data, uint16_t count) {
    if (lane == 0) {
        return deliver(data, count);
    }
    if (!extra(lane).deliver(data, count)) {
        return false;
    }
    lapWatchDelivered(linkWatch);
    return true;
}

uint16_t LapConnection::peerPduSize() const {
    // LM-MUX's two bytes and TinyTP's one: raw data may use all the rest.
    constexpr uint16_t headers = 3;
    return terms.dataSize > headers ? static_cast<uint16_t>(terms.dataSize - headers) : 1;
}

int LapConnection::laneReceiveRoom(uint8_t lane) {
    return lane == 0 ? byteQueueRoom(&receiveQueue) : extra(lane).receiveRoom();
}

uint8_t LapConnection::laneGrant(uint8_t lane) {
    stagedLane.store(lane); // the PDU being built is this lane's, data or not
    return credits(lane).grant(laneReceiveRoom(lane), peerPduSize());
}

bool LapConnection::laneNeedsCredit(uint8_t lane) {
    if (!laneOpen(lane)) {
        return false;
    }
    // Topped up at half, not at none: a sender that spends its last credit mid-turn waits a
    // whole exchange for the next.
    return credits(lane).grantable(laneReceiveRoom(lane), peerPduSize()) > credits(lane).granted;
}

void LapConnection::endExtras(ChannelEnd why) {
    for (LmChannel& channel : extras) {
        channel.end(why);
    }
}
