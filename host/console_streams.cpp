#include "console_streams.h"

#include <cstdio>

#if !defined(_WIN32)
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>
#endif

void hostKeepConsoleStreams() {
#if !defined(_WIN32)
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) < 0) {
            // open takes the lowest free number, which is fd itself.
            const int flags = fd == STDIN_FILENO ? O_RDONLY : O_WRONLY;
            const int opened = open("/dev/null", flags);
            if (opened >= 0 && opened != fd) {
                close(opened);
            }
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // Windows keeps file handles apart from the C run-time's stream numbers and has no SIGPIPE.

    // The first console read would otherwise allocate its buffer after start-up.
    static char inputBuffer[BUFSIZ];
    std::setvbuf(stdin, inputBuffer, _IOFBF, sizeof inputBuffer);
    // The trace must show at once, also when it goes to a pipe or a file.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}
