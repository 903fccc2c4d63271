// Command line of the demo programs.
#include "demo_options.h"

#include <cstdio>
#include <cstring>

#ifndef IRSTACK_VERSION
#define IRSTACK_VERSION "0"
#endif

DemoStart demoParseOptions(int argc, char** argv, const char* about, const char*& port) {
    bool portGiven = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
            std::printf("usage: %s [PORT]\n%s\n"
                        "  PORT       the transceiver's serial port (default COM1)\n"
                        "  --help     print this and exit\n"
                        "  --version  print the version and exit\n",
                        PROGRAM_NAME, about);
            return DemoStart::exitOk;
        }
        if (std::strcmp(argument, "--version") == 0) {
            std::printf("%s %s\n", PROGRAM_NAME, IRSTACK_VERSION);
            return DemoStart::exitOk;
        }
        if (argument[0] == '-' && argument[1] != '\0') {
            std::fprintf(stderr, "%s: unknown option %s (try --help)\n", PROGRAM_NAME, argument);
            return DemoStart::exitError;
        }
        if (portGiven) {
            std::fprintf(stderr, "%s: one port only, not also '%s' (try --help)\n", PROGRAM_NAME,
                         argument);
            return DemoStart::exitError;
        }
        port = argument;
        portGiven = true;
    }
    return DemoStart::run;
}
