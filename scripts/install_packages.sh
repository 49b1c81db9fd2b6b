#!/usr/bin/env bash
# install_missing_packages PACKAGE...: installs with apt-get the Debian
# packages of the list that are not installed yet (root, or through sudo).
# debian_mirror: the Debian mirror this machine's apt uses (the first source
# that is not a security archive).
# Sourced by bootstrap.sh, mingw.sh, debian13.sh and zmq_static.sh.
install_missing_packages() {
  local missing=() p sudo_cmd=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "== installing Debian packages: ${missing[*]}"
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
}

debian_mirror() {
  {
    grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{ print $2 }' || true
    grep -hsE '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
      sed -E 's/^deb +(\[[^]]*\] +)?([^ ]+).*/\2/' || true
  } | grep -v -- '-security' | head -n 1 || true
}
