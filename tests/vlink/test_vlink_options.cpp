#include <gtest/gtest.h>

#include <vector>

#include "vlink_options.h"

namespace {

bool parse(std::vector<const char*> args, VlinkOptions& options, const char*& error) {
    args.insert(args.begin(), "vlink");
    return vlinkParseOptions(static_cast<int>(args.size()), args.data(), options, error);
}

} // namespace

TEST(VlinkOptions, ReadsEveryOption) {
    VlinkOptions options;
    const char* error = nullptr;
    ASSERT_TRUE(parse({"--a",         "/tmp/x",  "--b",       "/tmp/y",      "--half-duplex",
                       "--seed",      "7",       "--ber",     "1e-4",        "--drop",
                       "0.5",         "--burst", "12",        "--noise-for", "8.5",
                       "--cut-at",    "2",       "--cut-for", "5",           "--pcap",
                       "/tmp/c.pcap", "--stray", "40"},
                      options, error));
    EXPECT_STREQ(options.pathA, "/tmp/x");
    EXPECT_STREQ(options.pathB, "/tmp/y");
    EXPECT_STREQ(options.pcapPath, "/tmp/c.pcap");
    EXPECT_TRUE(options.halfDuplex);
    EXPECT_EQ(options.seed, 7U);
    EXPECT_DOUBLE_EQ(options.bitErrorRate, 1e-4);
    EXPECT_DOUBLE_EQ(options.dropRate, 0.5);
    EXPECT_EQ(options.dropBurst, 12U);
    EXPECT_DOUBLE_EQ(options.noiseForS, 8.5);
    EXPECT_DOUBLE_EQ(options.cutAtS, 2.0);
    EXPECT_DOUBLE_EQ(options.cutForS, 5.0);
    EXPECT_DOUBLE_EQ(options.strayMs, 40.0);
    EXPECT_FALSE(options.strayRandom);
    ASSERT_TRUE(parse({"--a", "x", "--b", "y", "--stray-random", "20"}, options, error));
    EXPECT_DOUBLE_EQ(options.strayMs, 20.0);
    EXPECT_TRUE(options.strayRandom);
}

TEST(VlinkOptions, CutWithoutStartBeginsAtOnce) {
    VlinkOptions options;
    const char* error = nullptr;
    ASSERT_TRUE(parse({"--a", "x", "--b", "y", "--cut-for", "3"}, options, error));
    EXPECT_DOUBLE_EQ(options.cutAtS, 0.0);
}

TEST(VlinkOptions, RefusesWhatItCannotUse) {
    const std::vector<std::vector<const char*>> bad{
        {"--a", "x"},                           // no second end
        {"--a", "x", "--b", "x"},               // the same path twice
        {"--a", "x", "--b", "y", "--ber", "2"}, // not a rate
        {"--a", "x", "--b", "y", "--drop", "lots"},
        {"--a", "x", "--b", "y", "--seed", "-1"},
        {"--a", "x", "--b", "y", "--burst", "0"},
        {"--a", "x", "--b", "y", "--noise-for", "-2"},
        {"--a", "x", "--b", "y", "--stray", "-5"},
        {"--a", "x", "--b", "y", "--stray-random", "soon"},
        {"--a", "x", "--b", "y", "--speed"},
        {"--a", "x", "--b", "y", "--bogus", "1"},
    };
    for (const auto& args : bad) {
        VlinkOptions options;
        const char* error = nullptr;
        EXPECT_FALSE(parse(args, options, error)) << args.back();
        EXPECT_NE(error, nullptr);
    }
}

TEST(VlinkOptions, NamesTheOptionItRefuses) {
    const std::vector<std::vector<const char*>> bad{
        {"--a", "x", "--bogus", "1", "--b", "y"}, // unknown
        {"--a", "x", "--ber", "2", "--b", "y"},   // malformed
        {"--a", "x", "--b"},                      // no value
    };
    for (const auto& args : bad) {
        VlinkOptions options;
        const char* error = nullptr;
        EXPECT_FALSE(parse(args, options, error));
        EXPECT_STREQ(options.refused, args[2]) << error;
    }
    VlinkOptions options;
    const char* error = nullptr;
    EXPECT_FALSE(parse({"--a", "x"}, options, error));
    EXPECT_EQ(options.refused, nullptr) << "not about one option: " << error;
}

TEST(VlinkOptions, NoiseLastsAndDropsSingleBytesUnlessTold) {
    VlinkOptions options;
    const char* error = nullptr;
    ASSERT_TRUE(parse({"--a", "x", "--b", "y", "--ber", "1e-3"}, options, error));
    EXPECT_EQ(options.dropBurst, 1U);
    EXPECT_LT(options.noiseForS, 0.0);
    EXPECT_DOUBLE_EQ(options.strayMs, 0.0);
}
