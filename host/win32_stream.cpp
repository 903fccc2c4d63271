// Windows has no pseudo-terminals: only the standard streams, whose reads cannot time out.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include "byte_stream.h"
#include "serial_stream.h"
#include "win32.h"

const bool HOST_READ_TIMES_OUT = false;

namespace {

std::atomic<std::atomic<bool>*> stopFlag{nullptr};

void onStopSignal(int signal) {
    std::atomic<bool>* flag = stopFlag.load();
    if (flag != nullptr) {
        flag->store(true);
    }
    std::signal(signal, onStopSignal); // the handler is reset to the default before each call
}

} // namespace

bool hostPtyOpen(HostStream& /*stream*/) {
    errno = ENOSYS;
    return false;
}

void hostStdioOpen(HostStream& stream) {
    stream.kind = HostStreamKind::standard;
    stream.input = _fileno(stdin);
    stream.output = _fileno(stdout);
    _setmode(stream.input, _O_BINARY);
    _setmode(stream.output, _O_BINARY);
}

HostLinkResult hostPtyLink(HostStream& /*stream*/, const char* /*path*/) {
    errno = ENOSYS;
    return HostLinkResult::failed;
}

void hostStreamClose(HostStream& stream) {
    if (stream.serial != nullptr) {
        hostSerialStreamClose(stream);
    }
}

unsigned long hostStreamReopen(HostStream& stream) {
    return stream.kind == HostStreamKind::serial ? hostSerialStreamReopen(stream)
                                                 : ERROR_INVALID_FUNCTION;
}

int hostStreamRead(HostStream& stream, uint8_t* buffer, size_t maximum, int timeoutMs) {
    if (stream.kind == HostStreamKind::serial) {
        return hostSerialStreamRead(stream, buffer, maximum, timeoutMs);
    }
    const int count = _read(stream.input, buffer, static_cast<unsigned>(maximum));
    return count > 0 ? count : HOST_STREAM_END;
}

bool hostStreamWritable(HostStream& /*stream*/, int /*timeoutMs*/) {
    return true;
}

size_t hostStreamWrite(HostStream& stream, const uint8_t* data, size_t length,
                       const std::atomic<bool>& stop) {
    if (stream.kind == HostStreamKind::serial) {
        return hostSerialStreamWrite(stream, data, length, stop);
    }
    size_t written = 0;
    while (written < length && !stop.load()) {
        const int count =
            _write(stream.output, data + written, static_cast<unsigned>(length - written));
        if (count <= 0) {
            break;
        }
        written += static_cast<size_t>(count);
    }
    return written;
}

void hostCatchStopSignals(std::atomic<bool>* flag) {
    stopFlag.store(flag);
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}
