#include "trace.h"

#include "console.h"

namespace {

// Bytes at or beyond the length decode as 0, which is what a zero-filled receive buffer holds
// there.
uint8_t byteAt(const uint8_t* frame, uint16_t length, uint16_t index) {
    return index < length ? frame[index] : 0;
}

const char* commandName(uint8_t control) {
    switch (control & 0xEF) {
    case 0x83:
        return " SNRM";
    case 0x43:
        return " DISC";
    case 0x03:
        return " UI  ";
    case 0x2F:
        return " XID ";
    case 0xE3:
        return " TEST";
    default:
        return " ????";
    }
}

const char* responseName(uint8_t control) {
    switch (control & 0xEF) {
    case 0x83:
        return " RNRM";
    case 0x63:
        return " UA  ";
    case 0x87:
        return " FRMR";
    case 0x0F:
        return " DM  ";
    case 0x43:
        return " RD  ";
    case 0x03:
        return " UI  ";
    case 0xAF:
        return " XID ";
    case 0xE3:
        return " TEST";
    default:
        return " ????";
    }
}

const char* supervisoryName(uint8_t control) {
    switch (control & 0x0F) {
    case 0x1:
        return " RR  ";
    case 0x5:
        return " RNR ";
    case 0x9:
        return " REJ ";
    default:
        return " SREJ";
    }
}

const char* lmpOpcodeName(uint8_t opcode) {
    switch (opcode & 0x7F) {
    case 1:
        return " conn";
    case 2:
        return " disc";
    case 3:
        return " acc ";
    default:
        return " ????";
    }
}

void traceUpperLayers(const uint8_t* frame, uint16_t length) {
    const uint8_t dlsap = byteAt(frame, length, 2);
    const uint8_t slsap = byteAt(frame, length, 3);
    const uint8_t b4 = byteAt(frame, length, 4);
    consolePrint(" C: %d", (dlsap & 0x80) != 0 ? 1 : 0);
    consolePrint(" DS: 0x%02X", dlsap & 0x7F);
    consolePrint(" SS: 0x%02X", slsap & 0x7F);
    if ((dlsap & 0x80) != 0) {
        consolePrint("%s", length == 6 ? " LMP" : (length > 6 ? " TTP" : " ???"));
        consolePrint("%s", lmpOpcodeName(b4));
    } else if ((dlsap & 0x7F) == 0 || (slsap & 0x7F) == 0) {
        consolePrint(" IAS");
        consolePrint("%s", (b4 & 0x3F) == 4 ? " gvbc" : " ????");
    } else if (length == 5) {
        consolePrint(" TTP c:%d", b4);
    } else if (length >= 6) {
        const uint8_t paramLength = byteAt(frame, length, 5);
        consolePrint(" COMM %d:%d", paramLength, static_cast<int>(length) - paramLength - 6);
    } else {
        consolePrint(" ???");
    }
}

} // namespace

void frameTrace(const uint8_t* frame, uint16_t length) {
    const ConsoleBatch batch;
    consolePrint("\n[");
    for (uint16_t i = 0; i < length; ++i) {
        consolePrint(" %02X", frame[i]);
    }
    consolePrint(" ]");

    const uint8_t address = byteAt(frame, length, 0);
    const uint8_t control = byteAt(frame, length, 1);
    const int commandResponse = address & 1;
    consolePrint("%s", commandResponse != 0 ? "\n\t ->" : "\n\t<- ");
    consolePrint(" A: 0x%02X", address >> 1);
    consolePrint(" C/R: %d", commandResponse);
    consolePrint(" P/F: %d", (control & 0x10) != 0 ? 1 : 0);

    if ((control & 3) == 3) {
        consolePrint("%s", commandResponse != 0 ? commandName(control) : responseName(control));
    } else if ((control & 3) == 1) {
        consolePrint("%s", supervisoryName(control));
        consolePrint(" Nr: %d", control >> 5);
    } else {
        consolePrint(" I   ");
        consolePrint(" Nr: %d", control >> 5);
        consolePrint(" Ns: %d", (control >> 1) & 7);
        traceUpperLayers(frame, length);
    }
}
