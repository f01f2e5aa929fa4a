// Replays the fuzz seeds and the bad-input battery through the fuzz target's
// property, so every fuzz finding added to fuzz/corpus/ stays a regression
// test in the ordinary build, without clang.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "e2e_support.hpp"
#include "fuzz/params_property.hpp"

namespace exc {
namespace {

namespace fs = std::filesystem;

TEST(FuzzCorpus, EveryInputStopsWithAKnownTextOrPassesEveryCheck) {
  const fs::path root = fs::path(EXC_TEST_DATA_DIR).parent_path().parent_path();
  int inputs = 0;
  for (const fs::path& dir : {root / "fuzz" / "corpus", root / "tests" / "data" / "bad"}) {
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      if (!entry.is_regular_file() || entry.path().extension() != ".txt") continue;
      const std::string bytes = test::ReadFile(entry.path());
      const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
      for (Variant variant : {Variant::Simulator, Variant::Calculator}) {
        EXPECT_EQ(fuzz::CheckReading(variant, data, bytes.size()), "")
            << entry.path() << (variant == Variant::Simulator ? " as simulator file" : " as calculator file");
      }
      ++inputs;
    }
  }
  EXPECT_GT(inputs, 100);
}

}  // namespace
}  // namespace exc
