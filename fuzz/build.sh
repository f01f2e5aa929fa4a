#!/usr/bin/env bash
# Builds the parameter-reader fuzz target with clang's libFuzzer and the
# address and undefined-behaviour sanitizers. Usage: fuzz/build.sh [output]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/build-fuzz/params_fuzz}"
cxx="${CXX_FUZZ:-}"
if [ -z "$cxx" ]; then
  for candidate in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
    if command -v "$candidate" >/dev/null; then cxx="$candidate"; break; fi
  done
fi
[ -n "$cxx" ] || { echo "fuzz/build.sh: no clang++ found" >&2; exit 2; }
mkdir -p "$(dirname "$out")"
"$cxx" -std=c++20 -g -O1 -ffp-contract=off \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer \
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow \
  -I"$root" \
  "$root/fuzz/params_fuzz.cpp" "$root/common/params.cpp" "$root/common/number_text.cpp" "$root/common/stop.cpp" \
  -o "$out"
echo "$out"
