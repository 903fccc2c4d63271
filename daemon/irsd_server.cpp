// The event loop: one poll over the stop signal, the listening sockets and the clients. No call
// here waits on a client: reads and sends are non-blocking, and a client that does not take its
// replies is dropped once its send queue is full.
#include "irsd_server.h"

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool lookUpGroup(const std::string& name, gid_t& gid, std::string& error) {
    std::array<char, 16384> buffer{};
    group entry{};
    group* found = nullptr;
    const int failure = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (found == nullptr) {
        error = "group " + name + ": " + (failure != 0 ? std::strerror(failure) : "no such group");
        return false;
    }
    gid = entry.gr_gid;
    return true;
}

} // namespace

bool IrsdServer::start(const IrsdOptions& options, std::string& error) {
    if (!lookUpGroup(options.group, gid, error) || !irsdMakeFolder(options.socketDir, gid, error)) {
        return false;
    }
    folder = options.socketDir;
    for (const IrsdPortConfig& port : options.ports) {
        Listener listener{port.name, options.socketDir + "/" + port.name, -1};
        listener.sock = irsdListen(listener.path, gid, error);
        if (listener.sock < 0) {
            stop();
            return false;
        }
        listeners.push_back(listener);
    }
    ports.open(options);
    for (const Listener& listener : listeners) {
        std::fprintf(stderr, "irstackd: serving %s at %s\n", listener.name.c_str(),
                     listener.path.c_str());
    }
    return true;
}

bool IrsdServer::run(int stopFd) {
    constexpr size_t POLLED =
        1 + 2 * IRSD_PORTS_MAX + IRSD_CLIENTS_MAX + IRSD_CLIENTS_MAX * IRSD_CLIENT_CHANNELS;
    std::array<pollfd, POLLED> polled{};
    std::array<IrsdClient*, POLLED> owner{};
    for (;;) {
        size_t count = 0;
        polled[count++] = {stopFd, POLLIN, 0};
        for (const Listener& listener : listeners) {
            polled[count++] = {listener.sock, POLLIN, 0};
        }
        const size_t firstClient = count;
        for (IrsdClient& client : clients) {
            if (client.sock >= 0) {
                const short events = irsdSendPending(client.out) ? POLLIN | POLLOUT : POLLIN;
                owner.at(count) = &client;
                polled.at(count++) = {client.sock, events, 0};
            }
        }
        const size_t firstPort = count;
        count += ports.collect(std::span<pollfd>(polled).subspan(count));
        if (poll(polled.data(), count, ports.timeoutMs()) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "irstackd: poll: %s\n", std::strerror(errno));
            return false;
        }
        if (polled[0].revents != 0) {
            return true;
        }
        for (size_t i = firstClient; i < firstPort; ++i) {
            IrsdClient& client = *owner.at(i);
            if ((polled.at(i).revents & POLLOUT) != 0 && client.sock >= 0) {
                flushClient(client);
            }
            if ((polled.at(i).revents & (POLLIN | POLLHUP | POLLERR)) != 0 && client.sock >= 0) {
                readClient(client);
            }
        }
        ports.serve(std::span<const pollfd>(polled).subspan(firstPort, count - firstPort), clients);
        for (IrsdClient& client : clients) {
            if (client.sock >= 0 && client.dropping) {
                closeClient(client);
            } else if (client.sock >= 0 && irsdSendPending(client.out)) {
                flushClient(client);
            }
        }
        for (size_t port = 0; port < listeners.size(); ++port) {
            if (polled.at(1 + port).revents != 0) {
                acceptClients(port);
            }
        }
    }
}

