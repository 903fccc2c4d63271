// The library's log: the stack's console (its frame trace) and its errors go to the sink the
// application set, or nowhere.
#include <mutex>

#include "console.h"
#include "irs_session.h"

namespace {

// Held through each call, so a sink never runs after irs_set_log replaced it.
std::mutex logLock;
irs_log_fn logSink = nullptr;
void* logContext = nullptr;
std::once_flag installed;
// Set on the thread that runs the sink, while it runs.
thread_local bool insideSink = false;

void deliver(int kind, const char* text, size_t length) {
    // What a call from inside the sink logs would need the lock this thread holds: dropped.
    if (insideSink) {
        return;
    }
    const std::lock_guard<std::mutex> hold(logLock);
    if (logSink != nullptr) {
        insideSink = true;
        logSink(logContext, kind, text, length);
        insideSink = false;
    }
}

void toTrace(const char* text, size_t length) {
    deliver(IRS_LOG_TRACE, text, length);
}

void toErrors(const char* text, size_t length) {
    deliver(IRS_LOG_ERROR, text, length);
}

} // namespace

void irsLogInstall() {
    std::call_once(installed, [] {
        consoleSetSink(toTrace);
        consoleSetErrorSink(toErrors);
    });
}

bool irsInsideLog() {
    return insideSink;
}

extern "C" int irs_set_log(irs_log_fn log, void* context) {
    if (insideSink) {
        return IRS_ERR_STATE;
    }
    irsLogInstall();
    const std::lock_guard<std::mutex> hold(logLock);
    logSink = log;
    logContext = context;
    return IRS_OK;
}

bool irsLockOutsideLog(std::unique_lock<std::mutex>& hold) {
    if (!irsInsideLog()) {
        hold.lock();
        return true;
    }
    return hold.try_lock();
}
