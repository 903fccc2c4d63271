// A real pseudo-terminal pair for the port tests: the code under test opens the slave by name,
// the test plays the far end on the master.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <termios.h>
#include <vector>

class PtyPair {
  public:
    PtyPair() = default;
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // False when the system has no pseudo-terminals; tests then skip.
    bool open();
    const std::string& slaveName() const { return name; }
    // The far end's descriptor, for a test that relays it to another pair.
    int masterFd() const { return master; }

    void writeMaster(const std::vector<uint8_t>& bytes) const;
    // Reads from the master until `count` bytes arrived or a generous deadline passed.
    std::vector<uint8_t> readMaster(size_t count) const;
    // Bytes waiting on the slave side, unread by the code under test.
    size_t pendingOnSlave() const;
    // Waits (poll, no sleeps) until at least `count` bytes wait on the slave side.
    bool waitPendingOnSlave(size_t count) const;
    // Runs `read` on another thread with nothing arriving on the slave side. A read that waits for
    // input would never return, so past a deadline bytes are written to release it; false then.
    bool returnsWithoutInput(const std::function<void()>& read) const;
    // The far end goes, as an unplugged device does: the slave's reads fail from then on.
    void closeMaster();
    // The slave's line settings, as the far end sees them.
    termios slaveSettings() const;

  private:
    int master = -1;
    int slave = -1;
    std::string name;
};

// Every byte value once, in order.
std::vector<uint8_t> allByteValues();
