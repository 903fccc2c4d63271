// The host's stream on a second serial port (--serial): the byte stream functions hand a stream
// that holds a port over to these. Within the host layer only.
#pragma once

#include "byte_stream.h"

void hostSerialStreamClose(HostStream& stream);
unsigned long hostSerialStreamReopen(HostStream& stream);
int hostSerialStreamRead(HostStream& stream, uint8_t* buffer, size_t maximum, int timeoutMs);
size_t hostSerialStreamWrite(HostStream& stream, const uint8_t* data, size_t length,
                             const std::atomic<bool>& stop);
