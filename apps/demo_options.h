// Command line of the demo programs: the optional port, --help and --version.
#pragma once

#include <cstdint>

enum class DemoStart : uint8_t { run, exitOk, exitError };

// Prints the usage (`about` says what the program is) or the version, or refuses what it cannot
// use; `port` is left alone unless a port is given.
DemoStart demoParseOptions(int argc, char** argv, const char* about, const char*& port);
