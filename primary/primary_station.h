// One primary station: its connection, its ten-state engine, its timing, its service settings and
// its task, over the frame port it is given. A process may run several.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>

#include "discovery.h"
#include "ir_err.h"
#include "lap_connection.h"
#include "lap_port.h"
#include "lm_mux.h"
#include "pdu.h"
#include "primary_timing.h"
#include "win32.h"

namespace primary {

enum : uint8_t {
    PRIMARY_START_DELAY = 0,
    PRIMARY_DISCOVERY = 1,
    PRIMARY_CONNECTING = 2,
    PRIMARY_LINK_CHECK = 3,
    PRIMARY_IAS_CONNECT = 4,
    PRIMARY_IAS_QUERY = 5,
    PRIMARY_IAS_DISCONNECT = 6,
    PRIMARY_COMM_CONNECT = 7,
    PRIMARY_COMM_OPEN = 8,
    PRIMARY_CONNECTED = 9,
};

class PrimaryStation {
  public:
    explicit PrimaryStation(FramePort& framePort) : port(framePort) {}
    PrimaryStation(const PrimaryStation&) = delete;
    PrimaryStation& operator=(const PrimaryStation&) = delete;
    PrimaryStation(PrimaryStation&&) = delete;
    PrimaryStation& operator=(PrimaryStation&&) = delete;
    ~PrimaryStation() { stopTask(); }

    // ---- Before init, with the task stopped

    void setOffer(const LapOffer& offer) { linkOffer = offer; }
    // The IAS class and attribute asked for the selector (nullptr: IrCOMM's), or with `lsap` at
    // 0 to 127 that selector without asking; `raw`: TinyTP data without IrCOMM parameters. The
    // names must outlive the station; IR_ERR_ARG, changing nothing, when they do not fit a query.
    IrErr setService(const char* className, const char* attribute, int lsap, bool raw);
    // Each device that answers is kept and none connected.
    void setDiscoverOnly(bool on) { discoverOnly.store(on); }
    // On: a link that ends leaves the station quiet (halted) until init, instead of discovering
    // again by itself.
    void setQuietAfterLink(bool on) { quietAfterLink.store(on); }
    // On (full profile): a link address drawn at random, and discovery in rounds of slots (one
    // for a connect, with every few rounds and discovery alone LAP_DISCOVERY_SLOTS); two answers
    // with one address, or with ours, start a round that asks every device for a new one. Off:
    // the fixed address and one slot.
    void setRandomDiscovery(bool on) { ownAddress.setRandom(on, random, PRIMARY_DEVICE_ADDRESS); }
    // For tests: the draws from `seed` on, the address among them.
    void seedRandom(uint32_t seed) { ownAddress.reseed(random, seed); }
    // Discovery only, in rounds: `notify(context)` is called on the task's thread after each
    // round in which a device answered (null: none).
    void setRoundWatch(void (*notify)(void*), void* context) {
        roundNotify = notify;
        roundContext = context;
    }
    // What the state lines of the trace begin with ("<label> state:\t<n>"); the demo programs'
    // DEMO_STATE_LABEL unless set (nullptr sets it back). The text must outlive the station.
    void setStateLabel(const char* label) {
        stateLabel = label != nullptr ? label : DEMO_STATE_LABEL;
    }
    // Queues emptied, port reset, discovery from the start; the last error cleared.
    void init();

    // ---- The task, or a test stepping by hand

    void step();
    void startTask();
    // Ends the task and waits for it; the port stays open.
    void stopTask();
    std::atomic<bool>& runFlag() { return taskRunning; }

    // ---- From any thread

