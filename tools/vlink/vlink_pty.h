// The two ends of the virtual link: pseudo-terminals whose slave sides are reachable at paths the
// user names, as if they were serial ports.
#pragma once

#include <cstdint>

struct VlinkEnd {
    int master = -1;
    // Held open so that the master never hangs up while a program closes and reopens its port.
    int heldSlave = -1;
    // Reports closes of the slave (Linux), after which its exclusive-open flag is cleared.
    int closeWatch = -1;
    char slaveName[128] = {};
    const char* path = nullptr;
};

// Creates the pseudo-terminal (raw, 9600 bit/s until a program sets its own mode) and the symlink
// at path; a stale symlink there is replaced. On failure returns false with errno set and leaves
// nothing behind.
bool vlinkEndOpen(VlinkEnd& end, const char* path);
// Removes the symlink (if it still points at this end) and closes everything.
void vlinkEndClose(VlinkEnd& end);
// The output speed the program at this end has set, in bit/s (0 when unknown).
uint32_t vlinkEndSpeed(const VlinkEnd& end);
// Consumes pending close notifications; when the program closed its port, lifts the exclusive
// flag it may have set, which would otherwise outlive its close because of heldSlave.
void vlinkEndNoteCloses(VlinkEnd& end);

// bit/s of a termios speed code, 0 when unknown.
uint32_t vlinkSpeedFromCode(unsigned long code);
