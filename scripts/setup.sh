#!/usr/bin/env bash
# Installs what the build and the tests need, with apt-get, when missing.
# Safe to run again: it installs nothing that is there already.
set -euo pipefail

packages=(cmake g++ make libgtest-dev libbenchmark-dev libcli11-dev g++-multilib)
# The benchmark compares with libmodbus; scripts/count.sh uses strace and valgrind.
packages+=(pkg-config libmodbus-dev strace valgrind)
# The gateway (zelgw): TOML, HTTP, JSON and systemd libraries; its tests use
# mbpoll and curl as clients.
packages+=(libtomlplusplus-dev libcpp-httplib-dev nlohmann-json3-dev libsystemd-dev mbpoll curl)
# The gateway's MQTT front end: libmosquitto; its tests start a mosquitto
# broker, make certificates with openssl and publish with the clients.
packages+=(libmosquitto-dev mosquitto mosquitto-clients openssl)
# The fuzz targets are built with clang and its libFuzzer runtime.
packages+=(clang libclang-rt-14-dev)
# The Win32 target: the MinGW-w64 cross compiler, and 32-bit Wine to run
# its tests (wine32 needs the i386 architecture).
packages+=(g++-mingw-w64-i686 wine wine32:i386)
add_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then add_i386=1; fi
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
  if ((add_i386)); then dpkg --add-architecture i386; fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
