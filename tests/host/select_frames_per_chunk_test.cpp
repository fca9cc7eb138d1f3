#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_double.h"
#include "log_capture.h"
#include "select_frames_per_chunk.h"

namespace zephrane {
namespace {

using testing::LogCapture;

struct Case {
    uint32_t frames;
    std::vector<uint32_t> sizes;  // without the terminating 0
    uint32_t expected;
    std::vector<std::string> log;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.frames << " frames";
}

class SelectFramesPerChunk : public ::testing::TestWithParam<Case> {};

TEST_P(SelectFramesPerChunk, ChoosesAndLogs) {
    const Case& c = GetParam();
    std::vector<uint32_t> list = c.sizes;
    list.push_back(0);
    LogCapture capture;
    EXPECT_EQ(selectFramesPerChunkFrom(c.frames, list.data()), c.expected);
    EXPECT_EQ(capture.lines(), c.log);
}

const std::vector<uint32_t> usual{16, 32, 48, 64, 128};
const std::string useDefault = "INFO Using default frames per chunk=12";
const std::string noRatio = "INFO Did not find a good frames per chunk ratio";

INSTANTIATE_TEST_SUITE_P(
    Cases, SelectFramesPerChunk,
    ::testing::Values(
        Case{0, usual, 12, {useDefault}},
        Case{64, usual, 64, {"INFO Selecting processing frames per chunk=64"}},
        // 16, 32 and 48 divide 96: the last divisor wins
        Case{96, usual, 48, {"INFO Selecting processing frames per chunk=48 (direct multiple)"}},
        Case{8, usual, 16, {"INFO Selecting processing frames per chunk=16 (direct multiple)"}},
        Case{20, usual, 12, {noRatio, useDefault}}, Case{256, {}, 12, {noRatio, useDefault}},
        // the walk ends at 64, so 16 is never a candidate divisor
        Case{32, {64, 16}, 64, {"INFO Selecting processing frames per chunk=64 (direct multiple)"}},
        // a divisor below wins over a multiple above
        Case{256, {12, 128, 512}, 128, {"INFO Selecting processing frames per chunk=128 (direct multiple)"}},
        // the first multiple above, not a later one
        Case{24, {32, 48, 96}, 48, {"INFO Selecting processing frames per chunk=48 (direct multiple)"}},
        Case{4096,
             {12, 16, 2048},
             2048,
             {"INFO Selecting processing frames per chunk=2048 (direct multiple)"}}));

TEST(SelectFramesPerChunkFromEngine, ReadsTheEngineListButNotForZeroFrames) {
    zdouble_reset();
    zdouble_set("ZDOUBLE_POSSIBLE_SIZES", "16,32,48,64,128");
    EXPECT_EQ(selectFramesPerChunk(96), 48u);
    zdouble_set("ZDOUBLE_POSSIBLE_SIZES", "");
    EXPECT_EQ(selectFramesPerChunk(64), 12u);
    EXPECT_EQ(selectFramesPerChunk(0), 12u);
    EXPECT_EQ(selectFramesPerChunkFrom(64, nullptr), 12u);
    zdouble_reset();
}

}  // namespace
}  // namespace zephrane
