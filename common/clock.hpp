// The elapsed-time clock and the two closing console lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace exc {

struct TimeOfDay {
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// Seconds from the local time of day, counting a day each time the hour goes
// down between readings. Each program owns one clock for its whole run.
class Clock {
 public:
  using Source = std::function<TimeOfDay()>;
  Clock();  // reads the local time of day
  explicit Clock(Source source) : source_(std::move(source)) {}
  std::int32_t ClockSeconds();

 private:
  Source source_;
  std::int32_t lastHour_ = 0;
  std::int32_t dayCount_ = 0;
};

// The two closing lines: the results file's name, then the elapsed seconds
// since `startReading` in a 9-character field. Takes the end reading between
// the two lines.
void PrintClosingLines(std::FILE* out, const std::string& resultsFileName, Clock& clock, std::int32_t startReading);

}  // namespace exc
