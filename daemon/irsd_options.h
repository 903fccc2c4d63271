// irstackd's command line: the ports it serves (NAME=DEVICE), the socket folder, the group that
// may use it, the transceiver variant and the speed cap.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "irsd_msg.h"

constexpr const char* IRSD_DEFAULT_SOCKET_DIR = "/run/irstack";
constexpr const char* IRSD_DEFAULT_GROUP = "dialout";
constexpr size_t IRSD_PORTS_MAX = 16;

struct IrsdPortConfig {
    std::string name;   // the socket's file name in the folder: irstackd:NAME
    std::string device; // the serial port
};

struct IrsdOptions {
    std::string socketDir = IRSD_DEFAULT_SOCKET_DIR;
    std::string group = IRSD_DEFAULT_GROUP;
    char variant = 'a';
    uint32_t maxSpeed = 0; // 0: the variant's fastest
    std::vector<IrsdPortConfig> ports;
    bool help = false;
    bool version = false;
};

// Reads the command line into `options` (`socketDirEnv`, IRSTACK_SOCKET_DIR, when not null,
// stands before the option's default and after the option itself). False with `error` set when
// something is wrong; --help and --version set their flag and stop there.
bool irsdParseOptions(int argc, const char* const* argv, const char* socketDirEnv,
                      IrsdOptions& options, std::string& error);
// A port name is 1 to IRSD_PORT_NAME_MAX letters, digits, '-', '_' or '.', not starting with '.'.
bool irsdValidPortName(std::string_view name);

// The text --help prints.
extern const char* const IRSD_USAGE;
