// Replays the kept inputs of one fuzz target through its harness in the ordinary test builds: the
// seed corpus and, in a folder named after the target, every input that once broke it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> keptInputs() {
    std::vector<fs::path> inputs;
    for (const char* dir : {FUZZ_CORPUS_DIR, FUZZ_REGRESSION_DIR}) {
        if (!fs::is_directory(dir)) {
            continue;
        }
        for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
            if (entry.is_regular_file()) {
                inputs.push_back(entry.path());
            }
        }
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

std::string testName(const ::testing::TestParamInfo<fs::path>& info) {
    const std::string folder = info.param.parent_path().filename().string();
    std::string name =
        (folder == FUZZ_TARGET_NAME ? "seed_" : "regression_") + info.param.filename().string();
    for (char& c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
            c = '_';
        }
    }
    return name;
}

class FuzzReplay : public ::testing::TestWithParam<fs::path> {};

// A broken invariant aborts, which fails this input's test alone.
TEST_P(FuzzReplay, InputKeepsEveryInvariant) {
    std::ifstream file(GetParam(), std::ios::binary);
    ASSERT_TRUE(file.good());
    const Bytes input{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0);
}

INSTANTIATE_TEST_SUITE_P(Kept, FuzzReplay, ::testing::ValuesIn(keptInputs()), testName);

} // namespace
