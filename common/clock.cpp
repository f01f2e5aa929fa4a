#include "common/clock.hpp"

#include <ctime>
#include <string_view>

#include "common/fields.hpp"
#include "common/stop.hpp"

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
  // Put together without allocating: the results file is in place by now,
  // and nothing may fail for want of memory after it.
  static constexpr std::string_view kWritten = "Analysis results written to file ";
  static constexpr std::string_view kCompleted = "Analysis completed. TimeTaken(Seconds) = ";
  std::fwrite(kWritten.data(), 1, kWritten.size(), out);
  std::fwrite(resultsFileName.data(), 1, resultsFileName.size(), out);
  WriteConsole(out, "\n");
  const std::int32_t elapsed = clock.ClockSeconds() - startReading;
  char line[kCompleted.size() + 16];
  std::size_t length = kCompleted.copy(line, kCompleted.size());
  length += FormatIntegerField(line + length, elapsed, 9);
  line[length++] = '\n';
  WriteConsole(out, std::string_view(line, length));
}

}  // namespace exc
