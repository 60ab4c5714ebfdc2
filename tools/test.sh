#!/usr/bin/env bash
# Sets everything up and runs every test: the Windows tests under Wine (ctest) and a short,
# bounded smoke run of every fuzz target over its committed seed corpus. Exits non-zero on failure.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh

cmake --preset windows
cmake --build --preset windows
# The same code through a second compiler, built only: the tests run on the g++ build above.
cmake --preset windows-clang
cmake --build --preset windows-clang
ctest --preset windows

cmake --preset host-fuzz
cmake --build --preset host-fuzz
tools/fuzz-smoke.sh build/host-fuzz

cmake --preset host-bench
cmake --build --preset host-bench
