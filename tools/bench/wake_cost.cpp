// What one wake-up costs this machine in run time of a core, as a yardstick for the idle figures:
// a thread that only sleeps 50 ms at a time, and one that only waits in poll() for a byte on a
// pseudo-terminal. Prints both in microseconds per wake-up.
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <thread>

namespace {

constexpr int ROUNDS = 100;
constexpr long PERIOD_NS = 50'000'000;

// Run time of the calling thread so far, as the scheduler counts it.
double runNs() {
    std::FILE* file = std::fopen("/proc/thread-self/schedstat", "r");
    double ns = 0;
    if (file == nullptr || std::fscanf(file, "%lf", &ns) != 1) {
        ns = 0;
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    return ns;
}

double timerWakeUs() {
    const timespec period{0, PERIOD_NS};
    const double before = runNs();
    for (int i = 0; i < ROUNDS; ++i) {
        nanosleep(&period, nullptr);
    }
    return (runNs() - before) / 1e3 / ROUNDS;
}

// Negative when the pseudo-terminal failed, which the caller reports.
double byteWakeUs() {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        return -1;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::atomic<int> failures{0};
    std::thread writer([master, &failures] {
        const timespec period{0, PERIOD_NS};
        for (int i = 0; i < ROUNDS; ++i) {
            nanosleep(&period, nullptr);
            if (write(master, "x", 1) != 1) {
                failures.fetch_add(1);
            }
        }
    });
    const double before = runNs();
    for (int i = 0; i < ROUNDS; ++i) {
        pollfd entry{slave, POLLIN, 0};
        char byte = 0;
        if (poll(&entry, 1, -1) > 0 && read(slave, &byte, 1) != 1) {
            failures.fetch_add(1);
        }
    }
    const double used = runNs() - before;
    writer.join();
    close(slave);
    close(master);
    return failures.load() == 0 ? used / 1e3 / ROUNDS : -1;
}

} // namespace

int main() {
    const double timer = timerWakeUs();
    const double byte = byteWakeUs();
    if (byte < 0) {
        std::fprintf(stderr, "wake_cost: the pseudo-terminal failed\n");
        return 1;
    }
    std::printf("%.1f %.1f\n", timer, byte);
    return 0;
}
