// Two library ports joined through the air of two pseudo-terminals: a device listening on two
// services at once from two threads and a computer opening both channels over one link; bytes
// each way on each channel byte-exact, a refused selector and too many channels answered with
// error codes, and one channel's close leaving the other going. The log names each station's
// states by its role.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "irstack.h"
#include "lib_ends.h"

namespace {

constexpr int WAIT_MS = 20000;
constexpr size_t BYTES = 4096;
const char* const BULK_CLASS = "Bulk";
const char* const BULK_ATTRIBUTE = "TinyTP:LsapSel";

// The trace both stations wrote to the log.
struct Trace {
    std::mutex lock;
    std::string text;
};

void keepTrace(void* context, int kind, const char* text, size_t length) {
    auto& trace = *static_cast<Trace*>(context);
    const std::lock_guard<std::mutex> hold(trace.lock);
    if (kind == IRS_LOG_TRACE) {
        trace.text.append(text, length);
    }
}

std::string pattern(int tag) {
    std::string text(BYTES, '\0');
    for (size_t i = 0; i < BYTES; ++i) {
        text[i] = static_cast<char>((tag * 31 + static_cast<int>(i * 7 + i / 253)) & 0xFF);
    }
    return text;
}

class LibMux : public AirEnds {};
IRS_BOTH_TRANSPORTS(LibMux);

TEST_P(LibMux, TwoChannelsOverOneLinkEachWayAndTheirLimits) {
    Trace trace;
    ASSERT_EQ(irs_set_log(keepTrace, &trace), IRS_OK);
    irs_port* computer = nullptr;
    irs_port* device = nullptr;
    ASSERT_EQ(open(0, 'b', 115200, IRS_ROLE_COMPUTER, &computer), IRS_OK);
    ASSERT_EQ(open(1, 'b', 115200, IRS_ROLE_DEVICE, &device), IRS_OK);
    // Both services offered before the computer asks; then a thread waits on each.
    irs_channel* none = nullptr;
    ASSERT_EQ(irs_listen(device, nullptr, nullptr, IRS_MODE_IRCOMM, 0, &none), IRS_ERR_TIMEOUT);
    ASSERT_EQ(irs_listen(device, BULK_CLASS, BULK_ATTRIBUTE, IRS_MODE_RAW, 0, &none),
              IRS_ERR_TIMEOUT);
    std::array<irs_channel*, 4> ends{}; // computer's and device's end of each channel in turn
    std::atomic<int> listened0{1};
    std::atomic<int> listened1{1};
    std::thread first([&] {
        listened0.store(irs_listen(device, nullptr, nullptr, IRS_MODE_IRCOMM, WAIT_MS, &ends[1]));
    });
    std::thread second([&] {
        listened1.store(
            irs_listen(device, BULK_CLASS, BULK_ATTRIBUTE, IRS_MODE_RAW, WAIT_MS, &ends[3]));
    });
    EXPECT_EQ(irs_connect(computer, nullptr, nullptr, IRS_MODE_IRCOMM, WAIT_MS, &ends[0]), IRS_OK);
    EXPECT_EQ(irs_connect(computer, BULK_CLASS, BULK_ATTRIBUTE, IRS_MODE_RAW, WAIT_MS, &ends[2]),
              IRS_OK);
    first.join();
    second.join();
    ASSERT_EQ(listened0.load(), IRS_OK);
    ASSERT_EQ(listened1.load(), IRS_OK);

    std::array<std::string, 4> out{pattern(0), pattern(1), pattern(2), pattern(3)};
    std::array<std::string, 4> in;
    std::array<size_t, 4> sent{};
    std::array<char, 512> buffer{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    auto done = [&] {
        return in[0].size() == BYTES && in[1].size() == BYTES && in[2].size() == BYTES &&
               in[3].size() == BYTES;
    };
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        for (size_t i = 0; i < ends.size(); ++i) {
            const long queued = irs_write(ends[i], out[i].data() + sent[i], BYTES - sent[i], 0);
            sent[i] += queued > 0 && sent[i] < BYTES ? static_cast<size_t>(queued) : 0;
            const long count = irs_read(ends[i], buffer.data(), buffer.size(), 2);
            if (count > 0) {
                in[i].append(buffer.data(), static_cast<size_t>(count));
            }
        }
    }
    EXPECT_TRUE(in[1] == out[0] && in[0] == out[1]) << "IrCOMM channel";
    EXPECT_TRUE(in[3] == out[2] && in[2] == out[3]) << "raw channel";

    // A selector the device does not offer is refused; two more services fill the link.
    irs_channel* more = nullptr;
    EXPECT_EQ(irs_connect_lsap(computer, 9, IRS_MODE_RAW, WAIT_MS, &more), IRS_ERR_NO_SERVICE);
    std::array<irs_channel*, 2> extra{};
    for (size_t i = 0; i < extra.size(); ++i) {
        const std::string name(1, static_cast<char>('C' + i));
        EXPECT_EQ(irs_listen(device, name.c_str(), "Sel", IRS_MODE_RAW, 0, &none), IRS_ERR_TIMEOUT);
        EXPECT_EQ(irs_connect(computer, name.c_str(), "Sel", IRS_MODE_RAW, WAIT_MS, &extra[i]),
                  IRS_OK);
    }
    EXPECT_EQ(irs_connect(computer, BULK_CLASS, BULK_ATTRIBUTE, IRS_MODE_RAW, WAIT_MS, &more),
              IRS_ERR_NO_MEMORY);
    EXPECT_EQ(more, nullptr);

    // The computer closes the raw channel: the device's end learns it, the IrCOMM one goes on.
    EXPECT_EQ(irs_channel_close(ends[2]), IRS_OK);
    EXPECT_EQ(irs_read(ends[3], buffer.data(), buffer.size(), WAIT_MS), IRS_ERR_PEER_GONE);
    EXPECT_EQ(irs_write(ends[1], "ping", 4, WAIT_MS), 4);
    EXPECT_EQ(irs_read(ends[0], buffer.data(), 4, WAIT_MS), 4);
    EXPECT_EQ(std::string(buffer.data(), 4), "ping");
    EXPECT_EQ(irs_channel_close(ends[2]), IRS_ERR_HANDLE); // closed already
    for (irs_channel* channel : {ends[0], ends[1], ends[3], extra[0], extra[1]}) {
        EXPECT_EQ(irs_channel_close(channel), IRS_OK);
    }
    EXPECT_EQ(irs_close(computer), IRS_OK);
    EXPECT_EQ(irs_close(device), IRS_OK);
    EXPECT_EQ(irs_set_log(nullptr, nullptr), IRS_OK);
    const std::lock_guard<std::mutex> hold(trace.lock);
    // A station in a daemon logs there, not here.
    EXPECT_EQ(trace.text.find("\ncomputer state:\t9") != std::string::npos, !throughDaemon(0));
    EXPECT_EQ(trace.text.find("\ndevice state:\t5") != std::string::npos, !throughDaemon(1));
    EXPECT_EQ(trace.text.find("demo"), std::string::npos);
}

} // namespace
