// Waiting for a test's child process: a child that has not ended by the deadline is killed and the
// wait fails, so a hung program fails its test instead of hanging it.
#pragma once

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "deadline.h"

// The child's pid once it has ended, its status in `status`; -1 when it had not ended by the
// deadline (it is then killed and reaped).
inline pid_t waitChild(pid_t child, int& status, const Deadline& deadline = Deadline()) {
    for (;;) {
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended != 0) {
            return ended;
        }
        if (deadline.passed()) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
