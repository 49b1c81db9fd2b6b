#!/usr/bin/env bash
# The project on Debian 13 (trixie), in roots that debootstrap makes:
#
#   scripts/debian13.sh [pytest arguments...]
#       builds the module, the plug-ins and the native tests with trixie's own
#       compiler and -dev packages, runs the native tests, then the Python
#       tests, and prints the versions it built with
#   scripts/debian13.sh --bare [--bind DIR]... -- COMMAND...
#       runs COMMAND in the bare root, where no -dev package (no spdlog, fmt,
#       Boost or pybind11) is installed, with the folders DIR seen at their
#       own paths; what a wheel needs at run time is checked there
#
# Both use the CPython 3.12 of this machine ($VORN_PYTHON, else $PYTHON, else
# pyenv's), whose installation folder is bind-mounted at its own path: trixie
# has no 3.12 package, and this interpreter runs on trixie's libraries (the
# bare root has the few it loads). The repository is seen at its own path too.
#
# Folders, all in $VORN_DEBIAN13_DIR (default build-debian13, ignored by git)
# and kept between runs: bare/ (debootstrap's root plus those libraries),
# root/ (a copy of bare/ plus the build packages), build/ (the CMake build).
# The first run pays for debootstrap and the packages; later runs rebuild
# only what changed. The Debian mirror is the one this machine's apt uses
# ($VORN_DEBIAN_MIRROR overrides it). Needs root: chroot and bind mounts, in
# a mount namespace of their own that goes when the command ends.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$repo/scripts/install_packages.sh"
dir="$(realpath -m "${VORN_DEBIAN13_DIR:-$repo/build-debian13}")"
suite=trixie
# What the interpreter's own extension modules load (ssl, ctypes, sqlite3,
# bz2, lzma, readline, curses, uuid, zlib).
runtime_packages=(libssl3t64 libffi8 libsqlite3-0 libbz2-1.0 liblzma5 libncursesw6 libreadline8t64 libuuid1 zlib1g)
build_packages=(cmake g++ make pkg-config pybind11-dev libboost-dev libboost-filesystem-dev libspdlog-dev libfmt-dev
  libreaderwriterqueue-dev libgtest-dev python3-pytest libzmq3-dev cppzmq-dev libsodium-dev iproute2)

[ "$(id -u)" -eq 0 ] || { echo "debian13.sh: needs root (debootstrap, chroot, bind mounts)" >&2; exit 1; }

find_python() {
  local candidate
  for candidate in "${VORN_PYTHON:-}" "${PYTHON:-}" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*/bin/python3.12; do
    if [ -n "$candidate" ] && [ -x "$candidate" ] &&
      [ "$("$candidate" -c 'import sys; print(sys.version_info[:2] == (3, 12))' 2>/dev/null)" = True ]; then
      echo "$candidate"
      return
    fi
  done
  echo "debian13.sh: no CPython 3.12 found; set VORN_PYTHON or PYTHON" >&2
  exit 1
}
python="$(find_python)"
python_prefix="$("$python" -c 'import sys; print(sys.base_prefix)')"
case "$python_prefix" in
  / | /usr | /usr/local)
    echo "debian13.sh: $python lives in $python_prefix, which cannot be mounted over the root's own" >&2
    exit 1
    ;;
esac

# in_root ROOT [--bind DIR]... -- COMMAND...: COMMAND in ROOT, with /dev,
# /proc, the interpreter, the repository and each DIR mounted.
in_root() {
  local target="$1" binds=("$python_prefix" "$repo")
  shift
  while [ "$1" = --bind ]; do
    binds+=("$(realpath "$2")")
    shift 2
  done
  [ "$1" = -- ] && shift
  unshare --mount --propagation private -- bash -euo pipefail -c '
    target="$1" count="$2"
    shift 2
    mount --rbind /dev "$target/dev"
    mount -t proc proc "$target/proc"
    for ((i = 0; i < count; i++)); do
      mkdir -p "$target$1"
      mount --bind "$1" "$target$1"
      shift
    done
    exec chroot "$target" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb CI="${CI:-}" \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
  ' bash "$target" "${#binds[@]}" "${binds[@]}" "$@"
}

make_bare() {
  [ -f "$dir/bare/.vorn-ready" ] && return
  install_missing_packages debootstrap
  local mirror="${VORN_DEBIAN_MIRROR:-$(debian_mirror)}"
  [ -n "$mirror" ] || { echo "debian13.sh: no Debian mirror in this machine's apt sources" >&2; exit 1; }
  echo "== debootstrap $suite into $dir/bare (once)"
  rm -rf "$dir/bare.partial"
  mkdir -p "$dir"
  local include
  include="$(IFS=,; echo "${runtime_packages[*]}")"
  debootstrap --variant=minbase --include="$include" "$suite" "$dir/bare.partial" "$mirror" \
    >"$dir/debootstrap.log" 2>&1 || { tail -n 30 "$dir/debootstrap.log"; exit 1; }
  touch "$dir/bare.partial/.vorn-ready"
  mv "$dir/bare.partial" "$dir/bare"
}

make_root() {
  local wanted="${build_packages[*]}"
  [ -f "$dir/root/.vorn-packages" ] && [ "$(cat "$dir/root/.vorn-packages")" = "$wanted" ] && return
  if [ ! -d "$dir/root" ]; then
    rm -rf "$dir/root.partial"
    cp -a "$dir/bare" "$dir/root.partial"
    mv "$dir/root.partial" "$dir/root"
  fi
  echo "== installing the build packages into $dir/root"
  cp -L /etc/resolv.conf "$dir/root/etc/resolv.conf"
  in_root "$dir/root" -- sh -c "apt-get update -q && DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends $wanted && apt-get clean" >"$dir/packages.log" 2>&1 ||
    { tail -n 30 "$dir/packages.log"; exit 1; }
  echo "$wanted" >"$dir/root/.vorn-packages"
}

make_bare
if [ "${1:-}" = --bare ]; then
  shift
  in_root "$dir/bare" "$@"
  exit
fi
make_root

build="$dir/build"
jobs="$(nproc)"
echo "== building in Debian 13 ($build)"
in_root "$dir/root" -- bash -euo pipefail -c '
  repo="$1" build="$2" python="$3" jobs="$4"
  mkdir -p "$build"
  cmake -S "$repo" -B "$build" -DVORN_WERROR=ON -DPYTHON="$python" >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; exit 1; }
  nice cmake --build "$build" -j "$jobs"
  echo "== built with:"
  echo "  $(. /etc/os-release && echo "$PRETTY_NAME") (glibc $(dpkg-query -W -f="\${Version}" libc6))"
  echo "  $(g++ --version | head -n 1), $(cmake --version | head -n 1)"
  dpkg-query -W -f="  \${Package} \${Version}\n" pybind11-dev libboost-dev libspdlog-dev libfmt-dev libgtest-dev
  echo "  $("$python" -VV) from $python (bind-mounted)"
  sed -n "s/^-- \(Binding path: .*\)/  \1/p" "$build/configure.log"
' bash "$repo" "$build" "$python" "$jobs"

echo "== native tests in Debian 13"
in_root "$dir/root" -- ctest --test-dir "$build" --output-on-failure -j "$jobs"

echo "== Python tests in Debian 13 ($python)"
"$repo/scripts/pytest_path.sh" "$build/pytest-path"
in_root "$dir/root" -- /usr/bin/env VORN_BUILD_DIR="$build" PYTHONPATH="$build/python:$build/pytest-path" \
  "$python" -m pytest -p no:cacheprovider "$repo/tests/python" "$@"
