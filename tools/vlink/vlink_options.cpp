#include "vlink_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void vlinkPrintUsage(std::FILE* out, const char* name) {
    std::fprintf(
        out,
        "usage: %s --a PATH --b PATH [OPTION]...\n"
        "Joins two pseudo-terminals like two infrared transceivers facing each other, paced at\n"
        "the speed each end has set. SIGUSR1 toggles a cut of the link, SIGUSR2 toggles the\n"
        "noise off and on; SIGINT or SIGTERM ends it.\n"
        "  --a PATH, --b PATH  make the two ends reachable at these paths (symbolic links)\n"
        "  --half-duplex       a receiver hears nothing while it sends\n"
        "  --ber X             flip each bit with probability X (0 to 1)\n"
        "  --drop X            drop each byte with probability X (0 to 1)\n"
        "  --burst N           each drop loses N bytes in a row (1)\n"
        "  --stray MS          a random byte at each receiver every MS milliseconds, as\n"
        "                      ambient light makes; never a frame's BOF, EOF or escape\n"
        "  --stray-random MS   the same at random moments, MS milliseconds apart on average,\n"
        "                      inside frames as well as between them (daylight)\n"
        "  --seed N            seed of the bit errors, drops and stray bytes (1)\n"
        "  --noise-for S       bit errors, drops and stray bytes stop S seconds after start\n"
        "  --cut-at S          cut the link S seconds after start (0) ...\n"
        "  --cut-for S         ... for S seconds\n"
        "  --pcap FILE         write every frame to FILE, a capture file\n"
        "  --quiet             no byte and fault counts at the end\n"
        "  --help              print this and exit\n"
        "  --version           print the version and exit\n",
        name);
}

namespace {

bool parseNumber(const char* text, double low, double high, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

bool parseSeed(const char* text, uint64_t& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && text[0] != '-';
}

constexpr double MAX_SECONDS = 1e6;
constexpr uint64_t MAX_BURST = 1'000'000;

bool parseBurst(const char* text, uint32_t& value) {
    uint64_t wide = 0;
    if (!parseSeed(text, wide) || wide == 0 || wide > MAX_BURST) {
        return false;
    }
    value = static_cast<uint32_t>(wide);
    return true;
}

} // namespace

bool vlinkParseOptions(int argc, const char* const* argv, VlinkOptions& options,
                       const char*& error) {
    for (int i = 1; i < argc; ++i) {
        const char* name = argv[i];
        if (std::strcmp(name, "--half-duplex") == 0) {
            options.halfDuplex = true;
            continue;
        }
        if (std::strcmp(name, "--quiet") == 0) {
            options.quiet = true;
            continue;
        }
        options.refused = name;
        const bool hasValue = i + 1 < argc;
        const char* value = hasValue ? argv[i + 1] : "";
        bool known = true;
        bool ok = true;
        if (std::strcmp(name, "--a") == 0) {
            options.pathA = value;
        } else if (std::strcmp(name, "--b") == 0) {
            options.pathB = value;
        } else if (std::strcmp(name, "--pcap") == 0) {
            options.pcapPath = value;
        } else if (std::strcmp(name, "--seed") == 0) {
            ok = parseSeed(value, options.seed);
        } else if (std::strcmp(name, "--ber") == 0) {
            ok = parseNumber(value, 0.0, 1.0, options.bitErrorRate);
        } else if (std::strcmp(name, "--drop") == 0) {
            ok = parseNumber(value, 0.0, 1.0, options.dropRate);
        } else if (std::strcmp(name, "--burst") == 0) {
            ok = parseBurst(value, options.dropBurst);
        } else if (std::strcmp(name, "--stray") == 0) {
            ok = parseNumber(value, 0.0, MAX_SECONDS * 1000.0, options.strayMs);
            options.strayRandom = false;
        } else if (std::strcmp(name, "--stray-random") == 0) {
            ok = parseNumber(value, 0.0, MAX_SECONDS * 1000.0, options.strayMs);
            options.strayRandom = true;
        } else if (std::strcmp(name, "--noise-for") == 0) {
            ok = parseNumber(value, 0.0, MAX_SECONDS, options.noiseForS);
        } else if (std::strcmp(name, "--cut-at") == 0) {
            ok = parseNumber(value, 0.0, MAX_SECONDS, options.cutAtS);
        } else if (std::strcmp(name, "--cut-for") == 0) {
            ok = parseNumber(value, 0.0, MAX_SECONDS, options.cutForS);
        } else {
            known = false;
        }
        if (!known) {
            error = "unknown option";
        } else if (!hasValue) {
            error = "no value after";
        } else if (!ok) {
            error = "malformed value after";
        }
        if (!known || !hasValue || !ok) {
            return false;
        }
        options.refused = nullptr;
        ++i;
    }
    if (options.pathA == nullptr || options.pathB == nullptr) {
        error = "both --a and --b are needed";
        return false;
    }
    if (std::strcmp(options.pathA, options.pathB) == 0) {
        error = "--a and --b must differ";
        return false;
    }
    if (options.cutForS > 0.0 && options.cutAtS < 0.0) {
        options.cutAtS = 0.0;
    }
    return true;
}
