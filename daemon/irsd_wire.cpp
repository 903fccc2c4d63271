// Framing and descriptor passing with recvmsg and sendmsg.
#include "irsd_wire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Room for the descriptors a message may carry and a few more, so that extra ones are seen and
// closed rather than cut off unnoticed.
constexpr size_t CONTROL_FDS = IRSD_FDS_QUEUED;

void closeFd(int fd) {
    if (fd >= 0) {
        close(fd);
    }
}

void keepFds(IrsdReceiver& in, const msghdr& header) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&header), c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) {
            continue;
        }
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            if (in.fdCount < in.fds.size()) {
                in.fds.at(in.fdCount++) = fd;
            } else {
                closeFd(fd);
                in.fdOverflow = true;
            }
        }
    }
    if ((header.msg_flags & MSG_CTRUNC) != 0) {
        in.fdOverflow = true;
    }
}

} // namespace

IrsdRead irsdReceive(int sock, IrsdReceiver& in) {
    if (in.used == in.bytes.size()) {
        return IrsdRead::AGAIN; // whole messages are taken out before the next read
    }
    iovec io{in.bytes.data() + in.used, in.bytes.size() - in.used};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int) * CONTROL_FDS)> control{};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    header.msg_control = control.data();
    header.msg_controllen = control.size();
    for (;;) {
        const ssize_t got = recvmsg(sock, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? IrsdRead::AGAIN : IrsdRead::FAILED;
        }
        keepFds(in, header);
        in.used += static_cast<size_t>(got);
        return got == 0 ? IrsdRead::END : IrsdRead::DATA;
    }
}

uint32_t irsdFrontId(const IrsdReceiver& in) {
    return irsdHeaderId(std::span<const uint8_t>(in.bytes.data(), in.used));
}

int irsdTakeMessage(IrsdReceiver& in, IrsdMsg& msg, IrsdFrom from) {
    if (in.fdOverflow || (from == IrsdFrom::CLIENT && in.fdCount > 0)) {
        return IRSD_ERR_MALFORMED;
    }
    const std::span<const uint8_t> have(in.bytes.data(), in.used);
    const int length = irsdMessageLength(have);
    if (length <= 0) {
        return length;
    }
    if (static_cast<size_t>(length) > in.used) {
        return 0;
    }
    const int status = irsdDecode(have.first(static_cast<size_t>(length)), msg);
    if (status != IRSD_OK) {
        return status;
    }
    const IrsdLayout* layout = irsdLayout(msg.type);
    if (layout->from != from) {
        return IRSD_ERR_TYPE;
    }
    if (layout->passesFd && irsdStatus(msg) == IRSD_OK) {
        if (in.fdCount == 0) {
            return IRSD_ERR_MALFORMED;
        }
        msg.fd = in.fds[0];
        std::copy(in.fds.begin() + 1, in.fds.begin() + static_cast<std::ptrdiff_t>(in.fdCount),
                  in.fds.begin());
        --in.fdCount;
    }
    std::copy(in.bytes.begin() + length, in.bytes.begin() + static_cast<std::ptrdiff_t>(in.used),
              in.bytes.begin());
    in.used -= static_cast<size_t>(length);
    return 1;
}

void irsdReceiverClear(IrsdReceiver& in) {
    for (size_t i = 0; i < in.fdCount; ++i) {
        closeFd(in.fds.at(i));
    }
    in.fdCount = 0;
    in.fdOverflow = false;
    in.used = 0;
}

int irsdQueue(IrsdSender& out, const IrsdMsg& msg) {
    const bool passes = msg.fd >= 0;
    if (passes && out.fdCount == out.fds.size()) {
        closeFd(msg.fd);
        return IRSD_ERR_NO_MEMORY;
    }
    if (out.bytes.size() - out.tail < IRSD_MSG_MAX && out.head > 0) {
        std::copy(out.bytes.begin() + static_cast<std::ptrdiff_t>(out.head),
                  out.bytes.begin() + static_cast<std::ptrdiff_t>(out.tail), out.bytes.begin());
        for (size_t i = 0; i < out.fdCount; ++i) {
            out.fds.at(i).at -= out.head;
        }
        out.tail -= out.head;
        out.head = 0;
    }
    const int length = out.bytes.size() - out.tail < IRSD_MSG_MAX
                           ? IRSD_ERR_NO_MEMORY
                           : irsdEncode(msg, std::span<uint8_t>(out.bytes).subspan(out.tail));
    if (length < 0) {
        closeFd(msg.fd);
        return length;
    }
    if (passes) {
        out.fds.at(out.fdCount++) = {out.tail, msg.fd};
    }
    out.tail += static_cast<size_t>(length);
    return IRSD_OK;
}

int irsdFlush(IrsdSender& out, int sock) {
    while (out.head != out.tail) {
        const bool attach = out.fdCount > 0 && out.fds[0].at == out.head;
        // A descriptor goes with the first byte of its message and no earlier byte.
        size_t end = out.tail;
        if (out.fdCount > (attach ? 1U : 0U)) {
            end = out.fds.at(attach ? 1 : 0).at;
        }
        iovec io{out.bytes.data() + out.head, end - out.head};
        alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
        msghdr header{};
        header.msg_iov = &io;
        header.msg_iovlen = 1;
        if (attach) {
            header.msg_control = control.data();
            header.msg_controllen = control.size();
            cmsghdr* c = CMSG_FIRSTHDR(&header);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &out.fds[0].fd, sizeof(int));
        }
        const ssize_t sent = sendmsg(sock, &header, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? IRSD_OK : IRSD_ERR_IO;
        }
        if (attach) {
            closeFd(out.fds[0].fd);
            std::copy(out.fds.begin() + 1,
                      out.fds.begin() + static_cast<std::ptrdiff_t>(out.fdCount), out.fds.begin());
            --out.fdCount;
        }
        out.head += static_cast<size_t>(sent);
    }
    out.head = 0;
    out.tail = 0;
    return IRSD_OK;
}

void irsdSenderClear(IrsdSender& out) {
    for (size_t i = 0; i < out.fdCount; ++i) {
        closeFd(out.fds.at(i).fd);
    }
    out.fdCount = 0;
    out.head = 0;
    out.tail = 0;
}
