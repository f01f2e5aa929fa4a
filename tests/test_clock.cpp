#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/clock.hpp"

namespace exc {
namespace {

// A clock that reads the given times of day in turn.
Clock Replay(std::vector<TimeOfDay> times) {
  return Clock([times = std::move(times), next = std::size_t{0}]() mutable { return times.at(next++); });
}

TEST(Clock, ElapsedSeconds) {
  const std::vector<std::pair<std::vector<TimeOfDay>, std::vector<std::int32_t>>> rows = {
      {{{23, 59, 50}, {0, 0, 10}}, {86390, 86410}},   // across midnight: 20 seconds
      {{{23, 0, 0}, {1, 0, 0}}, {82800, 90000}},      // 26 hours apart: whole days are lost
      {{{10, 40, 0}, {10, 20, 0}}, {38400, 37200}},   // set back within the hour: no new day
      {{{12, 0, 0}, {11, 59, 59}}, {43200, 129599}},  // an hour going down counts as a new day
      // Every drop of the hour adds a day; the first reading never does.
      {{{22, 0, 0}, {23, 0, 0}, {0, 0, 0}, {5, 0, 0}, {3, 0, 1}}, {79200, 82800, 86400, 104400, 183601}},
  };
  for (const auto& [times, readings] : rows) {
    Clock clock = Replay(times);
    std::vector<std::int32_t> got;
    for (std::size_t i = 0; i < times.size(); ++i) got.push_back(clock.ClockSeconds());
    EXPECT_EQ(got, readings);
  }
}

std::string ClosingLines(TimeOfDay start, TimeOfDay end) {
  Clock clock = Replay({start, end});
  const std::int32_t startReading = clock.ClockSeconds();
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  PrintClosingLines(out, "runs/SimParameter.DuviZadIru", clock, startReading);
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

TEST(Clock, ClosingLines) {
  const std::string first = "Analysis results written to file runs/SimParameter.DuviZadIru\n";
  EXPECT_EQ(ClosingLines({9, 0, 0}, {9, 0, 42}), first + "Analysis completed. TimeTaken(Seconds) =        42\n");
  EXPECT_EQ(ClosingLines({10, 40, 0}, {10, 20, 0}), first + "Analysis completed. TimeTaken(Seconds) =     -1200\n");
  EXPECT_EQ(ClosingLines({7, 7, 7}, {7, 7, 7}), first + "Analysis completed. TimeTaken(Seconds) =         0\n");
}

}  // namespace
}  // namespace exc
