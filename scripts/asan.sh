#!/usr/bin/env bash
# Builds the whole project (module, plug-ins, native tests) with
# AddressSanitizer and UndefinedBehaviorSanitizer (gcc), runs the native tests
# and then the Python tests against that build's module. Any report fails the
# run, also one raised in a subprocess that a test starts.
#
#   scripts/asan.sh [build-dir] [pytest arguments...]     (default: build-asan)
#
# The interpreter is not instrumented: libasan (and libstdc++, so that the
# runtime finds the real __cxa_throw) is preloaded into it, and through the
# environment into every process the tests start. Leak detection is on, in
# the native tests and in every Python process; PYTHONMALLOC=malloc puts
# Python objects where ASan sees them. scripts/lsan.supp names the
# interpreter's own leaks and nothing else; scripts/lsan_python_only.c skips
# the leak check in the non-Python tools the tests run (cmake, the compiler)
# and in forked children. The Python tests see VORN_SANITIZER=address, for a
# test that cannot run under the preloaded runtime to skip itself: the fork()
# tests do (this runtime's allocator can deadlock in the child of a process
# with threads).
#
# This build takes the generic binding path (VORN_GENERIC_BINDING: pybind11's
# own conversion and deallocation for stream deliveries), so that the whole
# suite runs on both paths, the ordinary build taking the fast one where it
# can. It links the C++ library dynamically (VORN_STATIC_RUNTIME=OFF): a
# private copy would bypass the sanitizer's operator new and exception hooks.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
build_dir="$(realpath -m "${1:-build-asan}")"
shift || true

generator=()
if command -v ninja >/dev/null 2>&1 && [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
  generator=(-G Ninja)
fi

sanitize="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"
cmake_args=(-S . -B "$build_dir" "${generator[@]}" -DVORN_WERROR=ON -DVORN_GENERIC_BINDING=ON -DVORN_STATIC_RUNTIME=OFF
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g"
  "-DCMAKE_CXX_FLAGS=$sanitize"
  "-DCMAKE_EXE_LINKER_FLAGS=$sanitize" "-DCMAKE_SHARED_LINKER_FLAGS=$sanitize"
  "-DCMAKE_MODULE_LINKER_FLAGS=$sanitize")
[[ -n "${PYTHON:-}" ]] && cmake_args+=("-DPYTHON=$PYTHON")
mkdir -p "$build_dir"
cmake "${cmake_args[@]}" >"$build_dir/configure.log" 2>&1 || { cat "$build_dir/configure.log"; exit 1; }
grep -E "Binding path" "$build_dir/configure.log" || true
cmake --build "$build_dir" --parallel "$(nproc)"

# Reports go to files as well as failing their process, so that one raised in
# a subprocess whose exit status a test does not look at still fails the run.
reports="$build_dir/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
symbolizer="$(command -v llvm-symbolizer || command -v llvm-symbolizer-14 || true)"
# intercept_tls_get_addr=0: this runtime misreads glibc's table of dynamic TLS
# blocks and crashes in the leak check of some processes.
# allocator_may_return_null=1: the stream tests ask for copies that no
# allocator gives, and the code handles the null malloc returns (without it,
# ASan ends the process there).
export ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1:halt_on_error=1:abort_on_error=0:exitcode=86:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1:intercept_tls_get_addr=0:log_path=$reports/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export LSAN_OPTIONS="suppressions=$here/scripts/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=88:log_path=$reports/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
[[ -n "$symbolizer" ]] && export ASAN_SYMBOLIZER_PATH="$symbolizer"

check_reports() {
  local found=0 file
  for file in "$reports"/*; do
    [[ -e "$file" ]] || continue
    # A report of nothing but refused allocations is what
    # allocator_may_return_null leaves behind: no fault.
    if ! grep -qv "WARNING: AddressSanitizer failed to allocate" "$file"; then
      rm -f "$file"
      continue
    fi
    found=1
    echo "== sanitizer report $file" >&2
    cat "$file" >&2
  done
  return "$found"
}

status=0
echo "== native tests (ASan+UBSan)"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" || status=1
check_reports || status=1

python_exe="$(sed -n 's/^Python_EXECUTABLE:FILEPATH=//p' "$build_dir/CMakeCache.txt")"
pytest_path="$build_dir/pytest-path"
"$here/scripts/pytest_path.sh" "$pytest_path"
lsan_hook="$build_dir/liblsan_python_only.so"
gcc -shared -fPIC -O1 -Wall -Wextra -Wshadow -Wconversion -Werror -o "$lsan_hook" "$here/scripts/lsan_python_only.c" -ldl
preload="$(realpath "$(gcc -print-file-name=libasan.so)"):$(realpath "$(g++ -print-file-name=libstdc++.so)"):$lsan_hook"

echo "== Python tests (ASan+UBSan, $python_exe)"
VORN_SANITIZER=address VORN_BUILD_DIR="$build_dir" PYTHONMALLOC=malloc \
  PYTHONPATH="$build_dir/python:$pytest_path" LD_PRELOAD="$preload${LD_PRELOAD:+:$LD_PRELOAD}" \
  "$python_exe" -m pytest -p no:cacheprovider "$here/tests/python" "$@" || status=1
check_reports || status=1

if [[ "$status" -ne 0 ]]; then
  echo "FAILED under ASan+UBSan" >&2
fi
exit "$status"
