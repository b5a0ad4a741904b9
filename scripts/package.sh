#!/usr/bin/env bash
# Builds the Debian package zerpal-agent into build-package/ (prints its path).
# The package build is separate from the test builds: installed under /usr,
# stripped, without tests or benchmarks, and with self-upgrade locked off.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${ZP_SKIP_SETUP:-}" = 1 ] || bash scripts/setup.sh >&2

dir=build-package
# Debian's hardening flags (fortified functions, stack protector, full RELRO).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DBUILD_TESTING=OFF -DZP_BUILD_BENCH=OFF -DZP_PACKAGE_MANAGED=ON ${ZP_PACKAGE_CMAKE_ARGS:-} >&2
cmake --build "$dir" -j "${ZP_JOBS:-$(nproc)}" >&2
rm -f "$dir"/zerpal-agent_*.deb
(cd "$dir" && cpack -G DEB >&2)
ls "$PWD/$dir"/zerpal-agent_*.deb
