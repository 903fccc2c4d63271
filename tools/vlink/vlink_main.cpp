// vlink: two infrared transceivers facing each other, between two pseudo-terminals.
// One poll loop carries both directions; a capture thread per direction finds the frames.
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "console.h"
#include "vlink_capture.h"
#include "vlink_channel.h"
#include "vlink_options.h"
#include "vlink_pcap.h"
#include "vlink_pty.h"

#ifndef IRSTACK_VERSION
#define IRSTACK_VERSION "0"
#endif

namespace {

constexpr size_t READ_CHUNK = 1024;

std::atomic<int> signalWriteFd{-1};
const char* programName = "vlink"; // as invoked: the build's vlink or the installed name

// Large state lives here rather than on the stack; nothing is allocated after start-up.
VlinkLink airLink;
std::array<VlinkEnd, 2> ends;
std::array<VlinkCapture, 2> captures;
VlinkPcapFile pcap;
bool capturing = false;
int64_t wallOffsetNs = 0; // wall clock minus monotonic clock

extern "C" void onSignal(int number) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(number);
    const int fd = signalWriteFd.load();
    if (fd >= 0) {
        (void)!write(fd, &byte, 1);
    }
    errno = saved;
}

int64_t clockNs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * VLINK_NS_PER_S + now.tv_nsec;
}

int64_t monotonicNs() {
    return clockNs(CLOCK_MONOTONIC);
}

void discardText(const char* /*text*/, size_t /*length*/) {}

void onLanded(void* /*context*/, int channel, uint8_t byte, int64_t dueNs) {
    if (capturing) {
        captures[channel].push(byte, dueNs + wallOffsetNs);
    }
}

void onFrame(void* context, int64_t timeNs, std::span<const uint8_t> frame) {
    const bool fromFirst = context == &captures[0];
    vlinkPcapWrite(pcap, timeNs, fromFirst, frame);
}

