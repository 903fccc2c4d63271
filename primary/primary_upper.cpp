// What the primary says and understands above IrLAP: IAS lookup, TinyTP connect, IrCOMM parameters
// and the data exchange between the connection's queues and I-frames.
#include "console.h"
#include "ias_server.h"
#include "primary_station.h"

namespace primary {

namespace {

constexpr uint8_t OWN_LSAP = PRIMARY_OWN_LSAP;
constexpr uint16_t COMM_HEADER_LENGTH = 6;
constexpr uint16_t IAS_ANSWER_OFFSET = 5;
static_assert(COMM_HEADER_LENGTH + FULL_STAGING_SIZE <= LAP_TX_FRAME_SIZE,
              "a data frame with a full staging fits the transmit frame");

} // namespace

void PrimaryStation::sendIasConnect() {
    sendHeld(lmpBuildConnectIas(conn.tx.data(), conn.record, OWN_LSAP));
}

void PrimaryStation::sendIasQuery() {
    sendHeld(iasBuildQuery(conn.tx.data(), conn.record, OWN_LSAP, queryClass(), queryAttribute()));
}

bool PrimaryStation::takeIasAnswer(uint16_t length) {
    if (length < IAS_ANSWER_OFFSET) {
        return false;
    }
    if (queryOnly) {
        keepAnswer(length); // whatever it says: the caller reads it
        return true;
    }
    const IasLookup lookup = iasReadLookup(conn.rx.data(), length);
    if (lookup.result == IAS_LOOKUP_NO_SERVICE) {
        // The query is repeated and the link given up as for no answer; the user must know why.
        consoleError("device has no service %s %s", serviceClass, serviceAttribute);
        missingService.fetch_add(1);
        conn.notifyLanes(); // a connect waiting for it learns it now
        return false;
    }
    // A selector has seven bits; a wider one would set the control bit of every frame sent. The
    // demo takes the low byte, as it always has.
    if (lookup.result != IAS_LOOKUP_FOUND || (conn.fullProfile() && lookup.value > 127)) {
        return false;
    }
    consolePrint("\nIrLMP dlsap:\t%d", lookup.value);
    peerComLsap = static_cast<uint8_t>(lookup.value & 0xFF);
    return true;
}

void PrimaryStation::sendIasDisconnect() {
    sendHeld(lmpBuildDisconnectIas(conn.tx.data(), conn.record, OWN_LSAP));
}

void PrimaryStation::sendCommConnect() {
    sendHeld(mux.buildConnect(0));
}

void PrimaryStation::sendCommParams() {
    if (conn.fullProfile()) {
        conn.credits(0).spend(); // the confirm's credit pays for the parameters
    }
    sendHeld(mux.buildParams(0));
}

void PrimaryStation::startService() {
    if (serviceLsap < 0 || queryOnly) {
        setState(PRIMARY_IAS_CONNECT);
        sendIasConnect();
        return;
    }
    peerComLsap = static_cast<uint8_t>(serviceLsap);
    setState(PRIMARY_COMM_CONNECT);
    sendCommConnect();
}

void PrimaryStation::serviceConnected() {
    if (conn.fullProfile()) {
        conn.credits(0).take(conn.rx[TTP_CONNECT_CREDIT_OFFSET]);
    }
    if (!serviceRaw) {
        setState(PRIMARY_COMM_OPEN);
        sendCommParams();
        return;
    }
    openChannel();
    sendRr();
}

bool PrimaryStation::isCommFrame(uint16_t length) const {
    if (serviceRaw) {
        // Any I-frame of data, not LM-MUX control, on the connection.
        return length >= TTP_DATA_OFFSET && (conn.rx[1] & 1) == 0 &&
               (conn.rx[2] & LMP_CONTROL) == 0;
    }
    return commIsDataFrame(conn.rx.data(), length) != 0 && length >= COMM_HEADER_LENGTH &&
           conn.rx[5] <= length - COMM_HEADER_LENGTH;
}

uint16_t PrimaryStation::showCommLengths(uint16_t length) {
    // isCommFrame has already made sure the control parameters lie inside the frame.
    const uint8_t controlLength = conn.rx[5];
    const auto dataLength = static_cast<uint16_t>(length - COMM_HEADER_LENGTH - controlLength);
    consolePrint("\nIrCOMM length:\t%d:%d", controlLength, dataLength);
    return dataLength;
}

void PrimaryStation::openChannel() {
    // The state with the clear: a text sent once the link shows up is never emptied, and a program
    // woken by the opening finds the link up.
    conn.openChannel(
        [](void* station) {
            static_cast<PrimaryStation*>(station)->engineState.store(PRIMARY_CONNECTED);
        },
        this);
}

bool PrimaryStation::takeAnswer(uint16_t length, bool isData, bool inSequence) {
    // A repetition still answers the poll, but its bytes were taken the first time.
    if (!isData || !inSequence) {
        return false;
    }
    const uint16_t start = serviceRaw ? TTP_DATA_OFFSET : COMM_HEADER_LENGTH + conn.rx[5];
    const auto dataLength = static_cast<uint16_t>(length - start);
    if (!conn.deliver(&conn.rx[start], dataLength)) {
        conn.refuseIFrame();
        return false;
    }
    if (serviceRaw) {
        consolePrint("\nTinyTP length:\t%d", dataLength);
    } else {
        showCommLengths(length);
    }
    return true;
}

void PrimaryStation::sendNext() {
    if (conn.fullProfile()) {
        sendNextFull();
        return;
    }
    if (conn.held.awaitingAck) {
        resendHeld(); // new data would have to take its Ns
        return;
    }
    if (!conn.hasData()) {
        sendRr();
        return;
    }
    const std::span<const uint8_t> data = conn.stage(conn.dataLimit(FIXED_STAGING_SIZE, 0));
    const auto count = static_cast<uint16_t>(data.size());
    if (serviceRaw) {
        sendHeld(ttpBuildDataCommand(conn.tx.data(), conn.record, OWN_LSAP, peerComLsap,
                                     data.data(), count));
    } else {
        sendHeld(commBuildDataCommand(conn.tx.data(), conn.record, OWN_LSAP, peerComLsap,
                                      data.data(), count));
    }
}

} // namespace primary
