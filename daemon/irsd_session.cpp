// The answers the daemon gives before its ports have stations: hello, open and close, the port's
// idle status; every request that needs the station is refused as unsupported for now.
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

void irsdAnswer(IrsdSession& session, const IrsdMsg& request, IrsdMsg& reply) {
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
    } else if (!session.hello || !session.opened) {
        status = IRSD_ERR_STATE;
    } else if (request.type == IRSD_PORT_STATUS) {
        reply.num[IRSD_PORT_R_PHASE] = 0; // IRS_PHASE_IDLE
    } else if (request.type == IRSD_CLOSE_PORT) {
        session.opened = false;
    } else {
        status = IRSD_ERR_UNSUPPORTED;
    }
    reply.num[IRSD_STATUS] = static_cast<uint32_t>(status);
}