void IrsdServer::acceptClients(size_t port) {
    for (;;) {
        const int sock =
            accept4(listeners[port].sock, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (sock < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                errno != ECONNABORTED) {
                std::fprintf(stderr, "irstackd: accept: %s\n", std::strerror(errno));
            }
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;
        }
        IrsdClient* slot = nullptr;
        for (IrsdClient& client : clients) {
            if (client.sock < 0 && slot == nullptr) {
                slot = &client;
            }
        }
        // Refused, a connection still gets its one error message, sent through a spare slot's
        // queue when there is one and straight through the socket otherwise.
        IrsdClient spare;
        IrsdClient& client = slot != nullptr ? *slot : spare;
        client.sock = sock;
        client.port = port;
        client.session = IrsdSession{listeners[port].name};
        client.index = slot != nullptr ? static_cast<size_t>(slot - clients.data()) : SIZE_MAX;
        client.serial = ++lastSerial;
        client.dropping = false;
        uid_t uid = 0;
        pid_t pid = 0;
        if (slot == nullptr) {
            std::fprintf(stderr, "irstackd: %s: too many clients\n", listeners[port].name.c_str());
            refuse(client, IRSD_ERR_NO_MEMORY, 0);
        } else if (!irsdPeerAllowed(sock, gid, uid, pid)) {
            std::fprintf(stderr, "irstackd: %s: uid %u is not allowed\n",
                         listeners[port].name.c_str(), static_cast<unsigned>(uid));
            refuse(client, IRSD_ERR_ACCESS, 0);
        }
        client.uid = uid;
        client.pid = pid;
    }
}

void IrsdServer::readClient(IrsdClient& client) {
    // One read per turn, so a client that keeps sending cannot starve the others.
    const IrsdRead read = irsdReceive(client.sock, client.in);
    if (read == IrsdRead::AGAIN) {
        return;
    }
    if (read != IrsdRead::DATA) {
        if (read == IrsdRead::END && client.in.used > 0) {
            std::fprintf(stderr, "irstackd: %s: uid %u left in mid-message\n",
                         listeners[client.port].name.c_str(), static_cast<unsigned>(client.uid));
        }
        closeClient(client);
        return;
    }
    IrsdMsg request;
    IrsdMsg reply;
    int taken = 0;
    while ((taken = irsdTakeMessage(client.in, request, IrsdFrom::CLIENT)) == 1) {
        if (!irsdAnswer(client.session, request, reply)) {
            ports.request(clients, client.index, request);
            if (client.dropping) {
                closeClient(client);
                return;
            }
            continue;
        }
        if (irsdQueue(client.out, reply) != IRSD_OK) {
            std::fprintf(stderr, "irstackd: uid %u does not take its replies\n",
                         static_cast<unsigned>(client.uid));
            closeClient(client);
            return;
        }
    }
    if (taken < 0) {
        std::fprintf(stderr, "irstackd: uid %u dropped: %s\n", static_cast<unsigned>(client.uid),
                     irsdStatusText(taken));
        refuse(client, taken, irsdFrontId(client.in));
        return;
    }
    flushClient(client);
}

void IrsdServer::flushClient(IrsdClient& client) {
    if (irsdFlush(client.out, client.sock) != IRSD_OK) {
        closeClient(client);
    }
}

void IrsdServer::refuse(IrsdClient& client, int status, uint32_t id) {
    IrsdMsg error;
    irsdInit(error, IRSD_ERROR, id);
    error.num[IRSD_STATUS] = static_cast<uint32_t>(status);
    error.num[IRSD_ERROR_R_VERSION] = IRSD_VERSION;
    // One try: the error goes when the socket takes it, and the client is dropped either way.
    if (irsdQueue(client.out, error) == IRSD_OK) {
        irsdFlush(client.out, client.sock);
    }
    closeClient(client);
}

void IrsdServer::closeClient(IrsdClient& client) {
    if (client.sock >= 0) {
        // What it held goes with it: its channels are disconnected toward the peer now.
        if (client.index != SIZE_MAX) {
            ports.leave(client.index, client.serial);
        }
        close(client.sock);
    }
    client.sock = -1;
    client.session = IrsdSession{};
    irsdReceiverClear(client.in);
    irsdSenderClear(client.out);
}

void IrsdServer::stop() {
    for (IrsdClient& client : clients) {
        closeClient(client);
    }
    ports.stop();
    for (Listener& listener : listeners) {
        if (listener.sock >= 0) {
            close(listener.sock);
            unlink(listener.path.c_str());
            listener.sock = -1;
        }
    }
    listeners.clear();
}
