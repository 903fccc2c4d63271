// Protocol messages over a UNIX-domain stream socket: a receive buffer that reassembles them from
// whatever pieces arrive, a send queue that never waits, and descriptors passed beside them
// (SCM_RIGHTS). POSIX only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "irsd_msg.h"

constexpr size_t IRSD_FDS_QUEUED = 4;

struct IrsdReceiver {
    std::array<uint8_t, 2 * IRSD_MSG_MAX> bytes{};
    size_t used = 0;
    // Descriptors wait here for the message that takes one: it was sent with its first byte, so
    // it is always in before the message is whole.
    std::array<int, IRSD_FDS_QUEUED> fds{};
    size_t fdCount = 0;
    bool fdOverflow = false;
};

struct IrsdSender {
    std::array<uint8_t, 8 * IRSD_MSG_MAX> bytes{};
    size_t head = 0;
    size_t tail = 0;
    struct Pass {
        size_t at; // offset in `bytes` of the first byte it goes with
        int fd;
    };
    std::array<Pass, IRSD_FDS_QUEUED> fds{};
    size_t fdCount = 0;
};

enum class IrsdRead : uint8_t { DATA, AGAIN, END, FAILED };

// One read of what the socket holds, never waiting; FAILED leaves errno.
IrsdRead irsdReceive(int sock, IrsdReceiver& in);
// Takes the next whole message out of `in`: 1 when `msg` holds one, 0 while more bytes are
// needed, or the status that ends the connection (garbage, a type `from` never sends, a
// descriptor that should not be there or is missing).
int irsdTakeMessage(IrsdReceiver& in, IrsdMsg& msg, IrsdFrom from);
// The request id of the message at the front, for an error that answers it.
uint32_t irsdFrontId(const IrsdReceiver& in);
// Closes the descriptors still held.
void irsdReceiverClear(IrsdReceiver& in);

// Queues `msg` and the descriptor in msg.fd, which the queue owns from now (and closes once
// sent, or at once when the message is refused). IRSD_ERR_NO_MEMORY when the queue is full.
int irsdQueue(IrsdSender& out, const IrsdMsg& msg);
// Sends what the socket takes now; IRSD_OK (bytes may remain) or IRSD_ERR_IO with errno.
int irsdFlush(IrsdSender& out, int sock);
inline bool irsdSendPending(const IrsdSender& out) {
    return out.head != out.tail;
}
// Bytes the queue can still take.
inline size_t irsdQueueRoom(const IrsdSender& out) {
    return out.bytes.size() - (out.tail - out.head);
}
void irsdSenderClear(IrsdSender& out);
