// Two library ports joined through the air of two pseudo-terminals: what irs_channel_describe
// says of channels opened by names and by selector at both ends, and a device's IAS asked with
// irs_query while a channel is open and again with no link up, each answer checked against what the
// device shows elsewhere (its channels' selectors, its nickname in discovery).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "irstack.h"
#include "lib_ends.h"

namespace {

constexpr int WAIT_MS = 20000;
constexpr int DISCOVER_MS = 3000;
const char* const BULK_CLASS = "Bulk";
const char* const BULK_ATTRIBUTE = "TinyTP:LsapSel";

irs_channel_info describe(irs_channel* channel) {
    irs_channel_info info{};
    EXPECT_EQ(irs_channel_describe(channel, &info), IRS_OK);
    return info;
}

// The two ends of one channel: selectors crossed, the same mode.
void expectEnds(const irs_channel_info& computer, const irs_channel_info& device, int mode) {
    EXPECT_EQ(computer.local_lsap, device.peer_lsap);
    EXPECT_EQ(computer.peer_lsap, device.local_lsap);
    EXPECT_EQ(computer.mode, mode);
    EXPECT_EQ(device.mode, mode);
}

// Asks for one integer and returns it (-1 on any other answer).
int queryInteger(irs_port* port, const std::string& className, const std::string& attribute) {
    std::array<irs_ias_value, 2> values{};
    const int count = irs_query(port, className.c_str(), attribute.c_str(), WAIT_MS, values.data(),
                                static_cast<int>(values.size()));
    EXPECT_EQ(count, 1) << className << " " << attribute;
    return count == 1 && values[0].type == IRS_IAS_INTEGER ? values[0].integer : -1;
}

struct Listener {
    Listener(irs_port* device, const char* className, const char* attribute, int mode)
        : thread([=, this] {
              result.store(irs_listen(device, className, attribute, mode, WAIT_MS, &channel));
          }) {}
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    ~Listener() {
        if (thread.joinable()) {
            thread.join();
        }
    }
    int join() {
        thread.join();
        return result.load();
    }
    irs_channel* channel = nullptr;
    std::atomic<int> result{1};
    std::thread thread;
};

class LibQuery : public AirEnds {};
IRS_BOTH_TRANSPORTS(LibQuery);

TEST_P(LibQuery, ChannelsDescribedAndTheDevicesServicesAskedWithAndWithoutALink) {
    irs_port* computer = nullptr;
    irs_port* device = nullptr;
    ASSERT_EQ(open(0, 'b', 115200, IRS_ROLE_COMPUTER, &computer), IRS_OK);
    ASSERT_EQ(open(1, 'b', 115200, IRS_ROLE_DEVICE, &device), IRS_OK);
    std::array<irs_ias_value, 4> values{};
    const std::string tooLong(IRS_NAME_MAX, 'x');
    EXPECT_EQ(irs_query(computer, nullptr, "A", WAIT_MS, values.data(), 4), IRS_ERR_ARG);
    EXPECT_EQ(irs_query(computer, "Device", "", WAIT_MS, values.data(), 4), IRS_ERR_ARG);
    EXPECT_EQ(irs_query(computer, tooLong.c_str(), "A", WAIT_MS, values.data(), 4), IRS_ERR_ARG);
    EXPECT_EQ(irs_query(computer, "Device", "DeviceName", WAIT_MS, nullptr, 4), IRS_ERR_ARG);
    EXPECT_EQ(irs_query(computer, "Device", "DeviceName", WAIT_MS, values.data(), 0), IRS_ERR_ARG);
    EXPECT_EQ(irs_query(device, "Device", "DeviceName", WAIT_MS, values.data(), 4), IRS_ERR_STATE);
    EXPECT_EQ(irs_channel_describe(nullptr, nullptr), IRS_ERR_HANDLE);

    // IrCOMM by its default names and a raw service by names: both ends described.
    irs_channel* none = nullptr;
    ASSERT_EQ(irs_listen(device, nullptr, nullptr, IRS_MODE_IRCOMM, 0, &none), IRS_ERR_TIMEOUT);
    ASSERT_EQ(irs_listen(device, BULK_CLASS, BULK_ATTRIBUTE, IRS_MODE_RAW, 0, &none),
              IRS_ERR_TIMEOUT);
    Listener comm(device, nullptr, nullptr, IRS_MODE_IRCOMM);
    irs_channel* commEnd = nullptr;
    ASSERT_EQ(irs_connect(computer, nullptr, nullptr, IRS_MODE_IRCOMM, WAIT_MS, &commEnd), IRS_OK);
    ASSERT_EQ(comm.join(), IRS_OK);
    Listener bulk(device, BULK_CLASS, BULK_ATTRIBUTE, IRS_MODE_RAW);
    irs_channel* bulkEnd = nullptr;
    ASSERT_EQ(irs_connect(computer, BULK_CLASS, BULK_ATTRIBUTE, IRS_MODE_RAW, WAIT_MS, &bulkEnd),
              IRS_OK);
    ASSERT_EQ(bulk.join(), IRS_OK);
    const irs_channel_info commInfo = describe(commEnd);
    const irs_channel_info commDevice = describe(comm.channel);
    expectEnds(commInfo, commDevice, IRS_MODE_IRCOMM);
    const std::string commClass = commInfo.class_name;
    const std::string commAttribute = commInfo.attribute;
    EXPECT_FALSE(commClass.empty() || commAttribute.empty());
    EXPECT_EQ(commClass, commDevice.class_name);
    EXPECT_EQ(commAttribute, commDevice.attribute);
    const irs_channel_info bulkInfo = describe(bulkEnd);
    const irs_channel_info bulkDevice = describe(bulk.channel);
    expectEnds(bulkInfo, bulkDevice, IRS_MODE_RAW);
    EXPECT_STREQ(bulkInfo.class_name, BULK_CLASS);
    EXPECT_STREQ(bulkDevice.attribute, BULK_ATTRIBUTE);
    EXPECT_NE(bulkInfo.local_lsap, commInfo.local_lsap);

    // Over the link that is up: the selectors the channels use, a class the device lacks, and
    // the channel goes on.
    EXPECT_EQ(queryInteger(computer, commClass, commAttribute), commDevice.local_lsap);
    EXPECT_EQ(queryInteger(computer, BULK_CLASS, BULK_ATTRIBUTE), bulkDevice.local_lsap);
    EXPECT_EQ(irs_query(computer, "Nothing", "Here", WAIT_MS, values.data(), 4),
              IRS_ERR_NO_SERVICE);
    std::array<char, 8> buffer{};
    EXPECT_EQ(irs_write(commEnd, "ping", 4, WAIT_MS), 4);
    EXPECT_EQ(irs_read(comm.channel, buffer.data(), 4, WAIT_MS), 4);
    EXPECT_EQ(std::string(buffer.data(), 4), "ping");

    // The raw service again by its selector: no names at the computer's end.
    EXPECT_EQ(irs_channel_close(bulkEnd), IRS_OK);
    irs_channel_info scratch{};
    EXPECT_EQ(irs_channel_describe(bulkEnd, &scratch), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_read(bulk.channel, buffer.data(), buffer.size(), WAIT_MS), IRS_ERR_PEER_GONE);
    EXPECT_EQ(irs_channel_close(bulk.channel), IRS_OK);
    Listener again(device, BULK_CLASS, BULK_ATTRIBUTE, IRS_MODE_RAW);
    irs_channel* bySelector = nullptr;
    ASSERT_EQ(irs_connect_lsap(computer, bulkDevice.local_lsap, IRS_MODE_RAW, WAIT_MS, &bySelector),
              IRS_OK);
    ASSERT_EQ(again.join(), IRS_OK);
    const irs_channel_info selectorInfo = describe(bySelector);
    expectEnds(selectorInfo, describe(again.channel), IRS_MODE_RAW);
    EXPECT_STREQ(selectorInfo.class_name, "");
    EXPECT_STREQ(selectorInfo.attribute, "");
    EXPECT_EQ(irs_channel_describe(bySelector, nullptr), IRS_ERR_ARG);
    for (irs_channel* channel : {commEnd, comm.channel, bySelector, again.channel}) {
        EXPECT_EQ(irs_channel_close(channel), IRS_OK);
    }

    // No link up: each query is a link of its own, to a device that still waits for a computer.
    Listener last(device, nullptr, nullptr, IRS_MODE_IRCOMM);
    std::array<irs_device, 2> found{};
    ASSERT_EQ(irs_discover(computer, DISCOVER_MS, found.data(), 2), 1);
    ASSERT_EQ(irs_query(computer, "Device", "DeviceName", WAIT_MS, values.data(), 4), 1);
    EXPECT_EQ(values[0].type, IRS_IAS_STRING);
    EXPECT_EQ(values[0].charset, 0);
    EXPECT_EQ(values[0].length, std::strlen(found[0].nickname));
    EXPECT_STREQ(reinterpret_cast<const char*>(values[0].bytes), found[0].nickname);
    EXPECT_EQ(queryInteger(computer, commClass, commAttribute), commDevice.local_lsap);
    EXPECT_EQ(irs_query(computer, "Nothing", "Here", WAIT_MS, values.data(), 4),
              IRS_ERR_NO_SERVICE);
    EXPECT_EQ(irs_query(computer, "Device", "Nothing", WAIT_MS, values.data(), 4),
              IRS_ERR_NO_SERVICE);
    // The device never saw a channel: it opens now.
    irs_channel* lastEnd = nullptr;
    ASSERT_EQ(irs_connect(computer, nullptr, nullptr, IRS_MODE_IRCOMM, WAIT_MS, &lastEnd), IRS_OK);
    ASSERT_EQ(last.join(), IRS_OK);
    EXPECT_EQ(irs_close(computer), IRS_OK);
    EXPECT_EQ(irs_close(device), IRS_OK);
    EXPECT_EQ(irs_query(computer, "Device", "DeviceName", WAIT_MS, values.data(), 4),
              IRS_ERR_HANDLE);
}

} // namespace
