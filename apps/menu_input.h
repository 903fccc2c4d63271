// Reading the demo consoles' menu input safely: codes that fit 32 bits, junk read past, end of
// input seen.
#pragma once

#include <cstdint>
#include <cstdio>

enum class MenuToken : uint8_t { number, other, end };

// Skips blanks; false at the end of input.
bool menuSkipSpace(std::FILE* input);
// Blanks separate tokens: white space and every other control byte.
bool menuIsSpace(int c);

// One whitespace-delimited token as an unsigned 32-bit number; anything else is read past.
MenuToken menuReadCode(std::FILE* input, uint32_t& code);