    uint8_t state() const { return engineState.load(); }
    LinkPhase phase() const;
    LapConnection& connection() { return conn; }
    // The last failure that ended a link (port, speed switch, broken peer); IR_OK when none.
    IrErr lastError() const { return error.load(); }
    // Answers of the device's IAS that it has no such service, since init.
    uint32_t serviceMissing() const { return missingService.load(); }
    // Discovery only, in rounds: the rounds since init in which a device answered.
    uint32_t answeredRounds() const { return roundsAnswered.load(); }
    // The station's link address (read while the task is stopped).
    uint32_t address() const { return ownAddress.value; }
    // The index-th device kept in discovery-only mode; false past the last.
    bool discovered(uint8_t index, LapDiscovered& device);
    // Full profile, on an established link: opens another channel to the service under
    // `className` and `attribute` (nullptr: IrCOMM's), asked of the peer's IAS, or with `lsap` at
    // 0 to 127 that selector without asking. The names are copied. Returns the channel's lane
    // (1 to MUX_CHANNELS - 1; see connection().extra()), or -1 when the names do not fit or every
    // lane is in use.
    int addChannel(const char* className, const char* attribute, int lsap, bool raw);
    // Asks the engine to end `lane` with an LM disconnect; the link stays.
    void closeChannel(uint8_t lane) { conn.requestLaneClose(lane); }
    // Asks the engine to end the link once the closes asked for have gone and been acknowledged:
    // a DISC, and the end at its UA or after a repeat's wait.
    void requestLinkEnd() { linkEndWanted.store(true); }
    // A link ended with quiet-after-link on: the engine sends nothing more until init.
    bool halted() const { return isHalted.load(); }
    // Full profile, with the task stopped: each link asks the device's IAS for `className` and
    // `attribute` (copied), keeps the answer and ends with a DISC instead of opening a channel;
    // nullptr ends the mode. IR_ERR_ARG when the names do not fit a query.
    IrErr setQueryOnly(const char* className, const char* attribute);
    // Full profile, on an established link: asks the device's IAS over a free lane, which goes
    // idle again after its IAS steps. The lane, or -1 as for addChannel.
    int addQuery(const char* className, const char* attribute);
    // The last query's answer from its return code on, copied into `out` as far as it fits: its
    // whole length, or -1 while none came.
    int queryAnswer(std::span<uint8_t> out);

    // What `lane` is (its LmChannel's state tells whether it is in use).
    ChannelInfo describeLane(uint8_t lane);

    // ---- For tests
    uint8_t stepCount() const { return timing.stepCount(); }
    uint8_t peerLsap() const { return peerComLsap; }
    const LinkRecord& record() const { return conn.record; }
    const PrimaryTiming& clock() const { return timing; }

  private:
    static DWORD WINAPI taskEntry(LPVOID self);
    void runTask();

    // primary_engine.cpp
    // The phase the connection shows follows the state; only openChannel opens it.
    void setState(uint8_t state);
    void startDiscovery();
    void acceptXidResponse(uint16_t length);
    void acceptUa(uint16_t length);
    uint16_t waitFrame(uint8_t state, bool& damaged);
    // The last read took an RR of the connection with its final bit (waitFrame reads past it).
    bool rrTaken = false;
    // The damaged frame just read began as the device's UA would.
    bool spoiltUa() const;
    // The Nr of an RR, or an I-frame in sequence: `checked`, only an Nr of the frames in flight
    // (false, taking nothing, otherwise); else as it comes.
    bool takeSequence(uint8_t control, bool isRrFrame, bool checked);
    void readAnswer(uint8_t state);
    void readConnected(uint16_t length, uint8_t expected, bool heldBefore);
    void poll(uint8_t state);
    // The give-up, a poll held back, the repeat: whichever is due; right after a read only the
    // give-up and the timed repeat (the rest wait for the next step).
    void checkTimers(uint8_t state, bool mayPoll);
    void giveUp(uint8_t state);
    // Back to the start state: after a short varied pause while the search is young.
    void searchAgain();
    // The link ends at the DISC's answer or its time-out.
    void endLink();
    bool linkEndDue();
    void sendDisc();
    // A port failure or a broken peer: shown, kept, and the link dropped.
    void fail(IrErr failure, const char* what);
    bool sent(IrErr result);
    void sendHeld(uint16_t length) { sent(conn.sendHeld(port, length)); }
    void sendRr() { sent(conn.sendRr(port)); }
    void resendHeld() { sent(conn.resendHeld(port)); }
    // The SNRM to the device found; a repeat's list is brief.
    void sendSnrm(bool repeat);
    bool isRr(uint16_t length) const { return length >= 2 && (conn.rx[1] & 0x0F) == LAP_RR; }

    // primary_discovery.cpp: the full profile's rounds of slots
    bool slotted() const { return ownAddress.drawn && timing.paced(); }
    void beginRound();
    void sendSlot();
    // A step of the round: an answer read, or the next slot (the final after the last) when
    // the slot's time is up.
    void stepRound();
    void takeRoundAnswer(uint16_t length);
    void endRound();
    void publishRound();

    // primary_upper.cpp
    void startService();
    void serviceConnected();
    void sendIasConnect();
    void sendIasQuery();
    bool takeIasAnswer(uint16_t length);
    void sendIasDisconnect();
    void sendCommConnect();
    void sendCommParams();
    bool isCommFrame(uint16_t length) const;
    uint16_t showCommLengths(uint16_t length);
    void openChannel();
    bool takeAnswer(uint16_t length, bool isData, bool inSequence);
    void sendNext();
    void keepDiscovered(uint16_t length);

