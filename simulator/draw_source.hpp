// What the replicates and the Poisson deviate draw from.
#pragma once

#include <concepts>
#include <cstdint>

#include "simulator/uniform.hpp"

namespace exc {

// One generator step per draw, as a deviate or as the odd integer itself:
// the serial stream, the counting stream, the block stream, a test's script.
template <class S>
concept DrawSource = requires(S& source) {
  { source.Deviate() } -> std::same_as<float>;
  { source.OddInteger() } -> std::same_as<OddDraw>;
};

// A draw source that also lends its odd integers ahead of use: Reserve(n)
// shows at least n of them from the current position on, and Commit takes
// back the pointer moved past those used. Only the block stream is one; the
// fast paths that read values ahead are taken for it alone.
template <class S>
concept BlockSource = DrawSource<S> && requires(S& source, const std::int32_t* next) {
  { source.Step() } -> std::same_as<std::int32_t>;
  { source.Reserve(4) } -> std::same_as<const std::int32_t*>;
  source.Commit(next);
};

}  // namespace exc
