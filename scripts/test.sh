#!/usr/bin/env bash
# Builds and runs every test: the release build with all tests, then the
# ASan/UBSan build with the unit tests, then every fuzzer for a bounded time
# (clang build of the fuzzers only, then 20 s each: about 8 minutes).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --workflow --preset default
cmake --workflow --preset asan
scripts/fuzz.sh --all 20