    // primary_mux.cpp: the full profile's channels
    enum LaneStep : uint8_t {
        LANE_NONE,
        LANE_IAS_CONNECT,
        LANE_IAS_CONNECT_WAIT,
        LANE_IAS_QUERY,
        LANE_IAS_QUERY_WAIT,
        LANE_IAS_DISCONNECT,
        LANE_TTP_CONNECT,
        LANE_TTP_WAIT,
        LANE_PARAMS,
    };
    int addLane(const char* className, const char* attribute, int lsap, bool raw, bool query);
    void readConnectedFull(uint16_t length, uint8_t expected, bool heldBefore);
    bool takeLaneFrame(uint16_t length);
    void takeLaneControl(uint8_t lane, uint16_t length);
    void takeLaneIas(uint8_t lane, uint16_t length);
    bool takeLaneData(uint8_t lane, uint16_t length);
    // Something to send beyond a poll: a channel's set-up or close, a credit or data with one.
    bool hasWork();
    void sendNextFull();
    // One frame of the turn being built; false when nothing is owed.
    bool sendOneFull();
    bool sendLaneControl();
    bool sendLaneSetUp(uint8_t lane);
    void endLanes();

    // primary_query.cpp
    void keepAnswer(uint16_t length);
    // The query's link ends once its IAS steps are done.
    void endQueryLink();
    const char* queryClass() const { return queryOnly ? laneClass[0].data() : serviceClass; }
    const char* queryAttribute() const {
        return queryOnly ? laneAttribute[0].data() : serviceAttribute;
    }

    FramePort& port;
    LapConnection conn{true};
    PrimaryTiming timing;
    LapOffer linkOffer = LAP_FIXED_OFFER;
    std::atomic<uint8_t> engineState{PRIMARY_START_DELAY};
    uint8_t shownState = 0xFF;
    const char* stateLabel = DEMO_STATE_LABEL;
    std::atomic<IrErr> error{IR_OK};
    std::atomic<uint32_t> missingService{0};
    std::atomic<uint8_t> peerComLsap{0};

    const char* serviceClass = IAS_CLASS_IRCOMM;
    const char* serviceAttribute = IAS_ATTR_LSAP_SEL;
    int serviceLsap = -1; // -1: ask the IAS
    bool serviceRaw = false;
    std::atomic<bool> discoverOnly{false};

    LapRandom random;
    LapOwnAddress ownAddress{PRIMARY_DEVICE_ADDRESS};
    // The round under way: its slot, whether it asks for new addresses, what answered, and
    // whether two answers (or one and ours) had one address.
    uint8_t roundSlot = 0;
    uint8_t roundSlots = LAP_DISCOVERY_SLOTS;
    uint32_t unansweredRounds = 0;
    bool lineUntouched = false;
    bool askNewAddress = false;
    bool roundConflict = false;
    std::array<LapDiscovered, PRIMARY_DISCOVERED_MAX> roundFound{};
    uint8_t roundCount = 0;
    std::atomic<uint32_t> roundsAnswered{0};
    void (*roundNotify)(void*) = nullptr;
    void* roundContext = nullptr;

    std::mutex discoveredLock;
    std::array<LapDiscovered, PRIMARY_DISCOVERED_MAX> found{};
    uint8_t foundCount = 0;

    // The channels beyond the first: the set-up step (the engine's), and what the application
    // asked for (written before the lane is claimed, read by the engine after).
    std::array<uint8_t, MUX_CHANNELS> laneStep{};
    std::array<bool, MUX_CHANNELS> laneAsks{};
    std::array<bool, MUX_CHANNELS> laneFailed{};
    std::array<std::array<char, IAS_NAMES_MAX + 1>, MUX_CHANNELS> laneClass{};
    std::array<std::array<char, IAS_NAMES_MAX + 1>, MUX_CHANNELS> laneAttribute{};
    std::mutex laneLock;
    // Lanes set up only for an IAS query (the engine's once claimed, as laneAsks).
    std::array<bool, MUX_CHANNELS> laneQuery{};
    // The first link's query: its names are lane 0's entries above.
    bool queryOnly = false;
    std::mutex answerLock;
    std::array<uint8_t, LAP_MAX_DATA_SIZE> answer{};
    uint16_t answerLength = 0;
    std::atomic<bool> answered{false};
    // The peer's turn so far acknowledged or delivered something.
    bool peerTurnMoved = false;

    std::atomic<bool> quietAfterLink{false};
    std::atomic<bool> isHalted{false};
    std::atomic<bool> linkEndWanted{false};
    bool discSent = false;

    std::atomic<bool> taskRunning{false};
    HANDLE taskHandle = nullptr;
    uint32_t textsSeen = 0;

    // The channels' selectors, PDUs and turns, as the computer's side.
    LmMux mux{conn, LmSide{true, PRIMARY_OWN_LSAP}, peerComLsap, serviceRaw};
};

} // namespace primary
