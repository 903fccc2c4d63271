// The secondary station as an object: its six-state engine, the upper layers it serves (LM-MUX,
// IAS, TinyTP, IrCOMM), its task and its connection, all over the one frame port it is given.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>

#include "discovery.h"
#include "ias_server.h"
#include "ir_err.h"
#include "ir_options.h"
#include "lap_connection.h"
#include "lap_port.h"
#include "lap_terms.h"
#include "lm_mux.h"
#include "secondary_timing.h"
#include "task_thread.h"
#include "win32.h"

namespace secondary {

constexpr uint8_t OWN_LSAP = SECONDARY_OWN_LSAP;

enum SecondaryState : uint8_t {
    SEC_IDLE = 0,
    SEC_DISCOVERED = 1,
    SEC_LINKED = 2,
    SEC_LM_CONNECTED = 3,
    SEC_TTP_CONNECTED = 4,
    SEC_IRCOMM_OPEN = 5,
};

class SecondaryStation {
  public:
    explicit SecondaryStation(FramePort& framePort);
    SecondaryStation(const SecondaryStation&) = delete;
    SecondaryStation& operator=(const SecondaryStation&) = delete;
    SecondaryStation(SecondaryStation&&) = delete;
    SecondaryStation& operator=(SecondaryStation&&) = delete;
    ~SecondaryStation() = default;

    // ---- Set up while the task is stopped

    // What the UA offers (the fixed list unless set).
    void setOffer(const LapOffer& offer) { linkOffer = offer; }
    // The IAS class and attribute it answers (nullptr: the built-in names), and `raw`: TinyTP data
    // as it is, the channel open as soon as TinyTP connects. IR_ERR_ARG, changing nothing, when
    // the names together are longer than an IAS query carries.
    IrErr setService(const char* className, const char* attribute, bool raw);
    // Full profile: offers another service at once on a selector of its own (the lane's after
    // OWN_LSAP), from any thread, the task running or not; it stays offered until
    // clearServices. Returns its lane (1 to MUX_CHANNELS - 1; see connection().extra()), the
    // lane already offered under the same names, or -1 when the names do not fit or every lane has
    // a service.
    int addService(const char* className, const char* attribute, bool raw);
    // The services beyond the first withdrawn (task stopped).
    void clearServices();
    // Asks the engine to end `lane` with an LM disconnect; the link stays.
    void closeChannel(uint8_t lane) { link.requestLaneClose(lane); }
    // Full profile: asks the engine to end the link once the closes asked for have gone and been
    // acknowledged; it asks the primary with an RD, which the primary answers with a DISC.
    void requestLinkEnd() { linkEndWanted.store(true); }
    // On: a link that ends leaves discovery unanswered until a listener asks again.
    void setQuietAfterLink(bool on) { quietAfterLink.store(on); }
    // A program waits for a link (on), or no longer does; waiting answers discovery again.
    void setListening(bool on);
    // Discovery is answered: always, unless quiet after a link with no listener waiting.
    bool discoverable() const { return answersDiscovery.load(); }
    // On (full profile): a link address drawn at random, drawn again when a discovery asks for
    // new addresses, and discovery answered in a random slot of those it offers. Off: the fixed
    // address and slot 0.
    void setRandomDiscovery(bool on) { ownAddress.setRandom(on, random, SECONDARY_DEVICE_ADDRESS); }
    // For tests: the draws from `seed` on, the address among them; or the address itself, until
    // a discovery asks for a new one.
    void seedRandom(uint32_t seed) { ownAddress.reseed(random, seed); }
    void setAddress(uint32_t address) { ownAddress.value = address; }
    // The nickname and hint bits (first hint byte low) discovery is answered with; IR_ERR_ARG,
    // changing nothing, for a nickname lapNicknameValid refuses. Unset: the IrCOMM hint alone.
    IrErr setIdentity(const char* nickname, uint16_t hints);
    // Off: the task leaves received bytes to the program and answers nothing itself.
    void setDemoAnswers(bool on) { demoAnswers.store(on); }
    // What the state lines of the trace begin with ("<label> state:\t<n>"); the demo programs'
    // DEMO_STATE_LABEL unless set (nullptr sets it back). The text must outlive the station.
    void setStateLabel(const char* label) {
        stateLabel = label != nullptr ? label : DEMO_STATE_LABEL;
    }
    // Starts afresh: queues emptied, the transceiver reset, idle at 9600 bit/s.
    void init();

    // ---- The task

    // One non-blocking step: reads at most one frame and sends at most one reply.
    void step();
    // The last step saw a frame begin, so the next step reads it.
    bool byteSeen() const { return seenByte; }
    // The full profile: frame-paced steps, time-outs in time.
    bool paced() const { return linkOffer.negotiates; }
    // A step, then (demo answers) fetch, print and answer "AT".
    void taskPass();
    // The task's loop while its run flag is up; returns when it falls.
    DWORD runTask();
    bool startTask();
    void stopTask();
    std::atomic<bool>& runFlag() { return taskRunning; }

    // ---- Any thread

    SecondaryState state() const { return static_cast<SecondaryState>(engineState.load()); }
    LapConnection& connection() { return link; }
    // The last failure of the port or of the link, IR_OK while there was none.
    IrErr lastError() const { return lastErr.load(); }
    uint32_t speed() const { return linkSpeed.load(); }
    // The station's link address (read while the task is stopped).
    uint32_t address() const { return ownAddress.value; }
    // Queues one text whole; while the channel is open a text longer than the free room waits for
    // the engine to drain the queue. Never call from the task thread.
    void send(const uint8_t* data, uint8_t length) { link.send(data, length); }
    // What `lane` is (its LmChannel's state tells whether it is in use).
    ChannelInfo describeLane(uint8_t lane);

