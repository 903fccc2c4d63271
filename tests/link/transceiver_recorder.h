// A transceiver binding that records every line change and delay, for checking sequences.
#pragma once

#include <string>
#include <vector>

#include "transceiver.h"

// Events as "D1" / "R0" (DTR, RTS levels) and "W50" (a delay of 50 ms).
extern std::vector<std::string> recordedEvents;
extern bool recordedPortOpen;

// Empties the record and opens the port.
void bindRecorder();
const TransceiverBinding& recorderBinding();
