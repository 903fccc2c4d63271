#include "console_streams.h"

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
}
