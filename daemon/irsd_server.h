// irstackd's sockets and its one event loop: a listening socket per port in the socket folder,
// clients accepted without blocking, each with its receive buffer, send queue and session.
#pragma once

#include <sys/types.h>

#include <array>
#include <string>
#include <vector>

#include "irsd_options.h"
#include "irsd_ports.h"
#include "irsd_session.h"
#include "irsd_wire.h"

class IrsdServer {
  public:
    // Makes the folder when missing and one listening socket per port, of the group, mode 0660,
    // and opens the ports.
    bool start(const IrsdOptions& options, std::string& error);
    // Serves until `stopFd` polls readable; false when the loop itself fails.
    bool run(int stopFd);
    // Closes every client and socket and removes the socket files.
    void stop();

  private:
    struct Listener {
        std::string name;
        std::string path;
        int sock = -1;
    };
    void acceptClients(size_t port);
    void readClient(IrsdClient& client);
    void flushClient(IrsdClient& client);
    // Answers with an IRSD_ERROR of `status` and ends the connection.
    void refuse(IrsdClient& client, int status, uint32_t id);
    void closeClient(IrsdClient& client);

    std::vector<Listener> listeners;
    IrsdPorts ports;
    uint32_t lastSerial = 0;
    std::array<IrsdClient, IRSD_CLIENTS_MAX> clients{};
    gid_t gid = 0;
    std::string folder;
};

// Makes SIGTERM and SIGINT readable on the descriptor it returns (-1 on failure), and SIGPIPE
// harmless.
int irsdStopSignals();
// Whether the peer of `sock` may use the ports: root, or a member of `group` by its primary or
// a supplementary group. Its uid and process go to `uid` and `pid`.
bool irsdPeerAllowed(int sock, gid_t group, uid_t& uid, pid_t& pid);
// Creates `dir` (mode 0750, of `group`) unless it is there; false with `error` set.
bool irsdMakeFolder(const std::string& dir, gid_t group, std::string& error);
// A listening socket at `path`, mode 0660, of `group`; a stale file left by a daemon that died is
// replaced, one that answers is not. -1 with `error` set.
int irsdListen(const std::string& path, gid_t group, std::string& error);
