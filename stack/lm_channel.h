// LM-MUX channels beyond a link's first: each with its selectors, mode, queues and state (its
// TinyTP credits are the connection's), shared between the application's threads and the station's
// task; fixed storage only.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

#include "byte_queue.h"
#include "ir_options.h"

enum ChannelState : uint8_t {
    CHANNEL_IDLE = 0,
    CHANNEL_CONNECTING = 1,
    CHANNEL_OPEN = 2,
    CHANNEL_ENDED = 3,
};

// Why a channel ended.
enum ChannelEnd : uint8_t {
    CHANNEL_END_NONE = 0,
    CHANNEL_END_CLOSED = 1,     // our side closed it
    CHANNEL_END_PEER = 2,       // the peer's LM disconnect
    CHANNEL_END_REFUSED = 3,    // the peer refused the connect
    CHANNEL_END_NO_SERVICE = 4, // the peer's IAS has no such class or attribute
    CHANNEL_END_LINK = 5,       // the link under it ended
};

// Told when a lane's data, room or state changes, on the thread that changed it (the station's
// task for what the peer sent, acknowledged or ended). Cheap, and never calls the engine back.
constexpr int LANE_ALL = -1;
struct LaneObserver {
    void (*changed)(void* context, int lane) = nullptr;
    void* context = nullptr;
    void notify(int lane) const {
        if (changed != nullptr) {
            changed(context, lane);
        }
    }
};

// What a channel is, for a program's thread: selectors, mode and the names it was opened with
// ("" when by a selector given without asking).
struct ChannelInfo {
    uint8_t local = 0;
    uint8_t peer = 0;
    bool raw = false;
    std::array<char, IAS_NAMES_MAX + 1> className{};
    std::array<char, IAS_NAMES_MAX + 1> attribute{};
};

constexpr uint8_t TTP_CREDIT_MAX = 0x7F;
constexpr uint8_t TTP_CREDIT_MASK = 0x7F;

// One channel's TinyTP credits; only the station's task touches them.
struct TtpCredits {
    // Data PDUs the peer lets us send.
    uint8_t toSend = 0;
    // Data PDUs we let the peer send that have not come yet.
    uint8_t granted = 0;
    // Data PDUs the peer sent beyond its credits; never for a peer that keeps to them.
    uint32_t overruns = 0;

    void reset() { *this = TtpCredits{}; }
    void take(uint8_t credit);
    // False, spending nothing, without a credit.
    bool spend();
    // A data PDU came in.
    void received();
    // What `room` free bytes of the receive queue allow beyond the credits out, for PDUs of up to
    // `pduSize` bytes of data.
    uint8_t grantable(int room, uint16_t pduSize) const;
    // As grantable, and counted as granted: for the PDU being built.
    uint8_t grant(int room, uint16_t pduSize);
};

class LmChannel {
  public:
    LmChannel();
    LmChannel(const LmChannel&) = delete;
    LmChannel& operator=(const LmChannel&) = delete;
    LmChannel(LmChannel&&) = delete;
    LmChannel& operator=(LmChannel&&) = delete;
    ~LmChannel() = default;

    // ---- The application's, from any thread

    // Queues what fits while the channel is connecting or open, never waiting; returns the bytes.
    size_t write(const uint8_t* data, size_t length);
    size_t read(uint8_t* buffer, size_t size);
    int room() const { return byteQueueRoom(&transmitQueue); }
    int available() const { return receiveQueue.count(&receiveQueue); }
    // Queued bytes the engine has not taken yet.
    int queued() const { return transmitQueue.count(&transmitQueue); }
    ChannelState state() const { return channelState.load(); }
    ChannelEnd endReason() const { return reason.load(); }
    uint8_t localSelector() const { return local.load(); }
    uint8_t peerSelector() const { return peer.load(); }
    bool raw() const { return rawData.load(); }
    // Claims an idle channel for a connect from our side: false when it is in use.
    bool claim(uint8_t localSel, uint8_t peerSel, bool rawMode);
    // The engine sends the LM disconnect and the channel goes idle; a channel the peer or the link
    // ended goes idle at once.
    void requestClose();
    bool closeRequested() const { return closeWanted.load(); }

    // ---- Set up while the station's task is stopped

    void observeWith(const LaneObserver* observer, uint8_t lane) {
        watcher = observer;
        ownLane = lane;
    }

    // ---- The engine's, on the station's task

    // Opens (with empty queues when the peer opened it); the credits are the engine's to set.
    void open(uint8_t peerSel);
    void setPeer(uint8_t peerSel) { peer.store(peerSel); }
    void end(ChannelEnd why);
    bool deliver(const uint8_t* data, uint16_t count);
    bool hasData() const { return transmitQueue.isEmpty(&transmitQueue) == 0; }
    std::span<const uint8_t> stage(uint16_t limit);
    int receiveRoom() const { return byteQueueRoom(&receiveQueue); }

  private:
    void openLocked(uint8_t peerSel);
    void changed() const {
        if (watcher != nullptr) {
            watcher->notify(ownLane);
        }
    }

    const LaneObserver* watcher = nullptr;
    uint8_t ownLane = 0;
    std::atomic<ChannelState> channelState{CHANNEL_IDLE};
    std::atomic<ChannelEnd> reason{CHANNEL_END_NONE};
    std::atomic<uint8_t> local{0};
    std::atomic<uint8_t> peer{0};
    std::atomic<bool> rawData{false};
    std::atomic<bool> closeWanted{false};
    std::array<uint8_t, FULL_EXTRA_QUEUE_SIZE> transmitStorage{};
    std::array<uint8_t, FULL_EXTRA_QUEUE_SIZE> receiveStorage{};
    std::array<uint8_t, FULL_STAGING_SIZE> staging{};
    ByteQueue transmitQueue{};
    ByteQueue receiveQueue{};
    // Around writes and clears of the transmit queue, reads and clears of the receive queue, and
    // the state's changes.
    std::mutex transmitLock;
    std::mutex receiveLock;
    std::mutex stateLock;
};
