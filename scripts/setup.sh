#!/usr/bin/env bash
# Installs what the build and the tests need, with apt-get, when missing.
# Safe to run again: it installs nothing that is there already.
set -euo pipefail

packages=(cmake g++ make libgtest-dev libbenchmark-dev libcli11-dev g++-multilib)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages ${missing[*]}; run as root to install them" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
