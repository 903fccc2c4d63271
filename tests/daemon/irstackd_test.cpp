// irstackd as a program: its command line, and clients on its socket in a folder of the test's
// own (IRSTACK_SOCKET_DIR), where one client's garbage drops that client and no other.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "child_wait.h"
#include "deadline.h"
#include "irsd_msg.h"
#include "irsd_server.h"
#include "irsd_test_client.h"
#include "irsd_wire.h"

namespace {

int openPort(Client& client, const char* name) {
    IrsdMsg request;
    IrsdMsg reply;
    irsdInit(request, IRSD_OPEN, 0);
    irsdSetText(request, IRSD_OPEN_NAME, name);
    request.num[IRSD_OPEN_ROLE] = 1;
    return client.ask(request, reply);
}

std::vector<uint8_t> header(uint8_t version, uint8_t type, uint16_t length) {
    return {'I', 'R', 'S', 'D', version, type, uint8_t(length), uint8_t(length >> 8), 7, 0, 0, 0};
}

TEST(Irstackd, CommandLineMistakesAreRefused) {
    const std::vector<std::vector<std::string>> wrong{
        {},
        {"p0"},
        {"=/dev/null"},
        {".hidden=/dev/null"},
        {"p/0=/dev/null"},
        {"p0=/dev/null", "p0=/dev/zero"},
        {"--variant", "c", "p0=/dev/null"},
        {"--max-speed", "2400", "p0=/dev/null"},
        {"--max-speed"},
        {"--no-such-option", "p0=/dev/null"},
    };
    for (const auto& args : wrong) {
        int errorPipe = -1;
        const pid_t child = startDaemon("/nonexistent", args, errorPipe);
        int status = 0;
        ASSERT_EQ(waitChild(child, status), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args.size();
        close(errorPipe);
    }
    int errorPipe = -1;
    const pid_t child =
        startDaemon("/nonexistent", {"--group", "no-such-group-here", "p0=/dev/null"}, errorPipe);
    EXPECT_TRUE(waitForText(errorPipe, "no-such-group-here"));
    int status = 0;
    ASSERT_EQ(waitChild(child, status), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    close(errorPipe);
}

TEST(Irstackd, GarbageDropsOneClientWhileOthersAreServed) {
    char dirTemplate[] = "/tmp/irstackd-test-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = std::string(dirTemplate) + "/sockets";
    int errorPipe = -1;
    const pid_t daemon = startDaemon(dir, {"--group", ownGroup(), "p0=/dev/null"}, errorPipe);
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(waitForText(errorPipe, "serving p0"));
    const std::string path = dir + "/p0";
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0660U);
    EXPECT_EQ(status.st_gid, getgid());

    // A stranger is refused by its credentials, not by the files' rights, which are opened here
    // for a moment. Only root can become one.
    if (geteuid() == 0) {
        for (const std::string& opened : {std::string(dirTemplate), dir}) {
            ASSERT_EQ(chmod(opened.c_str(), 0755), 0);
        }
        ASSERT_EQ(chmod(path.c_str(), 0666), 0);
        const pid_t stranger = fork();
        if (stranger == 0) {
            const gid_t nobody = 65534;
            if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) {
                _exit(2);
            }
            Client c(path);
            _exit(c.refusal() == IRSD_ERR_ACCESS ? 0 : 1);
        }
        int exit = 0;
        ASSERT_EQ(waitChild(stranger, exit), stranger);
        EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << exit;
        ASSERT_EQ(chmod(path.c_str(), 0660), 0);
        ASSERT_EQ(chmod(dir.c_str(), 0750), 0);
    }

    Client a(path);
    Client b(path);
    EXPECT_EQ(b.ask(IRSD_PORT_STATUS), IRSD_ERR_STATE); // before hello
    EXPECT_EQ(a.ask(IRSD_HELLO), IRSD_OK);
    EXPECT_EQ(b.ask(IRSD_HELLO), IRSD_OK);
    EXPECT_EQ(b.ask(IRSD_HELLO), IRSD_ERR_STATE);

    a.sendBytes({'n', 'o', 't', ' ', 'a', ' ', 'm', 'e', 's', 's', 'a', 'g', 'e'});
    EXPECT_EQ(a.refusal(), IRSD_ERR_MALFORMED);

    EXPECT_EQ(openPort(b, "p1"), IRSD_ERR_PORT);
    EXPECT_EQ(b.ask(IRSD_CONNECT), IRSD_ERR_STATE); // before open
    EXPECT_EQ(openPort(b, "p0"), IRSD_OK);
    EXPECT_EQ(b.ask(IRSD_PORT_STATUS), IRSD_OK);
    EXPECT_EQ(b.ask(IRSD_CONNECT), IRSD_ERR_PORT); // /dev/null is no serial port

    // Each of these is dropped alone; b is answered after each.
    const std::vector<std::pair<std::vector<uint8_t>, int>> broken{
        {header(IRSD_VERSION, IRSD_HELLO, 5000), IRSD_ERR_TOO_LONG},
        {header(IRSD_VERSION + 1, IRSD_HELLO, 1), IRSD_ERR_VERSION},
        {header(IRSD_VERSION, 0x3F, 0), IRSD_ERR_TYPE},
        {header(IRSD_VERSION, IRSD_HELLO | IRSD_REPLY, 8), IRSD_ERR_TYPE},
        {header(IRSD_VERSION, IRSD_OPEN, 1), IRSD_ERR_MALFORMED},
    };
    for (const auto& [bytes, expected] : broken) {
        Client c(path);
        std::vector<uint8_t> message = bytes;
        message.resize(bytes.size() + (bytes[6] | bytes[7] << 8) % IRSD_MSG_MAX, 0);
        c.sendBytes(message);
        EXPECT_EQ(c.refusal(), expected);
        EXPECT_EQ(b.ask(IRSD_PORT_STATUS), IRSD_OK);
    }
    {
        Client leaving(path);
        leaving.sendBytes(header(IRSD_VERSION, IRSD_HELLO, 1));
    }

    // A client that sends and never reads is dropped once its replies fill its queue.
    {
        Client hog(path);
        std::vector<uint8_t> requests;
        for (uint32_t id = 1; id <= 100; ++id) {
            const std::vector<uint8_t> one = header(IRSD_VERSION, IRSD_HELLO, 1);
            requests.insert(requests.end(), one.begin(), one.end());
            requests.push_back(IRSD_VERSION); // hello again: STATE, a reply all the same
        }
        const Deadline deadline;
        bool dropped = false;
        while (!dropped && !deadline.passed()) {
            if (send(hog.sock, requests.data(), requests.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
                dropped = errno == EPIPE || errno == ECONNRESET;
                pollfd p{hog.sock, POLLOUT, 0};
                poll(&p, 1, 100);
            }
        }
        EXPECT_TRUE(dropped);
        EXPECT_EQ(b.ask(IRSD_PORT_STATUS), IRSD_OK);
    }

    // Clients beyond the limit are refused, one by one, while those in are served.
    {
        std::vector<std::unique_ptr<Client>> crowd;
        for (size_t i = 1; i < IRSD_CLIENTS_MAX; ++i) {
            crowd.push_back(std::make_unique<Client>(path));
        }
        Client extra(path);
        EXPECT_EQ(extra.refusal(), IRSD_ERR_NO_MEMORY);
        EXPECT_EQ(crowd.back()->ask(IRSD_HELLO), IRSD_OK);
        EXPECT_EQ(b.ask(IRSD_PORT_STATUS), IRSD_OK);
    }

    EXPECT_EQ(b.ask(IRSD_CLOSE_PORT), IRSD_OK);
    EXPECT_EQ(b.ask(IRSD_PORT_STATUS), IRSD_ERR_STATE);

    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    int exit = 0;
    ASSERT_EQ(waitChild(daemon, exit), daemon);
    EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "socket file left behind";
    close(errorPipe);
    rmdir(dir.c_str());
    rmdir(dirTemplate);
}

} // namespace
