// irstackd: serves each infrared port given on the command line to the programs of the machine
// through a UNIX-domain socket; irstackd(8) for the command line, irstackd(7) for the protocol.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "console.h"
#include "irsd_options.h"
#include "irsd_server.h"

namespace {

// The engines' trace is for a person at a console; a service keeps its errors alone.
void dropTrace(const char* /*text*/, size_t /*length*/) {}

void errorToStderr(const char* text, size_t length) {
    std::fprintf(stderr, "irstackd: %.*s\n", static_cast<int>(length), text);
}

} // namespace

int main(int argc, char** argv) {
    IrsdOptions options;
    std::string error;
    if (!irsdParseOptions(argc, argv, std::getenv("IRSTACK_SOCKET_DIR"), options, error)) {
        std::fprintf(stderr, "irstackd: %s\nTry 'irstackd --help'.\n", error.c_str());
        return 2;
    }
    if (options.help || options.version) {
        std::fputs(options.help ? IRSD_USAGE : "irstackd " IRSTACK_VERSION "\n", stdout);
        return 0;
    }
    consoleSetSink(dropTrace);
    consoleSetErrorSink(errorToStderr);
    const int stopFd = irsdStopSignals();
    if (stopFd < 0) {
        std::perror("irstackd: signals");
        return 1;
    }
    // The clients' buffers are large; they are made once, here.
    auto server = std::make_unique<IrsdServer>();
    if (!server->start(options, error)) {
        std::fprintf(stderr, "irstackd: %s\n", error.c_str());
        return 1;
    }
    const bool served = server->run(stopFd);
    server->stop();
    return served ? 0 : 1;
}
