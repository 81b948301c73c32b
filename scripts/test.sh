#!/usr/bin/env bash
# Builds and runs every test: the release build with all tests, then the
# ASan/UBSan build with the unit tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --workflow --preset default
cmake --workflow --preset asan
