#!/usr/bin/env bash
# Builds the fuzz target and runs it for the given number of seconds
# (default 60), starting from the seed corpus. New inputs go to a scratch
# corpus beside the binary, never into the repository's seeds.
# Usage: fuzz/run.sh [seconds] [extra libFuzzer flags...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
shift || true
work="$root/build-fuzz"
binary="$(bash "$root/fuzz/build.sh" "$work/params_fuzz")"
mkdir -p "$work/corpus" "$work/artifacts"
"$binary" "$work/corpus" "$root/fuzz/corpus" \
  -max_total_time="$seconds" -timeout=10 -max_len=4096 -print_final_stats=1 \
  -dict="$root/fuzz/params.dict" -artifact_prefix="$work/artifacts/" "$@"
