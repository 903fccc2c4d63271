// Handle table, last-error slot and errno translation of the POSIX layer.
#include "host_objects.h"
#include "win32.h"

#include <array>
#include <cerrno>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

std::array<HostObject, HOST_HANDLES_MAX> objects;

thread_local DWORD lastError = ERROR_SUCCESS;
thread_local int lastSystemError = 0;

// The errno value for an error this layer sets without one.
int errnoFromError(DWORD error) {
    switch (error) {
    case ERROR_SUCCESS:
        return 0;
    case ERROR_FILE_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
        return EACCES;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
        return ENOMEM;
    case ERROR_INVALID_PARAMETER:
        return EINVAL;
    case ERROR_INVALID_FUNCTION:
        return ENOTTY;
    default:
        return EIO;
    }
}

} // namespace

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD error) {
    lastError = error;
    lastSystemError = errnoFromError(error);
}

void hostSetLastErrors(DWORD error, int systemError) {
    lastError = error;
    lastSystemError = systemError;
}

DWORD hostSystemError() {
    return static_cast<DWORD>(lastSystemError);
}

bool hostSystemErrorIsBusy(DWORD systemError) {
    return systemError == EBUSY || systemError == EWOULDBLOCK;
}

HostObject* hostObjectTake() {
    for (HostObject& object : objects) {
        HostObjectKind expected = HostObjectKind::Free;
        if (object.kind.compare_exchange_strong(expected, HostObjectKind::Busy)) {
            return &object;
        }
    }
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

void hostObjectPublish(HostObject* object, HostObjectKind kind) {
    object->kind.store(kind);
}

void hostObjectRelease(HostObject* object) {
    object->fd.store(-1);
    object->kind.store(HostObjectKind::Free);
}

HostObject* hostObjectFind(HANDLE handle, HostObjectKind kind) {
    for (HostObject& object : objects) {
        if (static_cast<HANDLE>(&object) == handle && object.kind.load() == kind) {
            return &object;
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

HostObject* hostObjectClaim(HANDLE handle, HostObjectKind kind) {
    for (HostObject& object : objects) {
        HostObjectKind expected = kind;
        if (static_cast<HANDLE>(&object) == handle &&
            object.kind.compare_exchange_strong(expected, HostObjectKind::Busy)) {
            return &object;
        }
    }
    return nullptr;
}

BOOL CloseHandle(HANDLE object) {
    if (HostObject* port = hostObjectClaim(object, HostObjectKind::Port)) {
        const int fd = port->fd.exchange(-1);
        // Let the next opener in: exclusive mode stays on the tty, the lock goes with the fd.
        ioctl(fd, TIOCNXCL);
        close(fd);
        hostObjectRelease(port);
        return TRUE;
    }
    if (HostObject* thread = hostObjectClaim(object, HostObjectKind::Thread)) {
        // A running thread keeps its object until it ends.
        if ((thread->threadFlags.fetch_or(HOST_THREAD_CLOSED) & HOST_THREAD_FINISHED) != 0) {
            hostObjectRelease(thread);
        }
        return TRUE;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

uint64_t hostMonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000U +
           static_cast<uint64_t>(now.tv_nsec) / 1000000U;
}

DWORD hostErrorFromErrno(int error) {
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EROFS:
    case EISDIR: // what Windows answers for a directory
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
    case EMFILE:
    case ENFILE:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case ENAMETOOLONG:
        return ERROR_INVALID_PARAMETER;
    case ENOTTY:
        return ERROR_INVALID_FUNCTION;
    default:
        return ERROR_GEN_FAILURE;
    }
}
