// Decoded console trace of every frame sent or received intact.
#pragma once

#include <cstdint>

// Reads only frame[0..length); fields beyond the length decode as 0.
void frameTrace(const uint8_t* frame, uint16_t length);
