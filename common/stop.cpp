#include "common/stop.hpp"

namespace exc {

void StopWithMessage(std::initializer_list<std::string_view> records) {
  std::string text;
  for (std::string_view record : records) {
    text.append(record);
    text.push_back('\n');
  }
  throw RunStopped(std::move(text));
}

}  // namespace exc
