#!/usr/bin/env bash
# Runs every built fuzzer on a copy of its seed corpus: the request decoder for the given
# number of seconds (default 30), the smaller targets for half of it. Fails on any crash, leak,
# sanitizer report or broken property.
set -euo pipefail
cd "$(dirname "$0")/.."
budget=${1:-30}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for fuzzer in build/fuzz/fuzz/fuzz_*; do
  name=${fuzzer##*/fuzz_}
  seconds=$budget
  [ "$name" = protocol ] || seconds=$(( (budget + 1) / 2 ))
  mkdir -p "$work/$name"
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/$name/"
  echo "fuzzing $name for ${seconds}s"
  "$fuzzer" -max_total_time="$seconds" -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/$name" 2>"$work/$name.log" || {
      tail -n 60 "$work/$name.log"
      echo "fuzzer $name failed"
      exit 1
    }
  grep -E '^stat::number_of_executed_units' "$work/$name.log" || true
done
