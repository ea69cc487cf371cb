#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, only those missing.
set -euo pipefail
PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
          libbenchmark-dev libcli11-dev libtomlplusplus-dev libmodbus-dev
          python3-pymodbus mbpoll)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}"
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get update -qq
  # Optional packages may be absent from a mirror; install what exists, report the rest.
  if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"; then
    for p in "${missing[@]}"; do
      DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$p" ||
        echo "deps: could not install $p (tests that need it will skip)"
    done
  fi
fi
