#!/usr/bin/env bash
# Prepares a fresh machine and builds the project into ./build.
#   - installs the Debian packages the build needs (only the missing ones)
#   - finds CPython 3.12 ($PYTHON, python3.12 on PATH, or pyenv's versions)
#   - builds the static ZeroMQ the remote parts link (once, into build-deps/)
#   - configures and builds with warnings as errors
#   - makes build/pytest-path, through which Debian's pytest runs under 3.12
# Sourced by run_demo.sh and run_tests.sh; usable on its own.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VORN_BUILD_DIR:-$root/build}"

packages=(cmake g++ make pkg-config pybind11-dev libboost-dev libboost-filesystem-dev libspdlog-dev libfmt-dev
  libreaderwriterqueue-dev libgtest-dev python3-pytest)
# The gates of run_tests.sh: the format check and the fuzz targets (clang-14,
# whose libFuzzer and sanitizer runtimes come in libclang-rt-14-dev).
packages+=(clang-format-14 clang-14 libclang-rt-14-dev)
# The remote plug-in and vorn-server (ZeroMQ, built with libsodium for
# CURVE); iproute2 for the tests that make their own network namespace.
packages+=(libzmq3-dev cppzmq-dev libsodium-dev iproute2)
# The browser test of `vorn view`: tools/browser drives Debian's chromium with
# playwright-core from npm (Node.js with npm, as for tools/pyright), which
# run_tests.sh installs.
packages+=(chromium)
# The cross build for Windows (scripts/mingw.sh) installs its own packages.
source "$root/scripts/install_packages.sh"
install_missing_packages "${packages[@]}"

echo "== configuring $build"
# ZeroMQ linked in, as in the wheel (built once from Debian's sources into
# build-deps/zmq), so that what the tests build is what ships.
echo "== static ZeroMQ (scripts/zmq_static.sh)"
"$root/scripts/zmq_static.sh" "$root/build-deps/zmq"
cmake_args=(-S "$root" -B "$build" -DVORN_WERROR=ON -DVORN_ZMQ_STATIC=ON "-DVORN_ZMQ_STATIC_PREFIX=$root/build-deps/zmq")
[ -n "${PYTHON:-}" ] && cmake_args+=("-DPYTHON=$PYTHON")
mkdir -p "$build"
cmake "${cmake_args[@]}" >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
grep -E "Building for|Skipping|Binding path" "$build/configure.log" || true
echo "== building"
cmake --build "$build" -j "$(nproc)"

python_exe="$(sed -n 's/^Python_EXECUTABLE:FILEPATH=//p' "$build/CMakeCache.txt")"
pytest_path="$build/pytest-path"
"$root/scripts/pytest_path.sh" "$pytest_path"
export VORN_BUILD_DIR="$build" VORN_PYTHON="$python_exe"
export PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}"
