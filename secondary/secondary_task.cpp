// The secondary's start, its task and the demo's own answers.
#include <array>
#include <cctype>

#include "console.h"
#include "secondary_station.h"

namespace secondary {

namespace {

constexpr std::array<uint8_t, 6> MODEM_ANSWER = {'\r', '\n', 'O', 'K', '\r', '\n'};

bool containsAt(const std::array<uint8_t, FIXED_RECEIVE_SIZE>& bytes) {
    // Like a C string search: the bytes end at the first zero.
    for (size_t i = 0; i + 1 < bytes.size() && bytes[i] != 0; ++i) {
        if (bytes[i] == 'A' && bytes[i + 1] == 'T') {
            return true;
        }
    }
    return false;
}

DWORD WINAPI taskEntry(LPVOID station) {
    return static_cast<SecondaryStation*>(station)->runTask();
}

} // namespace

void SecondaryStation::init() {
    engineState = SEC_IDLE;
    shownState = 0xFF;
    seenByte = false;
    linkMade = false;
    peerComLsap = 0;
    lastErr.store(IR_OK);
    linkEndWanted.store(false);
    link.setUp(linkOffer, ownAddress.value);
    port.setNoiseQuietMs(linkOffer.negotiates ? SIR_NOISE_QUIET_MS : 0);
    lastSlot = LAP_XID_FINAL_SLOT;
    answeredRound = false;
    noteError(port.reset());
    // The reset left the port at 9600 bit/s with nothing asked of us.
    linkSpeed.store(LAP_FIXED_TERMS.speed);
    port.setPeerNeeds(lapLeadBofs(LAP_FIXED_TERMS), 0);
    timing.start(paced());
    taskConnected = false;
    answersOwed = 0;
}

void SecondaryStation::taskPass() {
    step();
    if (!demoAnswers.load()) {
        return;
    }
    const bool connected = state() == SEC_IRCOMM_OPEN;
    if (!taskConnected) {
        if (connected) {
            taskConnected = true;
            answersOwed = 0; // the engine emptied the queue for the new channel
        }
        return;
    }
    taskConnected = connected; // this pass still fetches and answers
    std::array<uint8_t, FIXED_RECEIVE_SIZE> received{};
    const size_t count = link.receive(received.data(), received.size() - 1);
    dumpReceived(received.data(), static_cast<uint16_t>(count));
    if (containsAt(received) && answersOwed < UINT8_MAX) {
        ++answersOwed;
    }
    // Never blocks: an answer that does not fit now is queued on a later pass.
    while (answersOwed > 0 && link.trySend(MODEM_ANSWER.data(), MODEM_ANSWER.size())) {
        --answersOwed;
    }
}

DWORD SecondaryStation::runTask() {
    while (taskRunning.load()) {
        // A frame seen is read at once; every other step keeps the period, or frame-paced ends
        // as soon as a frame begins.
        if (seenByte) {
            // next pass reads
        } else if (paced()) {
            // A millisecond short of the shortest frame, so its last bytes come while the read
            // begins; but a millisecond at least, or at the top speed the read wakes per byte.
            if (port.frameBegun(STACK_TASK_PERIOD_MS)) {
                const uint32_t frameMs = lapShortFrameMs(linkSpeed.load());
                Sleep(frameMs > 1 ? frameMs - 1 : 1);
            }
        } else {
            Sleep(STACK_TASK_PERIOD_MS);
        }
        taskPass();
    }
    consolePrint("\n\tEOT");
    return 0;
}

bool SecondaryStation::startTask() {
    taskRunning.store(true);
    taskThread.handle = CreateThread(nullptr, 0, taskEntry, this, 0, &taskThread.id);
    if (taskThread.handle == nullptr) {
        taskRunning.store(false);
        consoleError("\nstackTask CreateThread failed: %d", static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

void SecondaryStation::stopTask() {
    taskThreadStop(taskThread, taskRunning);
}

void dumpReceived(const uint8_t* data, uint16_t count) {
    for (uint16_t i = 0; i < count; ++i) {
        consolePrint("\n\t\t%03d\t0x%02X", data[i], data[i]);
        if (std::isprint(data[i]) != 0) {
            consolePrint("\t%c", data[i]);
        }
    }
}

} // namespace secondary
