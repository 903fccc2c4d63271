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

void deliver(int kind, const char* text, size_t length) {
    const std::lock_guard<std::mutex> hold(logLock);
    if (logSink != nullptr) {
        logSink(logContext, kind, text, length);
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

extern "C" int irs_set_log(irs_log_fn log, void* context) {
    irsLogInstall();
    const std::lock_guard<std::mutex> hold(logLock);
    logSink = log;
    logContext = context;
    return IRS_OK;
}
