#include "common/storage.hpp"

#include <unistd.h>

#include "common/stop.hpp"

namespace exc {

void StorageBudget::Add(std::int64_t count, std::int64_t elementSize) {
  std::uint64_t product = 0;
  if (count < 0 || elementSize < 0 ||
      __builtin_mul_overflow(static_cast<std::uint64_t>(count), static_cast<std::uint64_t>(elementSize), &product) ||
      __builtin_add_overflow(bytes_, product, &bytes_)) {
    overflowed_ = true;
  }
}

void StorageBudget::Require(const std::string& what) const {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGE_SIZE);
  std::uint64_t physical = UINT64_MAX;
  if (pages > 0 && pageSize > 0) physical = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
  if (overflowed_ || bytes_ > physical)
    throw ServiceFailure("cannot allocate the storage for " + what + ": the ranges need more memory than the machine has");
}

}  // namespace exc
