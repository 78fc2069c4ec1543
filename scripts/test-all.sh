#!/usr/bin/env bash
# Builds everything (native, ASan+UBSan, Windows, fuzzers) and runs every test: the native
# suite, the same under ASan+UBSan, the Windows build's suite under Wine, the release package's
# programs under Wine, and short fuzz runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

step() { printf '\n==== %s ====\n' "$*"; }

step "native build and tests"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

step "ASan+UBSan build and tests"
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan

step "Windows build and tests under Wine"
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake/wine-run.sh cmd /c exit 0 # builds the private Wine prefix once, before tests run in parallel
ctest --preset windows

step "Windows release package, its programs run under Wine"
scripts/package.sh --check

step "fuzzers (short runs)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
scripts/fuzz.sh "${TAVREL_FUZZ_SECONDS:-30}"

step "all tests passed"
