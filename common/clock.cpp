#include "common/clock.hpp"

#include <ctime>

#include "common/fields.hpp"

namespace exc {

namespace {

TimeOfDay LocalTimeOfDay() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {local.tm_hour, local.tm_min, local.tm_sec};
}

}  // namespace

Clock::Clock() : source_(LocalTimeOfDay) {}

std::int32_t Clock::ClockSeconds() {
  const TimeOfDay now = source_();
  if (now.hour < lastHour_) ++dayCount_;
  lastHour_ = now.hour;
  return (dayCount_ * 24 + now.hour) * 3600 + now.minute * 60 + now.second;
}

void PrintClosingLines(std::FILE* out, const std::string& resultsFileName, Clock& clock, std::int32_t startReading) {
  std::string line = "Analysis results written to file " + resultsFileName + "\n";
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
  const std::int32_t elapsed = clock.ClockSeconds() - startReading;
  line = "Analysis completed. TimeTaken(Seconds) = ";
  AppendIntegerField(line, elapsed, 9);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}

}  // namespace exc
