// Command line of the virtual link.
#pragma once

#include <cstdint>
#include <cstdio>

struct VlinkOptions {
    const char* pathA = nullptr;
    const char* pathB = nullptr;
    const char* pcapPath = nullptr;
    bool halfDuplex = false;
    bool quiet = false;
    uint64_t seed = 1;
    double bitErrorRate = 0.0;
    double dropRate = 0.0;
    uint32_t dropBurst = 1;   // bytes lost in a row from each drop
    double noiseForS = -1.0;  // noise never stops by itself when negative
    double strayMs = 0.0;     // no stray bytes when 0
    bool strayRandom = false; // strayMs is the mean of random gaps, not a steady beat
    double cutAtS = -1.0;     // no timed cut when negative
    double cutForS = 0.0;
    const char* refused = nullptr; // the option an error is about, if it is about one
};

// Fills options from argv; false (with a message in error) on anything unknown or malformed.
bool vlinkParseOptions(int argc, const char* const* argv, VlinkOptions& options,
                       const char*& error);

// The usage text, under the name the program was started by.
void vlinkPrintUsage(std::FILE* out, const char* name);
