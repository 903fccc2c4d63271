// A test's side of irstackd: the daemon started as a child in a socket folder of the test's own
// (IRSTACK_SOCKET_DIR), and a client that speaks the protocol with irsd_msg and irsd_wire alone.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "deadline.h"
#include "irsd_msg.h"
#include "irsd_wire.h"

namespace {

constexpr int WAIT_MS = 30000;
const char* const LSAP_ATTRIBUTE = "TinyTP:LsapSel";

inline std::string ownGroup() {
    const group* entry = getgrgid(getgid());
    return entry != nullptr ? entry->gr_name : "";
}

// Starts irstackd with `args`, its standard error on a pipe; -1 when fork fails.
inline pid_t startDaemon(const std::string& dir, std::vector<std::string> args, int& errorPipe) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(ends[1], STDERR_FILENO);
        setenv("IRSTACK_SOCKET_DIR", dir.c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(IRSTACKD_PATH)};
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(IRSTACKD_PATH, argv.data());
        _exit(127);
    }
    close(ends[1]);
    errorPipe = ends[0];
    return child;
}

// What the daemon writes to standard error until `text` shows or the deadline passes.
inline bool waitForText(int errorPipe, const std::string& text,
                        const Deadline& deadline = Deadline()) {
    std::string seen;
    while (seen.find(text) == std::string::npos && !deadline.passed()) {
        pollfd p{errorPipe, POLLIN, 0};
        if (poll(&p, 1, 100) == 1) {
            char chunk[256];
            const ssize_t got = read(errorPipe, chunk, sizeof chunk);
            if (got <= 0) {
                return false;
            }
            seen.append(chunk, static_cast<size_t>(got));
        }
    }
    return seen.find(text) != std::string::npos;
}

class Client {
  public:
    explicit Client(const std::string& path) {
        sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~Client() { close(sock); }

    void sendBytes(const std::vector<uint8_t>& bytes) const {
        EXPECT_EQ(send(sock, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    void sendMsg(const IrsdMsg& msg) const {
        std::vector<uint8_t> bytes(IRSD_MSG_MAX);
        bytes.resize(static_cast<size_t>(irsdEncode(msg, bytes)));
        sendBytes(bytes);
    }
    // The next message, or false at the end of the connection or the deadline.
    bool receive(IrsdMsg& msg, const Deadline& deadline = Deadline()) {
        while (!deadline.passed()) {
            if (irsdTakeMessage(in, msg, IrsdFrom::DAEMON) == 1) {
                return true;
            }
            pollfd p{sock, POLLIN, 0};
            if (poll(&p, 1, 100) == 1 && irsdReceive(sock, in) != IrsdRead::DATA) {
                return false;
            }
        }
        ADD_FAILURE() << "no message before the deadline";
        return false;
    }
    // Sends a request of `type` and returns its reply's status (or its error's); events and
    // items that come first are kept in `before`.
    int ask(IrsdMsg& request, IrsdMsg& reply, const Deadline& deadline = Deadline()) {
        request.id = ++lastId;
        sendMsg(request);
        for (;;) {
            if (!receive(reply, deadline)) {
                return 1;
            }
            if (reply.type == (request.type | IRSD_REPLY) || reply.type == IRSD_ERROR) {
                break;
            }
            before.push_back(reply);
        }
        EXPECT_EQ(reply.id, request.id);
        EXPECT_TRUE(reply.type == (request.type | IRSD_REPLY) || reply.type == IRSD_ERROR);
        return irsdStatus(reply);
    }
    int ask(uint8_t type) {
        IrsdMsg request;
        IrsdMsg reply;
        irsdInit(request, type, 0);
        if (type == IRSD_HELLO) {
            request.num[IRSD_HELLO_VERSION] = IRSD_VERSION;
        }
        return ask(request, reply);
    }
    // The daemon's error, then the end of the connection.
    int refusal() {
        IrsdMsg error;
        if (!receive(error) || error.type != IRSD_ERROR) {
            return 1;
        }
        EXPECT_EQ(error.num[IRSD_ERROR_R_VERSION], IRSD_VERSION);
        IrsdMsg more;
        EXPECT_FALSE(receive(more)) << "still connected";
        return irsdStatus(error);
    }

    int sock = -1;
    std::vector<IrsdMsg> before;

  private:
    IrsdReceiver in;
    uint32_t lastId = 0;
};

inline void openPort(Client& client) {
    ASSERT_EQ(client.ask(IRSD_HELLO), IRSD_OK);
    IrsdMsg request;
    IrsdMsg reply;
    irsdInit(request, IRSD_OPEN, 0);
    irsdSetText(request, IRSD_OPEN_NAME, "ir0");
    ASSERT_EQ(client.ask(request, reply), IRSD_OK);
}

inline IrsdMsg serviceRequest(uint8_t type, const char* className, uint8_t mode) {
    IrsdMsg request;
    irsdInit(request, type, 0);
    irsdSetText(request, IRSD_SVC_CLASS, className);
    irsdSetText(request, IRSD_SVC_ATTRIBUTE, className[0] != '\0' ? LSAP_ATTRIBUTE : "");
    request.num[IRSD_SVC_TIMEOUT] = WAIT_MS;
    request.num[IRSD_SVC_MODE] = mode;
    if (type == IRSD_CONNECT) {
        request.num[IRSD_CONNECT_LSAP] = static_cast<uint32_t>(-1);
    }
    return request;
}

} // namespace
