#!/usr/bin/env bash
# Builds ZeroMQ and libsodium as static, position-independent libraries from
# Debian's source packages, for what ships (the remote plug-in, vorn-server)
# to link in: libzmq with CURVE through libsodium and without the transports
# and mechanisms nothing here uses (PGM, NORM, VMCI, GSSAPI), so neither
# needs any library but glibc at run time. Debian's own libzmq.a and
# libsodium.a are not position-independent (no plug-in can take them) and
# pull in openpgm, norm and krb5.
#
#   scripts/zmq_static.sh [prefix]     (default: build-deps/zmq)
#
# Installs into the prefix (lib/libzmq.a, lib/libsodium.a, include/) once; a
# later run with the same versions does nothing. cmake/VornZmqStatic.cmake
# turns the prefix into the target vorn::zmq. The sources come from this
# machine's Debian mirror through apt-get source, with a source list of this
# script's own (the machine's apt configuration is not changed).
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
prefix="$(realpath -m "${1:-$repo/build-deps/zmq}")"
work="$prefix.work"

source "$repo/scripts/install_packages.sh"
install_missing_packages dpkg-dev cmake g++ make autoconf automake libtool cppzmq-dev

mirror="$(debian_mirror)"
[ -n "$mirror" ] || { echo "zmq_static.sh: no Debian mirror in this machine's apt sources" >&2; exit 1; }
suite="$(. /etc/os-release && echo "$VERSION_CODENAME")"
mkdir -p "$work/lists/partial"
echo "deb-src $mirror $suite main" >"$work/sources.list"
apt_options=(-q -o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$work/lists")
apt-get "${apt_options[@]}" update >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
versions="$(apt-cache "${apt_options[@]}" showsrc zeromq3 libsodium | sed -n 's/^Version: //p' | sort -u | tr '\n' ' ')"
[ -f "$prefix/.versions" ] && [ "$(cat "$prefix/.versions")" = "$versions" ] && exit 0

rm -rf "$prefix" "$work/src"
mkdir -p "$work/src"
(cd "$work/src" && apt-get "${apt_options[@]}" source zeromq3 libsodium >"$work/source.log" 2>&1) ||
  { cat "$work/source.log"; exit 1; }
jobs="$(nproc)"

echo "== libsodium (static, PIC) into $prefix"
(cd "$work/src"/libsodium-*/ && autoreconf -fi >"$work/sodium.log" 2>&1 && ./configure --prefix="$prefix" --disable-shared --enable-static --with-pic \
  >>"$work/sodium.log" 2>&1 && make -j "$jobs" install >>"$work/sodium.log" 2>&1) ||
  { tail -n 30 "$work/sodium.log"; exit 1; }

echo "== libzmq (static, PIC, CURVE through libsodium) into $prefix"
cmake -S "$(echo "$work/src"/zeromq3-*/)" -B "$work/zmq-build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  -DBUILD_SHARED=OFF -DBUILD_STATIC=ON -DBUILD_TESTS=OFF -DWITH_PERF_TOOL=OFF -DWITH_DOCS=OFF \
  -DENABLE_DRAFTS=OFF -DENABLE_CURVE=ON -DWITH_LIBSODIUM=ON -DWITH_LIBSODIUM_STATIC=ON \
  -DWITH_OPENPGM=OFF -DWITH_NORM=OFF -DWITH_VMCI=OFF -DWITH_LIBBSD=OFF -DENABLE_CPACK=OFF \
  -Dsodium_INCLUDE_DIR="$prefix/include" -Dsodium_LIBRARY_RELEASE="$prefix/lib/libsodium.a" \
  >"$work/zmq.log" 2>&1 && cmake --build "$work/zmq-build" -j "$jobs" >>"$work/zmq.log" 2>&1 &&
  cmake --install "$work/zmq-build" >>"$work/zmq.log" 2>&1 || { tail -n 30 "$work/zmq.log"; exit 1; }
echo "$versions" >"$prefix/.versions"
