// CreateThread, Sleep, GetTickCount and timeBeginPeriod on POSIX threads and the monotonic clock.
#include <atomic>
#include <cerrno>
#include <ctime>
#include <pthread.h>

#include "host_objects.h"

namespace {

// Lives on CreateThread's stack until the new thread has copied it.
struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
    HostObject* object;
    std::atomic<bool> taken{false};
};

std::atomic<DWORD> nextThreadId{1};

void* threadMain(void* argument) {
    auto* start = static_cast<ThreadStart*>(argument);
    const LPTHREAD_START_ROUTINE routine = start->routine;
    const LPVOID parameter = start->parameter;
    HostObject* object = start->object;
    start->taken.store(true);
    start->taken.notify_one();
    routine(parameter);
    const uint8_t before = object->threadFlags.fetch_or(HOST_THREAD_FINISHED);
    if ((before & HOST_THREAD_CLOSED) != 0) {
        hostObjectRelease(object); // nobody can wait on a closed handle
    } else {
        object->threadFlags.notify_all();
    }
    return nullptr;
}

} // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES threadAttributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId) {
    (void)threadAttributes;
    // Suspended starts and other flags are not offered.
    if (startAddress == nullptr || creationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HostObject* object = hostObjectTake();
    if (object == nullptr) {
        return nullptr;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        pthread_attr_setstacksize(&attributes, stackSize);
    }
    object->threadFlags.store(0);
    ThreadStart start{startAddress, parameter, object};
    pthread_t thread{};
    const int error = pthread_create(&thread, &attributes, threadMain, &start);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        hostObjectRelease(object);
        SetLastError(error == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : hostErrorFromErrno(error));
        return nullptr;
    }
    start.taken.wait(false);
    object->threadId = nextThreadId.fetch_add(1);
    if (threadId != nullptr) {
        *threadId = object->threadId;
    }
    hostObjectPublish(object, HostObjectKind::Thread);
    return object;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    HostObject* thread = hostObjectFind(handle, HostObjectKind::Thread);
    if (thread == nullptr) {
        return WAIT_FAILED;
    }
    const uint64_t start = hostMonotonicMs();
    for (;;) {
        const uint8_t flags = thread->threadFlags.load();
        if ((flags & HOST_THREAD_FINISHED) != 0) {
            return WAIT_OBJECT_0;
        }
        if (milliseconds == INFINITE) {
            thread->threadFlags.wait(flags);
        } else if (hostMonotonicMs() - start >= milliseconds) {
            return WAIT_TIMEOUT;
        } else {
            Sleep(1); // a bounded wait is rare and short: the stations' stops
        }
    }
}

void Sleep(DWORD milliseconds) {
    timespec rest{static_cast<time_t>(milliseconds / 1000U),
                  static_cast<long>(milliseconds % 1000U) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

DWORD GetTickCount() {
    return static_cast<DWORD>(hostMonotonicMs());
}

MMRESULT timeBeginPeriod(UINT period) {
    (void)period;
    return TIMERR_NOERROR;
}
