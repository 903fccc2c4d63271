// The pty programs' command line takes a daemon's port as it takes a serial port.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "pty_app.h"

namespace {

TEST(PtyOptions, ADaemonPortIsAPortLikeAnyOther) {
    std::array<std::string, 5> words{"primary_pty_a", "--link", "/tmp/ircomm", "--raw",
                                     "irstackd:ir0"};
    std::array<char*, 5> argv{};
    for (size_t i = 0; i < words.size(); ++i) {
        argv.at(i) = words.at(i).data();
    }
    PtyOptions options;
    std::array<char, 128> error{};
    ASSERT_TRUE(ptyParseOptions(static_cast<int>(argv.size()), argv.data(), options, error))
        << error.data();
    EXPECT_STREQ(options.port, "irstackd:ir0");
    EXPECT_STREQ(options.link, "/tmp/ircomm");
    EXPECT_TRUE(options.raw);
}

} // namespace
