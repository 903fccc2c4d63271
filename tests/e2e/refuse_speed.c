/* A serial device that refuses one speed, for the end-to-end tests: loaded into a program with
 * LD_PRELOAD, it keeps a pseudo-terminal at its old speed whenever the program sets the speed
 * named in IRS_REFUSE_SPEED, as a driver that cannot run a speed keeps its own. Pseudo-terminals
 * take any speed, and vlink, on the other side, cannot veto a setting. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>

typedef int (*set_fn)(int, int, const struct termios*);

static set_fn real_set;
static speed_t refused = B0;

__attribute__((constructor)) static void refuse_speed_init(void) {
    static const struct {
        const char* name;
        speed_t code;
    } speeds[] = {{"9600", B9600},
                  {"19200", B19200},
                  {"38400", B38400},
                  {"57600", B57600},
                  {"115200", B115200}};
    real_set = (set_fn)dlsym(RTLD_NEXT, "tcsetattr");
    const char* wanted = getenv("IRS_REFUSE_SPEED");
    for (size_t i = 0; wanted != NULL && i < sizeof speeds / sizeof speeds[0]; ++i) {
        if (strcmp(wanted, speeds[i].name) == 0) {
            refused = speeds[i].code;
        }
    }
}

int tcsetattr(int fd, int action, const struct termios* settings) {
    struct termios current;
    if (refused == B0 || settings == NULL || cfgetospeed(settings) != refused ||
        tcgetattr(fd, &current) != 0) {
        return real_set(fd, action, settings);
    }
    struct termios kept = *settings;
    cfsetispeed(&kept, cfgetispeed(&current));
    cfsetospeed(&kept, cfgetospeed(&current));
    return real_set(fd, action, &kept);
}
