#include "console.h"
#include "pdu.h"
#include "platform.h"
#include "secondary.h"
#include "secondary_internal.h"

namespace secondary {

std::atomic<uint8_t> engineState{SEC_IDLE};
LinkRecord linkRecord{};
LinkWatch linkWatch{};
std::array<uint8_t, SECONDARY_TX_FRAME_SIZE> txFrame{};
HeldFrame held{txFrame, 0, false};
std::atomic<bool> dataUnacknowledged{false};
uint8_t stepCounter = 0;
uint8_t shownState = 0xFF;
LapOffer linkOffer = LAP_FIXED_OFFER;
LapTerms linkTerms = LAP_FIXED_TERMS;

namespace {

constexpr uint8_t STEP_READ = 101;
constexpr uint8_t STEP_BYTE_SEEN = 100;
static_assert(SECONDARY_GIVE_UP_STEP < STEP_BYTE_SEEN, "the step counter's marks lie beyond it");
// XID command: destination 7..10, flags 11, slot 12.
constexpr uint16_t XID_MIN_LENGTH = 13;
// SNRM: connection address at 10, parameters from 11.
constexpr uint16_t SNRM_MIN_LENGTH = 11;

RxFrame rxFrame{};
ByteLink* engineLink = nullptr;
void (*speedSwitch)(uint32_t speed) = nullptr;
// The speed the link runs at now.
uint32_t linkSpeed = LAP_FIXED_TERMS.speed;
// The last step saw a byte waiting (the counter alone also reaches 100 by counting).
bool byteSeen = false;
// Frame-paced: when a frame was last read or the state began, for the give-up.
uint32_t quietStartMs = 0;

// Only a change reaches the port: the fixed profile never switches.
void setSpeed(uint32_t speed) {
    if (speed == linkSpeed) {
        return;
    }
    linkSpeed = speed;
    (speedSwitch != nullptr ? speedSwitch : platformUartSetSpeed)(speed);
}

bool addressMatches(uint8_t addressByte) {
    return (addressByte & 0xFE) == linkRecord.connectionAddress;
}

void handleXid(uint16_t length) {
    if (length < XID_MIN_LENGTH) {
        return;
    }
    for (int i = 7; i <= 10; ++i) {
        if (rxFrame[i] != 0xFF) {
            return; // addressed to one device: discovery is answered only to broadcast
        }
    }
    if (rxFrame[12] != 0) {
        return; // only slot 0 is ours
    }
    consolePrint("\nIrLAP addr:\t%02X-%02X-%02X-%02X", rxFrame[3], rxFrame[4], rxFrame[5],
                 rxFrame[6]);
    secondarySendTx(lapBuildXidResponse(txFrame.data(), linkRecord, &rxFrame[3], rxFrame[11], 0,
                                        lapPutDiscoveryInfo, IRCOMM_HINT));
    engineState = SEC_DISCOVERED;
}

void handleSnrm(uint16_t length) {
    if (length < SNRM_MIN_LENGTH) {
        return;
    }
    std::array<uint8_t, 4> own{};
    lapPutAddress(own.data(), linkRecord.deviceAddress);
    for (int i = 0; i < 4; ++i) {
        if (rxFrame[6 + i] != own[i]) {
            return;
        }
    }
    const uint8_t* list = &rxFrame[SNRM_MIN_LENGTH];
    const auto listLength = static_cast<uint16_t>(length - SNRM_MIN_LENGTH);
    uint8_t code = lapFindParam(list, listLength, 0x01);
    LapOffer answer = linkOffer;
    if (linkOffer.negotiates) {
        code = lapCommonBaudBits(linkOffer, list, listLength);
        answer.baudBits = code;
        linkTerms = lapTakeTerms(linkOffer, code, list, listLength);
    }
    // The fixed profile only prints what the SNRM offers and stays at 9600.
    const uint32_t shown = linkOffer.negotiates ? linkTerms.speed : lapBaudFromCode(code);
    consolePrint("\nIrLAP addr:\t0x%02X", (rxFrame[10] & 0xFE) >> 1);
    consolePrint("\nIrLAP baud:\t0x%02X -> %lu", code, static_cast<unsigned long>(shown));
    linkWatch.peerAddress = lapGetAddress(&rxFrame[2]);
    linkWatch.speed = shown;
    linkRecord.connectionAddress = static_cast<uint8_t>(rxFrame[10] & 0xFE);
    // A new connection: the peer numbers its frames from 0 again, DISC or not.
    linkRecord.vr = 0;
    linkRecord.vs = 0;
    secondarySendTx(lapBuildUaParams(txFrame.data(), linkRecord, &rxFrame[2], answer));
    engineState = SEC_LINKED;
    if (linkOffer.negotiates) {
        secondaryLink().setPeerNeeds(linkTerms.additionalBofs, linkTerms.turnaroundUs);
        setSpeed(linkTerms.speed);
    }
}

void handleDisc() {
    if (!addressMatches(rxFrame[0])) {
        return;
    }
    secondarySendTx(lapBuildUa(txFrame.data(), linkRecord));
    lapResetLink(linkRecord, SECONDARY_DEVICE_ADDRESS);
    engineState = SEC_IDLE;
    secondaryEndTerms();
}

void handleUnnumbered(uint16_t length) {
    switch (rxFrame[1] & 0xEF) {
    case LAP_XID_COMMAND:
        handleXid(length);
        break;
    case LAP_SNRM:
        handleSnrm(length);
        break;
    case LAP_DISC:
        handleDisc();
        break;
    default:
        break; // UA, DM, FRMR, UI, TEST, XID responses: nothing to answer
    }
}

void handleSupervisory() {
    const uint8_t control = rxFrame[1];
    if ((control & 0x0F) != LAP_RR || !addressMatches(rxFrame[0])) {
        return; // RNR, REJ and SREJ are not served
    }
    lapTakeNr(linkRecord, held, control);
    ++linkWatch.exchanges; // before the reply takes more bytes from the queue
    secondaryAnswerPoll(peerComLsap);
}

void handleInformation(uint16_t length) {
    const uint8_t control = rxFrame[1];
    if (!addressMatches(rxFrame[0])) {
        return;
    }
    if (lapNs(control) == lapSeqPrevious(linkRecord.vr)) {
        // The primary repeats what we accepted, so our reply was lost: give it again.
        if (held.awaitingAck) {
            lapResendHeld(secondaryLink(), held, linkRecord);
        } else {
            lapSendRrResponse(secondaryLink(), linkRecord);
        }
        return;
    }
    if (lapNs(control) != linkRecord.vr) {
        return; // out of sequence: no reply
    }
    lapAcceptIFrame(linkRecord, control);
    lapNoteAck(held, linkRecord);
    ++linkWatch.exchanges;
    secondaryHandleIFrame(rxFrame.data(), length);
}

// Frame-paced: a poll of our connection that arrived damaged is answered as an RR that
// acknowledges nothing new, so the primary resends at once instead of after its silent wait.
void answerDamagedPoll() {
    const uint8_t address = rxFrame[0];
    if (engineState >= SEC_LINKED && addressMatches(address) && (address & LAP_CR) != 0 &&
        (rxFrame[1] & LAP_PF) != 0) {
        secondaryAnswerPoll(peerComLsap);
    }
}

} // namespace

void secondaryBindLink(ByteLink* link) {
    engineLink = link;
}

void secondaryBindSpeedSwitch(void (*setSpeed)(uint32_t speed)) {
    speedSwitch = setSpeed;
}

void secondarySetOffer(const LapOffer& offer) {
    linkOffer = offer;
}

void secondaryEndTerms() {
    setSpeed(LAP_FIXED_TERMS.speed);
    secondaryResetTerms();
}

void secondaryResetTerms() {
    linkTerms = LAP_FIXED_TERMS;
    linkSpeed = LAP_FIXED_TERMS.speed;
    secondaryLink().setPeerNeeds(0, 0);
}

ByteLink& secondaryLink() {
    return engineLink != nullptr ? *engineLink : platformUartLink();
}

void secondarySendTx(uint16_t length) {
    lapSendHeld(secondaryLink(), held, length);
}

void secondaryAnswerPoll(uint8_t dlsap) {
    if (held.awaitingAck) {
        lapResendHeld(secondaryLink(), held, linkRecord); // new data would have to take its Ns
    } else if (engineState == SEC_IRCOMM_OPEN && transmitQueue.isEmpty(&transmitQueue) == 0) {
        secondarySendPending(dlsap, false);
    } else {
        lapSendRrResponse(secondaryLink(), linkRecord);
    }
}

bool secondaryByteSeen() {
    return byteSeen;
}

bool secondaryPaced() {
    return linkOffer.negotiates;
}

void secondaryStep() {
    const bool paced = secondaryPaced();
    // Frame-paced steps come as often as frames do, so they count nothing but the read marks.
    if (!paced) {
        ++stepCounter;
    } else {
        stepCounter = stepCounter == STEP_BYTE_SEEN ? STEP_READ : 1;
    }
    byteSeen = false;
    const uint8_t state = engineState;
    if (shownState != state) {
        consolePrint("\nsecondary_demo state:\t%d", state);
        stepCounter = 1;
        shownState = state;
        quietStartMs = platformTickCount();
    }
    if (stepCounter != STEP_READ) {
        if (secondaryLink().waitByte(0)) {
            // The next step reads; the read waits for the rest of the frame.
            stepCounter = STEP_BYTE_SEEN;
            byteSeen = true;
        } else if (paced ? platformTickCount() - quietStartMs >= SECONDARY_GIVE_UP_MS
                         : stepCounter == SECONDARY_GIVE_UP_STEP) {
            engineState = SEC_IDLE;
            secondaryEndTerms();
        }
        return;
    }
    stepCounter = 0;
    quietStartMs = platformTickCount();
    rxFrame.fill(0);
    bool damaged = false;
    const uint16_t length = sirReceiveFrame(secondaryLink(), rxFrame, paced ? &damaged : nullptr);
    if (damaged) {
        answerDamagedPoll();
    }
    if (length < 2) {
        return; // nothing intact, or no control byte
    }
    const uint8_t control = rxFrame[1];
    if ((control & 3) == 3) {
        handleUnnumbered(length);
    } else if ((control & 3) == 1) {
        handleSupervisory();
    } else {
        handleInformation(length);
    }
    if (engineState == SEC_IRCOMM_OPEN) {
        dataUnacknowledged = held.awaitingAck;
    }
}

} // namespace secondary
