#!/usr/bin/env bash
# Builds and runs every test: the release build with all tests, then the
# ASan/UBSan build with the unit, override and integration tests (the probe
# preloaded behind the sanitizer's runtime), then the ThreadSanitizer build
# with the tests of the threaded parts. On 2 cores the asan workflow takes
# about 14 minutes (build 10.5, tests 3.5) and the tsan one about 10 (build
# of its targets, tests 1.5).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --workflow --preset default
cmake --workflow --preset asan
cmake --workflow --preset tsan
