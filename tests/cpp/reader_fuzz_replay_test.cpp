// Replays the fuzz targets' committed inputs, the seeds and every input
// that once broke a target, through the targets' own code, so that the
// ordinary test run (and its sanitizer build) holds each fix.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cfb_test_util.h"
#include "../fuzz/targets.h"

namespace cellvault::fuzz {
namespace {

namespace fs = std::filesystem;

// replay runs |run| on every file in tests/fuzz/<kind>/<target>/ and
// returns how many there were.
template <class Run>
size_t replay(std::string_view kind, std::string_view target, Run run) {
  const fs::path dir = fs::path(CELLVAULT_SOURCE_DIR) / "tests" / "fuzz" / kind / target;
  size_t count = 0;
  if (!fs::exists(dir)) return 0;
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    SCOPED_TRACE(e.path().string());
    const Bytes data = cfb::testing::read_file(e.path().string());
    run(data.data(), data.size());
    ++count;
  }
  return count;
}

TEST(FuzzReplayTest, ContainerSeedsAndRegressions) {
  EXPECT_GT(replay("corpus", "fuzz_container", run_container), 10u);
  replay("regressions", "fuzz_container", run_container);
}

TEST(FuzzReplayTest, DescriptorSeedsAndRegressions) {
  EXPECT_GT(replay("corpus", "fuzz_descriptor", run_descriptor), 10u);
  replay("regressions", "fuzz_descriptor", run_descriptor);
}

TEST(FuzzReplayTest, VerifySeedsAndRegressions) {
  EXPECT_GT(replay("corpus", "fuzz_verify", run_verify), 10u);
  replay("regressions", "fuzz_verify", run_verify);
}

}  // namespace
}  // namespace cellvault::fuzz
