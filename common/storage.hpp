// Sizing of the run's storage before anything is allocated.
#pragma once

#include <cstdint>
#include <string>

namespace exc {

// Adds up the bytes a run will allocate in overflow-checked 64-bit
// arithmetic. `Require` stops the run as a memory-service failure when the
// total overflowed or exceeds the machine's physical memory, so a huge range
// ends with a diagnostic rather than a crash or the system's OOM killer.
class StorageBudget {
 public:
  // Adds count x elementSize bytes; count may be any non-negative value.
  void Add(std::int64_t count, std::int64_t elementSize);
  void Require(const std::string& what) const;
  bool Overflowed() const { return overflowed_; }
  std::uint64_t Bytes() const { return bytes_; }

 private:
  std::uint64_t bytes_ = 0;
  bool overflowed_ = false;
};

}  // namespace exc
