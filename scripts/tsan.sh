#!/usr/bin/env bash
# Builds the native stream tests (and the SDK tests, when present) with
# ThreadSanitizer and runs them. No Python is needed.
#
#   scripts/tsan.sh [build-dir]      (default: build-tsan)
#
# Extra arguments after the build dir are passed to every test binary, e.g.
#   scripts/tsan.sh build-tsan --gtest_filter='EventPump.*' --gtest_repeat=5
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
build_dir="${1:-build-tsan}"
shift || true

generator=()
if command -v ninja >/dev/null 2>&1 && [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
  generator=(-G Ninja)
fi

cmake -S . -B "$build_dir" "${generator[@]}" \
  -DVORN_NATIVE_ONLY=ON -DVORN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread

targets=(vorn_stream_tests)
if [[ -f tests/cpp/test_device_interface.cpp ]]; then
  targets+=(vorn_sdk_tests)
fi
cmake --build "$build_dir" --parallel "$(nproc)" --target "${targets[@]}"

# halt_on_error: the first report fails the run. No suppressions are needed:
# gtest's own (uninstrumented) code synchronises through pthread calls, which
# TSan intercepts; readerwriterqueue's fences are annotated in event_pump.cpp.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"

status=0
for target in "${targets[@]}"; do
  binary="$build_dir/tests/cpp/$target"
  echo "== $binary (ThreadSanitizer)"
  if ! "$binary" "$@"; then
    echo "FAILED under ThreadSanitizer: $target" >&2
    status=1
  fi
done
exit "$status"
