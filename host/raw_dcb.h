// The raw 8N1 serial settings every port the programs open shares; each caller sets DTR and RTS
// itself, as they differ by what drives the lines.
#pragma once

#include "win32.h"

// 8 data bits, no parity, one stop bit, binary, no hardware or software flow control, at
// `speed`; DTR, RTS and all other fields stay as they were.
void hostRawDcb(DCB& dcb, DWORD speed);
