#include "primary_engine.h"

#include "console.h"
#include "pdu.h"
#include "primary_port.h"
#include "primary_upper.h"
#include "win32.h"

namespace primary {

std::atomic<uint8_t> engineState{PRIMARY_START_DELAY};
uint8_t stepCounter = 0;
uint8_t shownState = 0xFF;
LinkRecord linkRecord{};
LinkWatch linkWatch{};
RxFrame rxFrame{};
std::array<uint8_t, PRIMARY_FRAME_SIZE> txFrame{};
HeldFrame held{txFrame, 0, false};
LapOffer linkOffer = LAP_FIXED_OFFER;
LapTerms linkTerms = LAP_FIXED_TERMS;

namespace {

constexpr uint8_t ANSWER_SEEN = 100;
constexpr uint8_t ANSWER_PENDING = 101;
static_assert(PRIMARY_START_DELAY_STEPS < ANSWER_SEEN && PRIMARY_GIVE_UP_STEP < ANSWER_SEEN,
              "the step counter's marks lie beyond every count");
constexpr uint8_t FIRST_XID_SLOT = 0x00;
constexpr uint8_t FINAL_XID_SLOT = 0xFF;
constexpr uint8_t PARAM_BAUD_RATE = 0x01;
constexpr uint16_t UA_PARAMS_OFFSET = 10;
constexpr char BEL = '\a';

struct ReadSpec {
    uint8_t mask;
    uint8_t match;
    bool stop;
};

// Indexed by state; state 0 never reads.
constexpr std::array<ReadSpec, 10> READS{{
    {0x00, 0x00, false},
    {0xEF, LAP_XID_RESPONSE, false},
    {0xEF, LAP_UA, false},
    {0x02, 0x00, false},
    {0x01, 0x00, true},
    {0x01, 0x00, true},
    {0x02, 0x00, false},
    {0x01, 0x00, false},
    {0x01, 0x00, true},
    {0x00, 0x00, false},
}};

// Frame-paced: when the state began or an answer was last accepted (for the start delay and the
// give-up), when a frame was last read or repeated (for the repeat), and a poll held back.
uint32_t quietStartMs = 0;
uint32_t repeatMarkMs = 0;
bool pollDeferred = false;
// Frame-paced: the answer came but damaged, so the peer is there and the repeat need not wait for
// silence.
bool repeatNow = false;
// Frame-paced: when the station started, and whether its transceiver is as the start left it; the
// first discovery then neither waits out more than the start delay nor resets it again.
uint32_t startedMs = 0;
bool freshStart = false;
// Frame-paced: when user data last moved either way; long after it, a held poll waits two ticks.
uint32_t movedMs = 0;

uint32_t nowMs() {
    const auto tick = primaryPort().tickCount;
    return tick != nullptr ? tick() : GetTickCount();
}

bool quietFor(uint32_t milliseconds) {
    return nowMs() - quietStartMs >= milliseconds;
}

// An accepted answer starts the quiet count again.
void markAnswered() {
    stepCounter = 0;
    quietStartMs = nowMs();
    repeatMarkMs = quietStartMs;
}

ByteLink& link() {
    return *primaryPort().link;
}

void setState(uint8_t state) {
    engineState.store(state);
}

bool isRr(uint16_t length) {
    return length >= 2 && (rxFrame[1] & 0x0F) == LAP_RR;
}

void startDiscovery() {
    setState(PRIMARY_DISCOVERY);
    if (!(primaryPaced() && freshStart)) {
        primaryPort().reset();
    }
    freshStart = false;
    lapResetLink(linkRecord, PRIMARY_DEVICE_ADDRESS);
    // A new link starts at 9600 bit/s with nothing asked of us.
    linkTerms = LAP_FIXED_TERMS;
    link().setPeerNeeds(0, 0);
    primarySendHeld(
        lapBuildXidCommand(txFrame.data(), linkRecord, nullptr, FIRST_XID_SLOT, nullptr, 0));
}

void acceptXidResponse(uint16_t length) {
    if (discoverOnly) {
        primaryKeepDiscovered(length);
        setState(PRIMARY_START_DELAY); // and discover again
        return;
    }
    linkWatch.peerAddress = lapGetAddress(&rxFrame[3]);
    consolePrint("\nIrLAP addr:\t%02X-%02X-%02X-%02X", rxFrame[3], rxFrame[4], rxFrame[5],
                 rxFrame[6]);
    // The final XID is sent once; the SNRM built over it in the same step is what gets repeated.
    const uint16_t finalLength = lapBuildXidCommand(
        txFrame.data(), linkRecord, nullptr, FINAL_XID_SLOT, lapPutDiscoveryInfo, IRCOMM_HINT);
    sirSendFrame(link(), txFrame.data(), finalLength);
    setState(PRIMARY_CONNECTING);
    primarySendHeld(lapBuildSnrm(txFrame.data(), linkRecord, &rxFrame[3], linkOffer));
}

void acceptUa(uint16_t length) {
    const uint16_t listLength = length > UA_PARAMS_OFFSET ? length - UA_PARAMS_OFFSET : 0;
    const uint8_t* list = &rxFrame[UA_PARAMS_OFFSET];
    const uint8_t code = lapFindParam(list, listLength, PARAM_BAUD_RATE);
    uint32_t speed = lapBaudFromCode(code);
    if (linkOffer.negotiates) {
        // Only a speed we offered: the UA names those both have.
        linkTerms = lapTakeTerms(linkOffer, code, list, listLength);
        speed = linkTerms.speed;
        link().setPeerNeeds(linkTerms.additionalBofs, linkTerms.turnaroundUs);
    }
    consolePrint("\nIrLAP baud:\t0x%02X -> %lu", code, static_cast<unsigned long>(speed));
    primaryPort().setBaudRate(speed);
    linkWatch.speed = speed;
    setState(PRIMARY_LINK_CHECK);
    // The first poll goes out at the new speed; state 3 keeps polling instead of repeating the
    // SNRM.
    primarySendRr();
}

// One read of an answer in states 1 to 9; a rejected answer leaves the counter running on from 101.
void readAnswer(uint8_t state) {
    const ReadSpec& wanted = READS[state];
    const uint8_t expected = linkRecord.vr;
    const bool heldBefore = held.awaitingAck;
    repeatMarkMs = nowMs();
    pollDeferred = false; // whatever this answer leads to replaces the poll held back
    bool damaged = false;
    const uint16_t length = lapWaitFrame(link(), linkRecord, rxFrame, wanted.mask, wanted.match,
                                         wanted.stop, primaryPaced() ? &damaged : nullptr);
    // Before the connection a repeat may meet a peer at another speed; after it, one is harmless.
    repeatNow = damaged && length == 0 && state >= PRIMARY_LINK_CHECK;
    lapNoteAck(held, linkRecord);
    switch (state) {
    case PRIMARY_DISCOVERY:
        if ((rxFrame[1] & 0xEF) == LAP_XID_RESPONSE && length >= 12) {
            acceptXidResponse(length);
        }
        break;
    case PRIMARY_CONNECTING:
        if ((rxFrame[1] & 0xEF) == LAP_UA && length >= 8) {
            acceptUa(length);
        }
        break;
    case PRIMARY_LINK_CHECK:
        if (isRr(length)) {
            primaryStartService();
        }
        break;
    case PRIMARY_IAS_CONNECT:
        if (lmpIsConnectConfirm(rxFrame.data(), length) != 0) {
            setState(PRIMARY_IAS_QUERY);
            primarySendIasQuery();
        }
        break;
    case PRIMARY_IAS_QUERY:
        if (iasIsResponse(rxFrame.data(), length) != 0 && primaryTakeIasAnswer(length)) {
            setState(PRIMARY_IAS_DISCONNECT);
            primarySendIasDisconnect();
        }
        break;
    case PRIMARY_IAS_DISCONNECT:
        if (isRr(length)) {
            setState(PRIMARY_COMM_CONNECT);
            primarySendCommConnect();
        }
        break;
    case PRIMARY_COMM_CONNECT:
        if (ttpIsConnect(rxFrame.data(), length) != 0) {
            primaryServiceConnected();
        } else {
            markAnswered();
            if (primaryPaced()) {
                primaryDeferPoll();
            } else {
                primarySendRr();
            }
        }
        break;
    case PRIMARY_COMM_OPEN:
        if (primaryIsCommFrame(length)) {
            primaryShowCommLengths(length);
            primaryOpenChannel();
            primarySendRr();
        }
        break;
    case PRIMARY_CONNECTED: {
        const bool isData = primaryIsCommFrame(length);
        if (isRr(length) || isData) {
            markAnswered();
            // Counted before the exchange takes more bytes, so a watcher that saw the queue
            // empty counts on only at the answer to the frame that carried them.
            ++linkWatch.exchanges;
            const bool acknowledged = heldBefore && !held.awaitingAck;
            const bool took = primaryTakeAnswer(length, isData, linkRecord.vr != expected);
            const bool fresh = !held.awaitingAck && transmitQueue.isEmpty(&transmitQueue) == 0;
            if (primaryPaced() && !acknowledged && !took && !fresh) {
                primaryDeferPoll(); // nothing moved: the next poll keeps the tick
            } else {
                movedMs = nowMs();
                primarySendNext();
            }
        }
        break;
    }
    default:
        break;
    }
}

void giveUp(uint8_t state) {
    if (state == PRIMARY_CONNECTED) {
        consolePrint("%c", BEL);
    }
    setState(PRIMARY_START_DELAY);
}

// A poll held back goes at the next tick, or at the second once the channel has idled a while, so
// an idle pair wakes half as often; bytes to send never wait for that.
bool deferredPollDue() {
    const uint32_t now = nowMs();
    return now - movedMs < PRIMARY_IDLE_AFTER_MS || now - repeatMarkMs >= PRIMARY_IDLE_POLL_MS ||
           transmitQueue.isEmpty(&transmitQueue) == 0;
}

// A step without a pending answer: the byte test comes before the give-up and the repeat.
void poll(uint8_t state) {
    const bool paced = primaryPaced();
    if (link().waitByte(0)) {
        stepCounter = ANSWER_SEEN;
    } else if (paced ? quietFor(PRIMARY_GIVE_UP_MS) : stepCounter == PRIMARY_GIVE_UP_STEP) {
        giveUp(state);
    } else if (paced && pollDeferred && deferredPollDue()) {
        pollDeferred = false;
        repeatMarkMs = nowMs();
        if (state == PRIMARY_CONNECTED) {
            primarySendNext();
        } else {
            primarySendRr();
        }
    } else if (paced ? repeatNow || nowMs() - repeatMarkMs >= PRIMARY_REPEAT_MS
                     : stepCounter % PRIMARY_REPEAT_STEPS == 0) {
        repeatMarkMs = nowMs();
        repeatNow = false;
        if (state == PRIMARY_LINK_CHECK) {
            primarySendRr();
        } else {
            lapRepeatHeld(link(), held);
        }
    }
}

} // namespace

void primaryMarkStart() {
    startedMs = nowMs();
    freshStart = true;
}

void primarySendHeld(uint16_t length) {
    lapSendHeld(link(), held, length);
}

void primarySendRr() {
    lapSendRrCommand(link(), linkRecord);
}

void primaryResendHeld() {
    lapResendHeld(link(), held, linkRecord);
}

void primaryDeferPoll() {
    pollDeferred = true;
}

bool primaryPaced() {
    return linkOffer.negotiates;
}

bool primaryAnswerSeen() {
    return stepCounter == ANSWER_SEEN;
}

bool primaryRepeatDue() {
    return repeatNow;
}

bool primaryPollHeld() {
    return pollDeferred;
}

void primaryStep() {
    const bool paced = primaryPaced();
    // Frame-paced steps come as often as frames do, so they count nothing but the read marks.
    if (!paced) {
        ++stepCounter;
    } else {
        stepCounter = stepCounter == ANSWER_SEEN ? ANSWER_PENDING : 1;
    }
    const uint8_t state = engineState.load();
    if (state != shownState) {
        consolePrint("\nsecondary_demo state:\t%d", state);
        stepCounter = 1;
        const bool starting = paced && freshStart && state == PRIMARY_START_DELAY;
        shownState = state;
        quietStartMs = starting ? startedMs : nowMs();
        repeatMarkMs = quietStartMs;
        movedMs = quietStartMs;
        pollDeferred = false;
        repeatNow = false;
    }
    rxFrame.fill(0);

    if (state == PRIMARY_START_DELAY) {
        if (paced ? quietFor(PRIMARY_START_DELAY_MS) : stepCounter == PRIMARY_START_DELAY_STEPS) {
            startDiscovery();
        }
    } else if (stepCounter == ANSWER_PENDING) {
        readAnswer(state);
    } else {
        poll(state);
    }
    if (engineState.load() == PRIMARY_CONNECTED) {
        dataUnacknowledged.store(held.awaitingAck);
    }
}

} // namespace primary
