// Command-line options of the pty programs.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pty_app.h"

namespace {

constexpr double MAX_LINGER_S = 86400.0;
constexpr unsigned long MIN_SPEED = 9600;
constexpr unsigned long MAX_SPEED = 4000000;

bool isOption(const char* argument, const char* name) {
    return std::strcmp(argument, name) == 0;
}

bool parseSeconds(const char* text, uint32_t& milliseconds) {
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(seconds) || seconds < 0 ||
        seconds > MAX_LINGER_S) {
        return false;
    }
    milliseconds = static_cast<uint32_t>(std::lround(seconds * 1000.0));
    return true;
}

// A cap of 9600 bit/s or more, in bit/s.
bool parseSpeed(const char* text, uint32_t& speed) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || value < MIN_SPEED || value > MAX_SPEED) {
        return false;
    }
    speed = static_cast<uint32_t>(value);
    return true;
}

} // namespace

bool ptyParseOptions(int argc, char** argv, PtyOptions& options, std::span<char> error) {
    bool portGiven = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (isOption(argument, "--help") || isOption(argument, "-h")) {
            options.help = true;
        } else if (isOption(argument, "--version")) {
            options.version = true;
        } else if (isOption(argument, "--stdio")) {
            options.stdio = true;
        } else if (isOption(argument, "--trace")) {
            options.trace = true;
        } else if ((isOption(argument, "--link") || isOption(argument, "--linger") ||
                    isOption(argument, "--max-speed")) &&
                   !hasValue) {
            std::snprintf(error.data(), error.size(), "%s needs a value", argument);
            return false;
        } else if (isOption(argument, "--link")) {
            options.link = argv[++i];
        } else if (isOption(argument, "--linger")) {
            if (!parseSeconds(argv[++i], options.lingerMs)) {
                std::snprintf(error.data(), error.size(), "--linger wants seconds, not '%s'",
                              argv[i]);
                return false;
            }
        } else if (isOption(argument, "--max-speed")) {
            if (!parseSpeed(argv[++i], options.maxSpeed)) {
                std::snprintf(error.data(), error.size(),
                              "--max-speed wants bit/s from 9600, not '%s'", argv[i]);
                return false;
            }
        } else if (argument[0] == '-' && argument[1] != '\0') {
            std::snprintf(error.data(), error.size(), "unknown option %s", argument);
            return false;
        } else if (portGiven) {
            std::snprintf(error.data(), error.size(), "one port only, not also '%s'", argument);
            return false;
        } else {
            options.port = argument;
            portGiven = true;
        }
    }
    if (options.stdio && options.link != nullptr) {
        std::snprintf(error.data(), error.size(), "--link needs the pseudo-terminal, not --stdio");
        return false;
    }
    return true;
}
