#!/usr/bin/env bash
# Cross-builds everything that needs no Python for 64-bit Windows with
# MinGW-w64 (SDK headers, loader, stream core, simulator DLL, native tests and
# their test plug-ins), with warnings as errors, and runs the tests under wine
# in a wine prefix of the build folder. The Python extension module is not
# built: there is no Windows CPython here.
#
#   scripts/mingw.sh [build-dir]      (default: build-mingw)
#
# Installs the Debian packages it needs, only the missing ones. Fails when a
# test fails, and prints how many tests ran under wine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-mingw}"

source "$root/scripts/install_packages.sh"
install_missing_packages cmake make g++-mingw-w64-x86-64-posix wine wine64 googletest libboost-dev \
  libreaderwriterqueue-dev

echo "== configuring $build (MinGW-w64)"
mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64.cmake" -DVORN_WERROR=ON \
  >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
echo "== building"
cmake --build "$build" -j "$(nproc)"

# The first program run creates the wine prefix; do it once, before the tests
# run in parallel.
echo "== preparing the wine prefix"
"$build/wine-run" wineboot.exe --init >"$build/wineboot.log" 2>&1 || { cat "$build/wineboot.log"; exit 1; }

echo "== tests under wine"
status=0
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 60 | tee "$build/ctest.log" || status=1
cp "$build/Testing/Temporary/LastTest.log" "$build/ctest-output.log"
ran="$(sed -n 's/.*tests passed, [0-9]* tests failed out of \([0-9]*\)$/\1/p' "$build/ctest.log")"
skipped="$(grep -c '\*\*\*Skipped' "$build/ctest.log" || true)"
# Each skipped test with the reason it gives.
awk '/: Skipped$/ { getline reason } /^\[  SKIPPED \] .* \([0-9]+ ms\)$/ { print "  skipped " $4 ": " reason }' \
  "$build/ctest-output.log" | sort -u
echo "== ${ran:-0} tests ran under wine, ${skipped} of them skipped"
exit "$status"
