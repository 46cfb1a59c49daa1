#!/usr/bin/env bash
# Installs what the build and the tests need, with apt-get, when missing.
# Safe to run again: it installs nothing that is there already.
#
#   setup.sh [build|native|all] [--print]
#
#   build  what building the driver, its tools and man pages and running the
#          demo need (scripts/demo.sh), nothing else
#   native also what the format gate, the native build's tests, the
#          benchmark and the Python binding's tests need: scripts/test.sh
#          installs this first and the rest while the native build runs
#   all    (the default) also what the tests, the 32-bit and Windows
#          targets, the reliability checks, the benchmark and the Debian
#          packages need (scripts/test.sh)
#   --print  install nothing: print the packages that are missing and all
#            that apt-get would install for them
set -euo pipefail

set_name=all print=0
for arg in "$@"; do
  case "$arg" in
    build | native | all) set_name=$arg ;;
    --print) print=1 ;;
    *) echo "usage: setup.sh [build|native|all] [--print]" >&2; exit 64 ;;
  esac
done

# Building the driver and the tools, and their man pages; the gateway
# (zelgw) takes Modbus TCP, TOML, HTTP, JSON and systemd libraries.
packages=(cmake g++ make libcli11-dev scdoc pkg-config)
packages+=(libmodbus-dev libtomlplusplus-dev libmicrohttpd-dev nlohmann-json3-dev libsystemd-dev)
# Its MQTT front end: libmosquitto.
packages+=(libmosquitto-dev)
if [ "$set_name" != build ]; then
  # The native build's tests and the benchmark.
  packages+=(libgtest-dev libbenchmark-dev)
  # The gateway's tests use mbpoll and curl as clients, and headless
  # Chromium to render its status page.
  packages+=(mbpoll curl chromium)
  # The MQTT tests start a mosquitto broker, make certificates with openssl
  # and publish with the clients.
  packages+=(mosquitto mosquitto-clients openssl)
  # The format gate (scripts/check-format.sh).
  packages+=(clang-format)
  # The Python binding's tests: Debian's interpreter with pytest, and pip with
  # setuptools to install the package without network.
  packages+=(python3 python3-pytest python3-pip python3-setuptools)
fi
if [ "$set_name" = all ]; then
  # The 32-bit Linux target.
  packages+=(g++-multilib)
  # scripts/count.sh and scripts/valgrind.sh use strace and valgrind.
  packages+=(strace valgrind)
  # The fuzz targets are built with clang and its libFuzzer runtime.
  packages+=(clang libclang-rt-14-dev)
  # The static-analysis gate (scripts/check-tidy.sh).
  packages+=(clang-tidy)
  # The Win32 target: the MinGW-w64 cross compiler, and 32-bit Wine to run
  # its tests (wine32 needs the i386 architecture).
  packages+=(g++-mingw-w64-i686 wine wine32:i386)
  # Where the kernel cannot execute 32-bit programs (scripts/test.sh's
  # emulator route): qemu-i386-static runs the i686 suites, and the Windows
  # suites run under wine64 with the 64-bit MinGW-w64 build of the backend.
  packages+=(qemu-user-static g++-mingw-w64-x86-64-posix wine64)
  # The Win32 import library for Microsoft's linker (llvm-dlltool), and the
  # MSVC-style link that checks it (lld-link).
  packages+=(llvm-14 lld-14)
  # The Debian packages: dpkg-shlibdeps (dpkg-dev) and file for CPack,
  # lintian to review them (the installed-package test uses pkg-config too).
  packages+=(dpkg-dev file lintian)
fi

add_i386=0
for p in "${packages[@]}"; do
  if [[ $p == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then add_i386=1; fi
done
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done

if ((print)); then
  # The missing packages, then everything apt-get would install for them
  # (dependencies included), as its simulation computes it.
  echo "missing: ${missing[*]}"
  if ((${#missing[@]})); then
    echo "apt-get would install:"
    if ((add_i386)); then echo "  (first: dpkg --add-architecture i386, apt-get update)"; fi
    { apt-get install -s -qq --no-install-recommends "${missing[@]}" 2>&1 || true; } |
      awk '$1 == "Inst" { print "  " $2 } $1 == "E:" { print "  " $0 }'
  fi
  exit 0
fi
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