bool installSignals(std::array<int, 2>& pipeFds) {
    if (pipe(pipeFds.data()) != 0) {
        return false;
    }
    for (const int fd : pipeFds) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    signalWriteFd.store(pipeFds[1]);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) {
        sigaction(number, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
    return true;
}

// Reads what the program at end c sent, as far as there is room on the air.
void readSender(int c) {
    VlinkChannel& channel = airLink.channels[c];
    const size_t room = vlinkAirRoom(channel);
    if (room == 0) {
        return;
    }
    // Sampled before the read: bytes already waiting were written under this speed, not under one
    // the program may set while we read.
    const uint32_t speed = vlinkEndSpeed(ends[c]);
    std::array<uint8_t, READ_CHUNK> buffer{};
    const ssize_t got =
        read(ends[c].master, buffer.data(), room < buffer.size() ? room : buffer.size());
    if (got > 0) {
        vlinkAccept(channel, buffer.data(), static_cast<size_t>(got), monotonicNs(), speed);
    }
}

// Writes what channel c has landed to the other end, as far as that end takes it.
void writeReceiver(int c) {
    VlinkChannel& channel = airLink.channels[c];
    while (channel.outCount > 0) {
        size_t count = 0;
        const uint8_t* front = vlinkOutboxFront(channel, count);
        const ssize_t written = write(ends[1 - c].master, front, count);
        if (written <= 0) {
            return;
        }
        vlinkOutboxConsume(channel, static_cast<size_t>(written));
    }
}

short masterEvents(int c) {
    short events = 0;
    if (vlinkAirRoom(airLink.channels[c]) > 0) {
        events = static_cast<short>(events | POLLIN);
    }
    if (airLink.channels[1 - c].outCount > 0) {
        events = static_cast<short>(events | POLLOUT);
    }
    return events;
}

int64_t nextWakeNs(int64_t nowNs) {
    int64_t wake = vlinkNextDueNs(airLink);
    for (const int64_t edge : {airLink.cutFromNs, airLink.cutUntilNs, airLink.noiseUntilNs}) {
        if (edge > nowNs && edge < wake) {
            wake = edge;
        }
    }
    return wake;
}

// Returns false when asked to end.
bool handleSignals(int readFd) {
    unsigned char number = 0;
    bool running = true;
    while (read(readFd, &number, 1) == 1) {
        if (number == SIGUSR1) {
            airLink.cutOnDemand = !airLink.cutOnDemand;
        } else if (number == SIGUSR2) {
            airLink.noiseOffOnDemand = !airLink.noiseOffOnDemand;
        } else {
            running = false;
        }
    }
    return running;
}

void runLoop(int signalReadFd) {
    bool cutShown = false;
    bool noiseShown = true;
    for (;;) {
        const int64_t nowNs = monotonicNs();
        const bool cut = vlinkCutActive(airLink, nowNs);
        if (cut != cutShown) {
            std::fprintf(stderr, "%s: %s\n", programName, cut ? "link cut" : "link restored");
            cutShown = cut;
        }
        const bool noise = vlinkNoiseActive(airLink, nowNs);
        if (noise != noiseShown) {
            std::fprintf(stderr, "%s: %s\n", programName, noise ? "noise on" : "noise off");
            noiseShown = noise;
        }
        std::array<pollfd, 5> fds{{
            {ends[0].master, masterEvents(0), 0},
            {ends[1].master, masterEvents(1), 0},
            {signalReadFd, POLLIN, 0},
            {ends[0].closeWatch, POLLIN, 0},
            {ends[1].closeWatch, POLLIN, 0},
        }};
        const int64_t wakeNs = nextWakeNs(nowNs);
        timespec timeout{};
        const int64_t waitNs = wakeNs > nowNs ? wakeNs - nowNs : 0;
        timeout.tv_sec = static_cast<time_t>(waitNs / VLINK_NS_PER_S);
        timeout.tv_nsec = static_cast<long>(waitNs % VLINK_NS_PER_S);
        const int ready =
            ppoll(fds.data(), fds.size(), wakeNs == VLINK_NEVER ? nullptr : &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "%s: poll: %s\n", programName, std::strerror(errno));
            return;
        }
        if (!handleSignals(signalReadFd)) {
            return;
        }
        for (int c = 0; c < 2; ++c) {
            if ((fds[3 + c].revents & POLLIN) != 0) {
                vlinkEndNoteCloses(ends[c]);
            }
            if ((fds[c].revents & POLLIN) != 0) {
                readSender(c);
            }
        }
        const int64_t landNs = monotonicNs();
        if (vlinkNextDueNs(airLink) <= landNs) {
            vlinkLand(airLink, landNs, {vlinkEndSpeed(ends[1]), vlinkEndSpeed(ends[0])});
        }
        writeReceiver(0);
        writeReceiver(1);
    }
}

