// The station's task: one engine step per 50 ms tick, or frame-paced in the full profile.
#include <algorithm>

#include "console.h"
#include "primary_station.h"

namespace primary {

void PrimaryStation::startTask() {
    if (taskHandle != nullptr) {
        return;
    }
    taskRunning.store(true);
    taskHandle = CreateThread(nullptr, 0, taskEntry, this, 0, nullptr);
    if (taskHandle == nullptr) {
        taskRunning.store(false);
        consoleError("\nstackTask CreateThread failed: %d", static_cast<int>(GetLastError()));
    }
}

void PrimaryStation::stopTask() {
    taskRunning.store(false);
    if (taskHandle != nullptr) {
        WaitForSingleObject(taskHandle, INFINITE);
        CloseHandle(taskHandle);
        taskHandle = nullptr;
    }
}

DWORD WINAPI PrimaryStation::taskEntry(LPVOID self) {
    static_cast<PrimaryStation*>(self)->runTask();
    return 0;
}

void PrimaryStation::runTask() {
    // A halted station has nothing more to do until it starts afresh.
    while (taskRunning.load() && !isHalted.load()) {
        // A seen answer is read at once; the read waits for the rest of the frame itself.
        // Frame-paced, the step also comes as soon as a frame begins; before discovery nothing
        // reads the port, so there the tick is a plain sleep.
        if (timing.answerSeen()) {
            // next step reads
        } else if (timing.repeatNow()) {
            // A damaged frame may be one of several the peer sends in its turn: the repeat
            // waits for a moment of quiet, and the next frame, if one comes, is read instead.
            port.frameBegun(lapQuietMs(conn.watch().speed.load()));
        } else if (timing.pollHeld()) {
            // With the poll held back the peer is silent, as only a poll lets it speak; so the
            // wait is for the user's bytes instead of the port's.
            conn.waitQueued(textsSeen, STACK_TASK_PERIOD_MS);
        } else if (timing.paced() && engineState.load() == PRIMARY_START_DELAY) {
            // The pause ends at its own time; a state not yet entered is entered at once.
            const bool entered = shownState == PRIMARY_START_DELAY;
            Sleep(entered ? std::min(STACK_TASK_PERIOD_MS, timing.startLeftMs()) : 0);
        } else if (timing.paced()) {
            // A slot of discovery ends at its own time, and so does the SNRM's wait: a tick late
            // would be a tenth fewer tries to connect under stray light.
            const uint8_t state = engineState.load();
            uint32_t waitMs = STACK_TASK_PERIOD_MS;
            if (state == PRIMARY_DISCOVERY && slotted()) {
                waitMs = timing.slotLeftMs();
            } else if (state == PRIMARY_CONNECTING) {
                waitMs = std::clamp(timing.repeatLeftMs(), uint32_t{1}, STACK_TASK_PERIOD_MS);
            }
            if (port.frameBegun(waitMs)) {
                Sleep(lapShortFrameMs(conn.watch().speed.load()));
            }
        } else {
            Sleep(STACK_TASK_PERIOD_MS);
        }
        step();
    }
    consolePrint("\n\tEOT");
}

} // namespace primary
