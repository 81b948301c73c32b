#!/usr/bin/env bash
# Builds and runs every test: the release build with all tests, then the
# ASan/UBSan build with the unit, override and integration tests (the probe
# preloaded behind the sanitizer's runtime), then the ThreadSanitizer build
# with the tests of the threaded parts, then every fuzzer for a bounded time
# (clang build of the fuzzers only, then 20 s each).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --workflow --preset default
cmake --workflow --preset asan
cmake --workflow --preset tsan
scripts/fuzz.sh --all 20
