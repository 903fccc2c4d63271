// The daemon transport's connection to irstackd: one UNIX socket per port, requests matched to
// their replies by id, one reader at a time while the other callers wait for theirs. POSIX only.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "irs_session.h"
#include "irsd_msg.h"
#include "irsd_wire.h"

// Requests one port may have pending at once, from as many threads.
constexpr size_t IRS_REMOTE_PENDING = 8;
// How long a request the daemon answers at once may take, and what a request with a time-out of
// its own may take beyond it.
constexpr int IRS_REMOTE_ANSWER_MS = 5000;
constexpr int IRS_REMOTE_MARGIN_MS = 2000;

// A request waiting for its reply, and where its items go.
struct IrsRemoteCall {
    bool used = false;
    bool done = false;
    bool waits = false; // one of the requests the daemon counts as pending
    uint32_t id = 0;
    IrsdMsg reply;
    irs_device* devices = nullptr;
    irs_ias_value* values = nullptr;
    int itemsMax = 0;
    int items = 0;
};

struct IrsRemote {
    int sock = -1;
    // Whole messages go out one at a time.
    std::mutex sendLock;
    // The calls and the reader's turn.
    std::mutex lock;
    std::condition_variable changed;
    bool reading = false;
    uint32_t lastId = 0;
    std::array<IrsRemoteCall, IRS_REMOTE_PENDING> calls;
    // Requests that wait on the link (connect, listen, discovery, query, close): as many at once
    // as HELLO's reply allows; the others take any free call.
    size_t callsAllowed = 1;
    // The reader's alone.
    IrsdReceiver in;
    IrsdMsg incoming;
    // The connection has gone (the daemon ended, or it broke the protocol).
    std::atomic<bool> lost{false};
    // Its phase as the last event told it.
    std::atomic<int> phase{IRS_PHASE_IDLE};
};

// Sends `request` and waits up to `waitMs` (negative: no limit) for its reply in `reply`, whose
// descriptor the caller then holds; DISCOVER and QUERY items go to `devices` or `values`. The
// transport's status: IRS_OK, or IRS_ERR_PORT_LOST, IRS_ERR_HANDLE (the port closed meanwhile),
// IRS_ERR_TIMEOUT (no reply in time). The reply's own status is the caller's to read.
struct IrsRemoteItems {
    irs_device* devices = nullptr;
    irs_ias_value* values = nullptr;
    int max = 0;
    int* stored = nullptr;
};
int irsRemoteCall(IrsPort& port, IrsdMsg& request, int waitMs, IrsdMsg& reply,
                  const IrsRemoteItems& items = {});
// A status as the library's code: the daemon's own failures are IRS_ERR_IO.
// An item of a discovery or a query stored where the call wants it, while there is room.
void irsRemoteStoreDevice(IrsRemoteCall& call, const IrsdMsg& item);
void irsRemoteStoreValue(IrsRemoteCall& call, const IrsdMsg& item);
int irsRemoteCode(int32_t status);
int irsRemoteStatus(const IrsdMsg& reply);
// Reads what the daemon has sent by now, if no other thread is reading: events of a channel whose
// socket has ended are in by then.
void irsRemotePoll(IrsPort& port);
// The wait for a request that carries a time-out of its own.
int irsRemoteWaitFor(int timeoutMs);