void printSummary(const VlinkOptions& options) {
    const VlinkChannel& ab = airLink.channels[0];
    const VlinkChannel& ba = airLink.channels[1];
    std::fprintf(
        stderr,
        "%s: %s -> %s: %llu bytes, %llu delivered; %s -> %s: %llu bytes, %llu "
        "delivered; %llu frames captured\n",
        programName, options.pathA, options.pathB, static_cast<unsigned long long>(ab.accepted),
        static_cast<unsigned long long>(ab.delivered), options.pathB, options.pathA,
        static_cast<unsigned long long>(ba.accepted), static_cast<unsigned long long>(ba.delivered),
        static_cast<unsigned long long>(capturing ? vlinkPcapFrames(pcap) : 0));
    VlinkFaultCounts total{};
    for (const VlinkChannel& channel : airLink.channels) {
        total.bitErrors += channel.faults.bitErrors;
        total.dropped += channel.faults.dropped;
        total.cut += channel.faults.cut;
        total.blinded += channel.faults.blinded;
        total.misspeeded += channel.faults.misspeeded;
        total.stray += channel.faults.stray;
    }
    std::fprintf(stderr,
                 "%s: faults: %llu bits flipped, %llu bytes dropped, %llu lost to cuts, %llu "
                 "lost while sending, %llu hit by speed mismatch, %llu stray bytes\n",
                 programName, static_cast<unsigned long long>(total.bitErrors),
                 static_cast<unsigned long long>(total.dropped),
                 static_cast<unsigned long long>(total.cut),
                 static_cast<unsigned long long>(total.blinded),
                 static_cast<unsigned long long>(total.misspeeded),
                 static_cast<unsigned long long>(total.stray));
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 0) {
        const char* slash = std::strrchr(argv[0], '/');
        programName = slash != nullptr ? slash + 1 : argv[0];
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            vlinkPrintUsage(stdout, programName);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s %s\n", programName, IRSTACK_VERSION);
            return 0;
        }
    }
    VlinkOptions options;
    const char* error = nullptr;
    if (!vlinkParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "%s: %s%s%s (try --help)\n", programName, error,
                     options.refused != nullptr ? " " : "",
                     options.refused != nullptr ? options.refused : "");
        return 2;
    }
    std::array<int, 2> signalPipe{-1, -1};
    if (!installSignals(signalPipe)) {
        std::fprintf(stderr, "%s: pipe: %s\n", programName, std::strerror(errno));
        return 1;
    }
    vlinkLinkInit(airLink, VlinkFaultConfig{options.bitErrorRate, options.dropRate},
                  options.halfDuplex, options.seed);
    airLink.onLanded = onLanded;
    airLink.dropBurst = options.dropBurst;
    const std::array<const char*, 2> paths{options.pathA, options.pathB};
    for (int c = 0; c < 2; ++c) {
        if (!vlinkEndOpen(ends[c], paths[c])) {
            std::fprintf(stderr, "%s: %s: %s\n", programName, paths[c], std::strerror(errno));
            vlinkEndClose(ends[0]);
            return 1;
        }
    }
    if (options.pcapPath != nullptr) {
        if (!vlinkPcapOpen(pcap, options.pcapPath)) {
            std::fprintf(stderr, "%s: %s: %s\n", programName, options.pcapPath,
                         std::strerror(errno));
            vlinkEndClose(ends[0]);
            vlinkEndClose(ends[1]);
            return 1;
        }
        capturing = true;
    }
    // The SIR receiver traces every frame it finds; the capture only wants the frames.
    consoleSetSink(discardText);
    std::array<std::thread, 2> captureThreads;
    if (capturing) {
        for (size_t c = 0; c < captureThreads.size(); ++c) {
            captureThreads[c] = std::thread(vlinkCaptureRun, std::ref(captures[c]), onFrame,
                                            static_cast<void*>(&captures[c]));
        }
    }
    const int64_t readyNs = monotonicNs();
    wallOffsetNs = clockNs(CLOCK_REALTIME) - readyNs;
    if (options.cutAtS >= 0.0 && options.cutForS > 0.0) {
        airLink.cutFromNs = readyNs + static_cast<int64_t>(options.cutAtS * VLINK_NS_PER_S);
        airLink.cutUntilNs =
            airLink.cutFromNs + static_cast<int64_t>(options.cutForS * VLINK_NS_PER_S);
    }
    vlinkStrayStart(airLink, static_cast<int64_t>(options.strayMs * 1e6), readyNs,
                    options.strayRandom);
    if (options.noiseForS >= 0.0) {
        airLink.noiseUntilNs = readyNs + static_cast<int64_t>(options.noiseForS * VLINK_NS_PER_S);
    }
    std::fprintf(stderr, "%s: ready %s <-> %s\n", programName, options.pathA, options.pathB);

    runLoop(signalPipe[0]);

    for (size_t c = 0; c < captureThreads.size(); ++c) {
        captures[c].stop();
        if (captureThreads[c].joinable()) {
            captureThreads[c].join();
        }
    }
    vlinkPcapClose(pcap);
    vlinkEndClose(ends[0]);
    vlinkEndClose(ends[1]);
    if (!options.quiet) {
        printSummary(options);
    }
    return 0;
}
