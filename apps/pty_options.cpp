// Command-line options of the pty programs.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ir_options.h"
#include "irstack.h"
#include "pty_app.h"
#include "pty_settings.h"

namespace {

constexpr double MAX_LINGER_S = 86400.0;
// Selectors run from 0 to 127, as irs_connect_lsap takes them.
constexpr long MAX_LSAP = 127;
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

bool takesValue(const char* argument) {
    for (const char* name : {"--link", "--linger", "--max-speed", "--max-window", "--max-frame",
                             "--class", "--attribute", "--lsap", "--serial", "--transceiver"}) {
        if (isOption(argument, name)) {
            return true;
        }
    }
    return false;
}

bool parseSelector(const char* text, int& selector) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 0);
    if (end == text || *end != '\0' || value < 0 || value > MAX_LSAP) {
        return false;
    }
    selector = static_cast<int>(value);
    return true;
}

// The names travel in one query frame; a fixed selector asks no names at all.
bool checkService(const PtyOptions& options, std::span<char> error) {
    const size_t classLength = options.className != nullptr ? std::strlen(options.className) : 0;
    const size_t attributeLength =
        options.attribute != nullptr ? std::strlen(options.attribute) : 0;
    if (classLength + attributeLength > IAS_NAMES_MAX) {
        std::snprintf(error.data(), error.size(),
                      "--class and --attribute together take at most %u characters",
                      static_cast<unsigned>(IAS_NAMES_MAX));
        return false;
    }
    if ((options.className != nullptr && classLength == 0) ||
        (options.attribute != nullptr && attributeLength == 0)) {
        std::snprintf(error.data(), error.size(), "an empty --class or --attribute names nothing");
        return false;
    }
    if (options.lsap >= 0 && (options.className != nullptr || options.attribute != nullptr)) {
        std::snprintf(error.data(), error.size(),
                      "--lsap asks no names: not with --class or --attribute");
        return false;
    }
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

// a, b or plain, as the letter irs_open takes.
bool parseTransceiver(const char* text, char& variant) {
    if (std::strcmp(text, "a") == 0 || std::strcmp(text, "b") == 0) {
        variant = text[0];
        return true;
    }
    if (std::strcmp(text, "plain") == 0) {
        variant = 'p';
        return true;
    }
    return false;
}

// A whole number from `low` to `high`.
bool parseCount(const char* text, int low, int high, int& count) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high) {
        return false;
    }
    count = static_cast<int>(value);
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
        } else if (isOption(argument, "--raw")) {
            options.raw = true;
        } else if (isOption(argument, "--discover")) {
            options.discover = true;
        } else if (takesValue(argument) && !hasValue) {
            std::snprintf(error.data(), error.size(), "%s needs a value", argument);
            return false;
        } else if (isOption(argument, "--link")) {
            options.link = argv[++i];
        } else if (isOption(argument, "--serial")) {
            options.serial = argv[++i];
        } else if (isOption(argument, "--class")) {
            options.className = argv[++i];
        } else if (isOption(argument, "--attribute")) {
            options.attribute = argv[++i];
        } else if (isOption(argument, "--lsap")) {
            if (!parseSelector(argv[++i], options.lsap)) {
                std::snprintf(error.data(), error.size(),
                              "--lsap wants a selector from 0 to 127, not '%s'", argv[i]);
                return false;
            }
        } else if (isOption(argument, "--transceiver")) {
            if (!parseTransceiver(argv[++i], options.variant)) {
                std::snprintf(error.data(), error.size(),
                              "--transceiver wants a, b or plain, not '%s'", argv[i]);
                return false;
            }
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
        } else if (isOption(argument, "--max-window")) {
            if (!parseCount(argv[++i], 1, IRS_WINDOW_MAX, options.maxWindow)) {
                std::snprintf(error.data(), error.size(),
                              "--max-window wants frames from 1 to %d, not '%s'", IRS_WINDOW_MAX,
                              argv[i]);
                return false;
            }
        } else if (isOption(argument, "--max-frame")) {
            if (!parseCount(argv[++i], IRS_FRAME_MIN, IRS_FRAME_MAX, options.maxFrame)) {
                std::snprintf(error.data(), error.size(),
                              "--max-frame wants bytes from %d to %d, not '%s'", IRS_FRAME_MIN,
                              IRS_FRAME_MAX, argv[i]);
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
    if (options.serial != nullptr && (options.stdio || options.link != nullptr)) {
        std::snprintf(error.data(), error.size(), "--serial takes the place of %s",
                      options.stdio ? "--stdio" : "the pseudo-terminal and its --link");
        return false;
    }
    return checkService(options, error);
}
