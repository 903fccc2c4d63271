#include "ir_err.h"

const char* irErrText(IrErr error) {
    switch (error) {
    case IR_OK:
        return "no error";
    case IR_ERR_TIMEOUT:
        return "time-out";
    case IR_ERR_IO:
        return "port error";
    case IR_ERR_PORT_LOST:
        return "port lost";
    case IR_ERR_SPEED:
        return "speed not taken";
    case IR_ERR_ARG:
        return "bad argument";
    case IR_ERR_STATE:
        return "wrong state";
    case IR_ERR_PEER:
        return "peer gone";
    }
    return "unknown error";
}
