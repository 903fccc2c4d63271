// Error codes every layer returns, in the manner of a small network stack's err_t: 0 is success,
// each failure a negative code with a text for the user.
#pragma once

#include <cstdint>

enum IrErr : int8_t {
    IR_OK = 0,
    IR_ERR_TIMEOUT = -1,   // nothing came before the deadline
    IR_ERR_IO = -2,        // a port operation failed
    IR_ERR_PORT_LOST = -3, // the port has gone (a dongle unplugged)
    IR_ERR_SPEED = -4,     // the port or the transceiver did not take the speed
    IR_ERR_ARG = -5,       // a bad argument: null, too long, out of range
    IR_ERR_STATE = -6,     // a call the station's state does not allow
    IR_ERR_PEER = -7,      // the peer broke the protocol, or went silent
};

// A short text for the user ("port lost"); never null.
const char* irErrText(IrErr error);
