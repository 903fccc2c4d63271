// The primary's ten-state IrLAP engine: one exchange per step, repeats while the answer is missing
// and gives the link up when no valid one comes.
#include <algorithm>

#include "console.h"
#include "primary_station.h"

namespace primary {

namespace {

// What each state reads for: the frames whose control byte AND mask equals match, and whether an
// RR of the connection ends the read. Indexed by state; state 0 never reads.
struct ReadSpec {
    uint8_t mask;
    uint8_t match;
    bool stop;
};

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

constexpr uint8_t PARAM_BAUD_RATE = 0x01;
constexpr uint16_t UA_PARAMS_OFFSET = 10;
constexpr uint16_t TEST_RESPONSE_LENGTH = 10;

} // namespace

void PrimaryStation::setState(uint8_t state) {
    engineState.store(state);
    endLanes(); // only the channel's opening enters the connected state; any other ends the link
    const LinkPhase shown = state >= PRIMARY_LINK_CHECK ? LINK_CONNECTED : LINK_SEARCHING;
    if (state != PRIMARY_CONNECTED && conn.phase() != shown) {
        conn.setPhase(shown);
    } else {
        conn.notifyLanes(); // a wait for the link's outcome looks again
    }
}

void PrimaryStation::fail(IrErr failure, const char* what) {
    error.store(failure);
    // A port that has gone was named by the call that failed, and the program says it is lost.
    if (failure != IR_ERR_PORT_LOST) {
        consoleError("%s: %s", what, irErrText(failure));
    }
    giveUp(engineState.load());
    lineUntouched = false;                            // the next discovery resets the port
    timing.pauseBeforeSearch(PRIMARY_START_DELAY_MS); // a failing port is not tried at once
    shownState = 0xFF;                                // the start delay counts again from here
}

bool PrimaryStation::sent(IrErr result) {
    if (result == IR_OK) {
        return true;
    }
    fail(result, "port failed while sending");
    return false;
}

void PrimaryStation::acceptUa(uint16_t length) {
    const uint16_t listLength = length > UA_PARAMS_OFFSET ? length - UA_PARAMS_OFFSET : 0;
    const uint8_t* list = &conn.rx[UA_PARAMS_OFFSET];
    const uint8_t code = lapFindParam(list, listLength, PARAM_BAUD_RATE);
    uint32_t speed = lapBaudFromCode(code);
    if (linkOffer.negotiates) {
        // Only a speed we offered: the UA names those both have.
        conn.terms = lapTakeTerms(linkOffer, code, list, listLength);
        speed = conn.terms.speed;
        port.setPeerNeeds(lapLeadBofs(conn.terms), conn.terms.turnaroundUs);
    }
    consolePrint("\nIrLAP baud:\t0x%02X -> %lu", code, static_cast<unsigned long>(speed));
    const IrErr switched = port.setSpeed(speed);
    if (switched != IR_OK) {
        // Carrying on at the wrong speed would only end in the give-up, without a reason.
        error.store(switched);
        consoleError("speed switch to %lu failed: %s", static_cast<unsigned long>(speed),
                     irErrText(switched));
        setState(PRIMARY_START_DELAY);
        return;
    }
    conn.watch().speed = speed;
    setState(PRIMARY_LINK_CHECK);
    // The first poll goes out at the new speed; state 3 keeps polling instead of repeating the
    // SNRM.
    sendRr();
}

bool PrimaryStation::spoiltUa() const {
    // What came of it: our connection address as a response, and a UA's control byte.
    return (conn.rx[0] & 0xFE) == conn.record.connectionAddress && (conn.rx[0] & LAP_CR) == 0 &&
           (conn.rx[1] & 0xEF) == LAP_UA;
}

bool PrimaryStation::takeSequence(uint8_t control, bool isRrFrame, bool checked) {
    if (checked) {
        return isRrFrame ? conn.takeNr(control) : conn.acceptIFrame(control);
    }
    if (isRrFrame) {
        conn.record.vs = lapNr(control);
    } else {
        lapAcceptIFrame(conn.record, control);
    }
    return true;
}

// Reads frames until one the state wants; answers TEST commands and keeps vr and vs on the way.
// 0 when the read ends without one, or (stop states) on an RR of the connection.
uint16_t PrimaryStation::waitFrame(uint8_t state, bool& damaged) {
    const ReadSpec& wanted = READS[state];
    // Until the link check is over the secondary's sequence numbers are taken as they come; the
    // demo profile takes them so always, as its recorded exchanges expect.
    const bool checkNr = state > PRIMARY_LINK_CHECK && timing.paced();
    for (;;) {
        const LapFrameIn in = port.receiveFrame(conn.rx);
        if (in.error != IR_OK) {
            fail(in.error, "port failed while receiving");
            return 0;
        }
        damaged = in.damaged;
        if (in.length == 0) {
            return 0;
        }
        if (in.length < 2) {
            continue; // no control byte: nothing to keep, nothing to match
        }
        const uint8_t address = conn.rx[0];
        const uint8_t control = conn.rx[1];
        const bool ofConnection = (address & 0xFE) == conn.record.connectionAddress;
        if ((address & LAP_CR) != 0) {
            if ((control & 0xEF) == LAP_TEST && in.length >= TEST_RESPONSE_LENGTH &&
                lapAddressMatches(conn.record, &conn.rx[6]) != 0) {
                std::array<uint8_t, TEST_RESPONSE_LENGTH> response{0x00, LAP_TEST | LAP_PF};
                lapPutAddress(&response[2], conn.record.deviceAddress);
                std::copy_n(&conn.rx[2], 4, &response[6]);
                if (!sent(port.sendFrame(response.data(), TEST_RESPONSE_LENGTH))) {
                    return 0;
                }
            }
        } else if (ofConnection) {
            const bool isI = (control & 1) == 0;
            const bool isRrFrame = !isI && (control & 0x0F) == LAP_RR;
            const bool inSequence = isI && lapNs(control) == conn.record.vr;
            if (isI && !inSequence && checkNr) {
                conn.takeNrIfValid(control); // a gap: what the peer has of ours still counts
            } else if ((isRrFrame || inSequence) && !takeSequence(control, isRrFrame, checkNr)) {
                if (conn.peerBroken()) {
                    fail(IR_ERR_PEER, "link dropped: the device acknowledges frames never sent");
                    return 0;
                }
                continue; // never an acknowledgement, never an answer
            }
            timing.markValid();
            rrTaken = rrTaken || (isRrFrame && (control & LAP_PF) != 0);
            if (isRrFrame && wanted.stop) {
                return 0;
            }
        }
        if ((control & wanted.mask) == wanted.match) {
            return in.length;
        }
    }
}

// One read of an answer in states 1 to 9; a rejected answer leaves the counter running on.
void PrimaryStation::readAnswer(uint8_t state) {
    const uint8_t expected = conn.record.vr;
    const bool heldBefore = conn.held.awaitingAck;
    timing.clearDeferred(); // whatever this answer leads to replaces the poll held back
    bool damaged = false;
    rrTaken = false;
    const uint16_t length = waitFrame(state, damaged);
    if (engineState.load() != state) {
        return; // the read failed the link
    }
    // Before the connection a repeat may meet a peer at another speed; after it, one is harmless.
    timing.noteDamaged(damaged && length == 0 && state >= PRIMARY_LINK_CHECK);
    if (!conn.fullProfile()) {
        lapNoteAck(conn.held, conn.record); // the window keeps its own account
    }
    const uint8_t control = conn.rx[1];
    // Full profile: a frame without P/F leaves the peer the line; what we say waits for its last.
    const bool ours = conn.fullProfile() && state >= PRIMARY_LINK_CHECK && length >= 2 &&
                      (conn.rx[0] & 0xFE) == conn.record.connectionAddress;
    const bool peerGoesOn = ours && (control & LAP_PF) == 0;
    if (peerGoesOn) {
        conn.openTurn();
    }
    switch (state) {
    case PRIMARY_DISCOVERY:
        if ((control & 0xEF) == LAP_XID_RESPONSE && length >= 12) {
            acceptXidResponse(length);
        }
        break;
    case PRIMARY_CONNECTING:
        if ((control & 0xEF) == LAP_UA && length >= 8) {
            acceptUa(length);
        } else if (damaged && length == 0 && timing.paced() && spoiltUa()) {
            // The device is there and its UA was spoilt on the way: the SNRM goes on being
            // repeated, for a while, rather than the link given up for a new search.
            timing.markAlive();
        }
        break;
    case PRIMARY_LINK_CHECK:
        if (isRr(length)) {
            startService();
        }
        break;
    case PRIMARY_IAS_CONNECT:
        if (lmpIsConnectConfirm(conn.rx.data(), length) != 0) {
            setState(PRIMARY_IAS_QUERY);
            sendIasQuery();
        }
        break;
    case PRIMARY_IAS_QUERY:
        if (iasIsResponse(conn.rx.data(), length) != 0 && takeIasAnswer(length)) {
            setState(PRIMARY_IAS_DISCONNECT);
            sendIasDisconnect();
        }
        break;
    case PRIMARY_IAS_DISCONNECT:
        if (isRr(length) && queryOnly) {
            endQueryLink();
        } else if (isRr(length)) {
            setState(PRIMARY_COMM_CONNECT);
            sendCommConnect();
        }
        break;
    case PRIMARY_COMM_CONNECT:
        if (ttpIsConnect(conn.rx.data(), length) != 0) {
            serviceConnected();
        } else if (conn.fullProfile() && !rrTaken) {
            // Noise or a spoilt frame: the repeat's and the give-up's timers run on.
        } else if (conn.fullProfile() && conn.held.awaitingAck) {
            // The device's last RR says the connect never arrived (it answered a spoilt one as
            // a poll): send it again, as polling on would wait for a confirm that cannot come.
            timing.markRepeated();
            resendHeld();
        } else if (conn.fullProfile()) {
            timing.deferPoll(); // the confirm may follow a poll; the give-up still counts
        } else {
            timing.markAnswered();
            if (timing.paced()) {
                timing.deferPoll();
            } else {
                sendRr();
            }
        }
        break;
    case PRIMARY_COMM_OPEN:
        if (isCommFrame(length)) {
            if (conn.fullProfile()) {
                conn.credits(0).received();
                conn.credits(0).take(conn.rx[TTP_CREDIT_OFFSET]);
            }
            showCommLengths(length);
            openChannel();
            sendRr();
        }
        break;
    case PRIMARY_CONNECTED:
        if (length >= 2 && (conn.rx[0] & 0xFE) == conn.record.connectionAddress &&
            (conn.rx[0] & LAP_CR) == 0 && (control & 0xEF) == (discSent ? LAP_UA : LAP_RD)) {
            // The UA to our DISC, or the device asks us to end the link.
            if (discSent) {
                endLink();
            } else {
                sendDisc();
            }
        } else if (!discSent) {
            readConnected(length, expected, heldBefore);
        }
        break;
    default:
        break;
    }
    // The peer's last frame: what its turn asked of us goes now.
    if (ours && !peerGoesOn && conn.turnIsOpen() && !discSent &&
        engineState.load() >= PRIMARY_LINK_CHECK) {
        sent(conn.endTurn(port));
    }
}

void PrimaryStation::readConnected(uint16_t length, uint8_t expected, bool heldBefore) {
    if (conn.fullProfile()) {
        readConnectedFull(length, expected, heldBefore);
        return;
    }
    const bool isData = isCommFrame(length);
    if (!isRr(length) && !isData) {
        return;
    }
    timing.markAnswered();
    // Counted before the exchange takes more bytes, so a watcher that saw the queue empty counts
    // on only at the answer to the frame that carried them.
    ++conn.watch().exchanges;
    const bool acknowledged = heldBefore && !conn.held.awaitingAck;
    const bool took = takeAnswer(length, isData, conn.record.vr != expected);
    const bool fresh = !conn.held.awaitingAck && conn.hasData();
    if (timing.paced() && !acknowledged && !took && !fresh) {
        timing.deferPoll(); // nothing moved: the next poll keeps the tick
    } else {
        timing.markMoved();
        sendNext();
    }
}

// A step without a pending answer: the frame test comes before the give-up and the repeat.
void PrimaryStation::poll(uint8_t state) {
    if (port.frameBegun(0)) {
        timing.markSeen();
    } else {
        checkTimers(state, true);
    }
}

LinkPhase PrimaryStation::phase() const {
    const uint8_t state = engineState.load();
    if (state == PRIMARY_CONNECTED) {
        return LINK_OPEN;
    }
    return state >= PRIMARY_LINK_CHECK ? LINK_CONNECTED : LINK_SEARCHING;
}

void PrimaryStation::step() {
    if (isHalted.load()) {
        return;
    }
    timing.stepBegin();
    const uint8_t state = engineState.load();
    if (state != shownState) {
        consolePrint("\n%s state:\t%d", stateLabel, state);
        shownState = state;
        timing.stateEntered(state == PRIMARY_START_DELAY);
        // The device at the new speed waits only so long for the first poll.
        timing.setRepeatSpan(state == PRIMARY_LINK_CHECK ? PRIMARY_FIRST_POLL_REPEAT_MS
                                                         : PRIMARY_REPEAT_MS);
    }
    conn.rx.fill(0);

    if (state == PRIMARY_START_DELAY) {
        if (timing.startDue() && !(queryOnly && answered.load())) {
            startDiscovery();
        }
    } else if (state == PRIMARY_DISCOVERY && slotted()) {
        stepRound();
    } else if (timing.answerPending()) {
        readAnswer(state);
        // Full profile: noise that keeps a frame seemingly coming never holds off the give-up or
        // the repeat, as a frame is waited for at every step.
        if (timing.paced() && engineState.load() == state) {
            checkTimers(state, false);
        }
    } else {
        poll(state);
    }
    conn.noteStepEnd();
}

} // namespace primary
