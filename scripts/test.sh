#!/usr/bin/env bash
# Sets up, builds and runs every test: the plain build, the Debian package's
# round trip (build, install, purge), a bounded run of each fuzz target, the
# host tests with ThreadSanitizer, the Windows build under Wine, then the same
# tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZP_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

# The Debian package: built, inspected, installed, removed and purged again
# (needs root; the CI machine is fresh each run).
if [ "$(id -u)" -eq 0 ]; then
  bash scripts/package_test.sh
else
  sudo bash scripts/package_test.sh
fi

# Each fuzz target for a bounded time (30 s unless FUZZ_TIME says), before the sanitizer run so that the
# run ends with the test summary.
if [ -x scripts/fuzz.sh ]; then
  FUZZ_TIME=${FUZZ_TIME:-30} bash scripts/fuzz.sh
fi

# The threads of the command pipe and the self-upgrade under ThreadSanitizer.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZP_TSAN=ON -DZP_BUILD_BENCH=OFF -DZP_WERROR=ON
cmake --build build-tsan --target host_tests -j "$jobs"
TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/host/host_tests --gtest_filter='Upgrade.*:CommandPipe.*'

# The Windows build: cross-compiled, its tests and the agent under Wine.
bash scripts/windows_test.sh

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZP_SANITIZE=ON -DZP_BUILD_BENCH=OFF -DZP_WERROR=ON
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"