    // ---- The engine's, on the task's thread (tests set states through them)

    void setState(SecondaryState next);
    uint8_t shownState = 0xFF;
    std::atomic<uint8_t> peerComLsap{0};

  private:
    // The SNRM just taken changed the speed: its first frame at the new one is awaited.
    bool linkMade = false;
    // secondary_discovery.cpp
    bool handleXid(uint16_t length);
    // Whether this command is the one of the round to answer (once, in our slot or the first
    // after it); a new round may renew the address first.
    bool answersSlot(uint8_t flags, uint8_t slot);
    uint16_t putDiscoveryInfo(uint8_t* destination) const;
    // The IAS answer of class Device, attribute DeviceName: the nickname of the discovery
    // information as a user string.
    static constexpr size_t IAS_DEVICE_RESULT_SIZE = 8 + LAP_DISCOVERY_INFO_SIZE;
    uint8_t putDeviceName(std::span<uint8_t, IAS_DEVICE_RESULT_SIZE> result) const;

    // secondary_engine.cpp
    bool handleUnnumbered(uint16_t length);
    bool handleSnrm(uint16_t length);
    bool handleDisc();
    bool handleSupervisory();
    bool handleInformation(uint16_t length);
    void answerDamagedPoll();
    bool addressMatches(uint8_t addressByte) const;
    // The peer's Nr: the full profile ignores one outside the frames in flight and drops a link
    // that keeps sending them; the fixed profile takes it as the demos always have.
    bool takeNr(uint8_t control);
    bool acceptIFrame(uint8_t control);
    // Passes `validNr` on; a peer that keeps acknowledging frames never sent loses the link.
    bool peerKeptToFrames(bool validNr);
    void giveUp();
    void dropLink();
    IrErr setSpeed(uint32_t speed);
    void endTerms();
    void noteError(IrErr error);
    void sendTx(uint16_t length);
    void sendRr();
    // The answer to a poll: the unacknowledged I-frame again, else (channel open) queued data,
    // else an RR.
    void answerPoll(uint8_t dlsap);

    // secondary_upper.cpp
    void handleIFrame(const uint8_t* frame, uint16_t length);
    void handleLmControl(const uint8_t* frame, uint16_t length);
    void handleIas(const uint8_t* frame, uint16_t length);
    void handleIrComm(const uint8_t* frame, uint16_t length);
    void sendPending(uint8_t dlsap, bool lineSettings);

    // secondary_mux.cpp: the full profile's channels
    // The mode of the service offered on `lane`.
    bool laneRaw(uint8_t lane) const;
    void handleLmControlFull(const uint8_t* frame, uint16_t length);
    void acceptConnect(const uint8_t* frame, uint16_t length);
    void takeDisconnect(uint8_t ours, uint8_t theirs);
    void takeLaneData(uint8_t lane, const uint8_t* frame, uint16_t length);
    // The answer to a poll or to data in the full profile: the held frame, a close, the line
    // settings owed, a credit, data with a credit, else an RR.
    // Full profile: frames of a window taken one by one, the reply sent at the one with P/F.
    bool handleInformationFull(uint16_t length);
    void replyFull();
    bool linkEndDue();
    // One frame of the reply being built; false when nothing is owed.
    bool replyOneFull();

    FramePort& port;
    LapConnection link{false, true};
    SecondaryTiming timing;
    LapOffer linkOffer = LAP_FIXED_OFFER;
    std::atomic<uint8_t> engineState{SEC_IDLE};
    const char* stateLabel = DEMO_STATE_LABEL;
    bool seenByte = false;
    std::atomic<uint32_t> linkSpeed{LAP_FIXED_TERMS.speed};
    std::atomic<IrErr> lastErr{IR_OK};

    LapRandom random;
    LapOwnAddress ownAddress{SECONDARY_DEVICE_ADDRESS};
    // The round under way: the last slot heard (the final slot between rounds), ours, and
    // whether we answered.
    uint8_t lastSlot = LAP_XID_FINAL_SLOT;
    uint8_t chosenSlot = 0;
    bool answeredRound = false;
    std::array<char, LAP_NICKNAME_MAX + 1> nickname{}; // "" until set
    uint16_t hintBits = 0;

    bool serviceRaw = false;
    // The services offered, each on its own selector, and their IAS.
    IasServer ias{OWN_LSAP};
    // Each IrCOMM channel answers the peer's parameters with its line settings, whichever lane
    // its service was offered on.
    std::array<bool, MUX_CHANNELS> settingsOwed{};

    std::atomic<bool> demoAnswers{true};
    std::atomic<bool> quietAfterLink{false};
    std::atomic<bool> answersDiscovery{true};
    // Around the listener's flag and the link's end, so neither's change of discovery is lost.
    std::mutex listenLock;
    bool listening = false;
    std::atomic<bool> linkEndWanted{false};
    // Modem answers owed to the peer that did not fit yet; queued on a later pass.
    uint8_t answersOwed = 0;
    bool taskConnected = false;
    TaskThread taskThread;
    std::atomic<bool> taskRunning{false};

    // The channels' selectors, PDUs and turns, as the device's side.
    LmMux mux{link, LmSide{false, OWN_LSAP}, peerComLsap, serviceRaw};
};

// Prints each byte with its code and, when printable, its character.
void dumpReceived(const uint8_t* data, uint16_t count);

} // namespace secondary
