// The answers the daemon gives before a port is open: hello and open, and the refusal of anything
// else until then; the port answers the rest.
#include "irsd_session.h"

namespace {

constexpr uint32_t MIN_SPEED = 9600;

int openPort(IrsdSession& session, const IrsdMsg& request) {
    if (session.opened) {
        return IRSD_ERR_STATE;
    }
    if (irsdText(request, IRSD_OPEN_NAME) != session.portName) {
        return IRSD_ERR_PORT; // a socket renamed or linked under another name
    }
    const uint32_t speed = request.num[IRSD_OPEN_MAX_SPEED];
    if (request.num[IRSD_OPEN_ROLE] > 1 || (speed != 0 && speed < MIN_SPEED)) {
        return IRSD_ERR_ARG;
    }
    session.opened = true;
    session.role = static_cast<uint8_t>(request.num[IRSD_OPEN_ROLE]);
    return IRSD_OK;
}

} // namespace

bool irsdAnswer(IrsdSession& session, const IrsdMsg& request, IrsdMsg& reply) {
    // irstack-ctl only looks, and needs no open port.
    const bool control = request.type == IRSD_CTL_STATUS || request.type == IRSD_CTL_DEVICES;
    if (session.hello && (session.opened || control) && request.type != IRSD_HELLO &&
        request.type != IRSD_OPEN) {
        return false;
    }
    irsdInit(reply, request.type | IRSD_REPLY, request.id);
    int status = IRSD_OK;
    if (request.type == IRSD_HELLO) {
        // The header's version was checked already; this one is the highest the client speaks.
        status = session.hello ? IRSD_ERR_STATE : IRSD_OK;
        if (status == IRSD_OK && request.num[IRSD_HELLO_VERSION] < IRSD_VERSION) {
            status = IRSD_ERR_VERSION;
        }
        session.hello = session.hello || status == IRSD_OK;
        reply.num[IRSD_HELLO_R_VERSION] = IRSD_VERSION;
        reply.num[IRSD_HELLO_R_CHANNELS] = IRSD_CLIENT_CHANNELS;
        reply.num[IRSD_HELLO_R_SERVICES] = IRSD_CLIENT_SERVICES;
        reply.num[IRSD_HELLO_R_PENDING] = IRSD_CLIENT_PENDING;
    } else if (request.type == IRSD_OPEN && session.hello) {
        status = openPort(session, request);
    } else {
        status = IRSD_ERR_STATE;
    }
    reply.num[IRSD_STATUS] = static_cast<uint32_t>(status);
    return true;
}

int irsdWithinLimits(uint8_t type, const IrsdHeld& held, bool newService) {
    const bool waits = type == IRSD_DISCOVER || type == IRSD_QUERY || type == IRSD_CONNECT ||
                       type == IRSD_LISTEN || type == IRSD_CHANNEL_CLOSE;
    const bool opens = type == IRSD_CONNECT || type == IRSD_LISTEN;
    if ((waits && held.pending >= IRSD_CLIENT_PENDING) ||
        (opens && held.channels >= IRSD_CLIENT_CHANNELS) ||
        (newService && held.services >= IRSD_CLIENT_SERVICES)) {
        return IRSD_ERR_NO_MEMORY;
    }
    return IRSD_OK;
}
