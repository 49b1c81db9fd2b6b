#!/usr/bin/env bash
# install_missing_packages PACKAGE...: installs with apt-get the Debian
# packages of the list that are not installed yet (root, or through sudo).
# Sourced by bootstrap.sh and mingw.sh.
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
