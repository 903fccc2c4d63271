#include "memory_port.h"

IrErr MemoryPort::setSpeed(uint32_t speed) {
    if (speedError != IR_OK) {
        return speedError;
    }
    speeds.push_back(speed);
    sentAtSwitch.push_back(line.sent.size());
    return IR_OK;
}

IrErr MemoryPort::reset() {
    ++resets;
    return IR_OK;
}
