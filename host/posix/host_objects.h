// The objects behind the POSIX layer's handles: a fixed table of open ports and started threads.
#pragma once

#include <atomic>
#include <mutex>

#include "win32_posix.h"

constexpr uint8_t HOST_THREAD_FINISHED = 1;
constexpr uint8_t HOST_THREAD_CLOSED = 2;

enum class HostObjectKind : uint8_t { Free, Busy, Port, Thread };

struct HostObject {
    std::atomic<HostObjectKind> kind{HostObjectKind::Free};
    std::atomic<int> fd{-1};
    DWORD threadId = 0;
    // HOST_THREAD_ bits: whichever of the thread's end and its handle's close comes second frees
    // the object.
    std::atomic<uint8_t> threadFlags{0};
    // Guards the port configuration below; reads and writes may come from several threads.
    std::mutex configLock;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    // DTR and RTS follow the DCB's control modes only when a mode changes, as on Windows.
    bool linesApplied = false;
};

// Claims an object of `kind` for closing (marked Busy), or nullptr when the handle is not one.
HostObject* hostObjectClaim(HANDLE handle, HostObjectKind kind);
// Takes a free object (marked Busy), or nullptr with ERROR_NOT_ENOUGH_MEMORY.
HostObject* hostObjectTake();
// Makes a taken object usable as `kind`.
void hostObjectPublish(HostObject* object, HostObjectKind kind);
void hostObjectRelease(HostObject* object);
// The object behind a handle when it is of `kind`, else nullptr with ERROR_INVALID_HANDLE.
HostObject* hostObjectFind(HANDLE handle, HostObjectKind kind);
// The Windows error number closest to an errno value.
DWORD hostErrorFromErrno(int error);
// Milliseconds on the monotonic clock.
uint64_t hostMonotonicMs();
