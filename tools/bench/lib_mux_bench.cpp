// Two channels over one link through the library, for tools/run-bench: a device port and a
// computer port on the two ends of vlink, an IrCOMM channel and a raw one, BYTES each way on
// each. Prints channel 0's rate each way (B/s) with every reader reading, then while the device's
// reader of channel 1 stops, and last whether every byte of both runs arrived byte-exact.
// usage: lib_mux_bench DEVICE_PATH COMPUTER_PATH BYTES [VARIANT]
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "irstack.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int WAIT_MS = 30000;
constexpr int RUN_S = 120;
const char* const BULK_CLASS = "Bulk";
const char* const BULK_ATTRIBUTE = "TinyTP:LsapSel";

struct Flow {
    irs_channel* writer = nullptr;
    irs_channel* reader = nullptr;
    std::string out;
    size_t sent = 0;
    std::string in;
    double doneS = 0; // when the last byte was read
};

// Moves every flow until each has arrived; `stalled` reads nothing until the others are done.
bool run(std::array<Flow, 4>& flows, int stalled) {
    const Clock::time_point start = Clock::now();
    std::array<char, 1024> buffer{};
    auto seconds = [&start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    for (;;) {
        bool othersDone = true;
        bool allDone = true;
        for (size_t i = 0; i < flows.size(); ++i) {
            Flow& flow = flows[i];
            if (flow.sent < flow.out.size()) {
                const long queued = irs_write(flow.writer, flow.out.data() + flow.sent,
                                              flow.out.size() - flow.sent, 0);
                flow.sent += queued > 0 ? static_cast<size_t>(queued) : 0;
            }
            const bool done = flow.in.size() == flow.out.size();
            allDone = allDone && done;
            othersDone = othersDone && (done || static_cast<int>(i) == stalled);
        }
        for (size_t i = 0; i < flows.size(); ++i) {
            Flow& flow = flows[i];
            if ((static_cast<int>(i) == stalled && !othersDone) ||
                flow.in.size() == flow.out.size()) {
                continue;
            }
            const long count = irs_read(flow.reader, buffer.data(), buffer.size(), 1);
            if (count > 0) {
                flow.in.append(buffer.data(), static_cast<size_t>(count));
                flow.doneS = flow.in.size() == flow.out.size() ? seconds() : 0;
            }
        }
        if (allDone) {
            return true;
        }
        if (seconds() > RUN_S) {
            return false;
        }
    }
}

std::string pattern(size_t length, unsigned seed) {
    std::string text(length, '\0');
    for (char& byte : text) {
        seed = seed * 1103515245U + 12345U;
        byte = static_cast<char>(seed >> 16);
    }
    return text;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: lib_mux_bench DEVICE_PATH COMPUTER_PATH BYTES [VARIANT]\n");
        return 2;
    }
    const char variant = argc == 5 ? argv[4][0] : 'a';
    const size_t bytes = std::strtoul(argv[3], nullptr, 10);
    irs_port* device = nullptr;
    irs_port* computer = nullptr;
    if (irs_open(argv[2], variant, 115200, IRS_ROLE_COMPUTER, &computer) != IRS_OK ||
        irs_open(argv[1], variant, 115200, IRS_ROLE_DEVICE, &device) != IRS_OK) {
        std::fprintf(stderr, "lib_mux_bench: cannot open the ports\n");
        return 1;
    }
    irs_channel* none = nullptr;
    irs_listen(device, nullptr, nullptr, IRS_MODE_IRCOMM, 0, &none);
    irs_listen(device, BULK_CLASS, BULK_ATTRIBUTE, IRS_MODE_RAW, 0, &none);
    std::array<irs_channel*, 4> ends{}; // computer's and device's end of each channel in turn
    std::thread first(
        [&] { irs_listen(device, nullptr, nullptr, IRS_MODE_IRCOMM, WAIT_MS, &ends[1]); });
    std::thread second(
        [&] { irs_listen(device, BULK_CLASS, BULK_ATTRIBUTE, IRS_MODE_RAW, WAIT_MS, &ends[3]); });
    const int opened0 = irs_connect(computer, nullptr, nullptr, IRS_MODE_IRCOMM, WAIT_MS, &ends[0]);
    const int opened1 =
        irs_connect(computer, BULK_CLASS, BULK_ATTRIBUTE, IRS_MODE_RAW, WAIT_MS, &ends[2]);
    first.join();
    second.join();
    if (opened0 != IRS_OK || opened1 != IRS_OK || ends[1] == nullptr || ends[3] == nullptr) {
        std::fprintf(stderr, "lib_mux_bench: channels not open: %s, %s\n", irs_strerror(opened0),
                     irs_strerror(opened1));
        return 1;
    }
    // Flows: channel 0 up and down, channel 1 up (into the reader that stops) and down.
    auto flows = [&](unsigned seed) {
        std::array<Flow, 4> made{};
        for (size_t i = 0; i < made.size(); ++i) {
            made[i].writer = ends[i];
            made[i].reader = ends[i ^ 1];
            made[i].out = pattern(bytes, seed + static_cast<unsigned>(i));
        }
        return made;
    };
    std::array<Flow, 4> shared = flows(1);
    std::array<Flow, 4> alone = flows(5);
    bool exact = run(shared, -1) && run(alone, 2);
    for (size_t i = 0; i < shared.size(); ++i) {
        exact = exact && shared[i].in == shared[i].out && alone[i].in == alone[i].out;
    }
    auto rate = [bytes](const Flow& flow) {
        return flow.doneS > 0 ? static_cast<double>(bytes) / flow.doneS : 0.0;
    };
    std::printf("%.0f %.0f %.0f %.0f %s\n", rate(shared[0]), rate(shared[1]), rate(alone[0]),
                rate(alone[1]), exact ? "exact" : "damaged");
    irs_close(computer);
    irs_close(device);
    return exact ? 0 : 1;
}
