#!/usr/bin/env bash
# The Debian packages as a user gets them: builds them (scripts/package.sh),
# lists and reviews them (dpkg-deb, lintian: no errors allowed), installs
# them with apt-get, then, with nothing of the build tree in reach:
#   - builds the C example of docs/host-interface.md against the installed
#     files, once with pkg-config and once with find_package (its
#     CMakeLists.txt);
#   - runs it and the installed zelpoll against the installed zelsim over a
#     pseudo-terminal;
# and removes the packages again. The machine is left as it was, also when a
# step fails: the packages it installed (and anything apt-get pulled in for
# them) are purged on the way out. It refuses to run when a zelqd package is
# installed already. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
apt_options=(-y -qq --no-install-recommends -o DPkg::Lock::Timeout=600)
export DEBIAN_FRONTEND=noninteractive

step() { echo "-- $*"; }
fail() { echo "package-test: FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "needs root (it installs and removes the packages)"
bash scripts/setup.sh

step "build the packages"
bash scripts/package.sh >build/package.log 2>&1 || { tail -n 40 build/package.log; fail "scripts/package.sh"; }
mapfile -t debs < <(ls "$source"/build/deb/packages/*.deb)
((${#debs[@]})) || fail "no packages in build/deb/packages"
names=()
for deb in "${debs[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done
version=$(dpkg-deb -f "${debs[0]}" Version)
upstream=${version%-*}

for deb in "${debs[@]}"; do
  step "$(basename "$deb")"
  dpkg-deb -f "$deb" Package Version Architecture Section Depends
  dpkg-deb -c "$deb"
done

step "lintian"
status=0
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" >build/lintian.log 2>&1 || status=$?
grep -v "running with root privileges" build/lintian.log || true
((status == 0)) || fail "lintian found errors"
echo "lintian: no errors"

for name in "${names[@]}"; do
  if dpkg-query -W -f '${Status}' "$name" 2>/dev/null | grep -q installed; then
    fail "$name is installed already; remove it first (this test installs and removes it)"
  fi
done

work=$(mktemp -d)
sim_pid= installed=0
before=$(dpkg-query -W -f '${binary:Package}\n' | sort)
cleanup() {
  local status=$?
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  if ((installed)); then
    step "remove the packages"
    apt-get purge "${apt_options[@]}" "${names[@]}" >/dev/null || status=1
    mapfile -t extra < <(comm -13 <(echo "$before") <(dpkg-query -W -f '${binary:Package}\n' | sort))
    if ((${#extra[@]})); then apt-get purge "${apt_options[@]}" "${extra[@]}" >/dev/null || status=1; fi
    if [ "$(dpkg-query -W -f '${binary:Package}\n' | sort)" = "$before" ]; then
      echo "the installed packages are as before the test"
    else
      echo "package-test: the installed packages differ from before the test" >&2
      status=1
    fi
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "install"
installed=1
apt-get install "${apt_options[@]}" "${debs[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install"; }
comm -13 <(echo "$before") <(dpkg-query -W -f '${binary:Package}\n' | sort) | sed 's/^/installed: /'

# From here on nothing may come from the build tree.
unset LD_LIBRARY_PATH
cd "$work"
step "installed files"
libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
[ "$(readlink "$libdir/libzelqd.so.1")" = "libzelqd.so.$upstream" ] || fail "soname link"
readelf -d "$libdir/libzelqd.so.$upstream" | grep -E "SONAME|RPATH|RUNPATH"
readelf -d /usr/bin/zelpoll | grep -E "NEEDED|RPATH|RUNPATH"
if readelf -d /usr/bin/zelsim | grep -qE "RPATH|RUNPATH"; then fail "zelsim has a run-time path"; fi
[ "$(zelpoll --version)" = "zelpoll $upstream" ] || fail "zelpoll --version: $(zelpoll --version)"
[ "$(zelsim --version)" = "zelsim $upstream" ] || fail "zelsim --version: $(zelsim --version)"
[ "$(pkg-config --modversion zelqd)" = "$upstream" ] || fail "pkg-config --modversion zelqd"
echo "zelpoll --version, zelsim --version, pkg-config --modversion zelqd: $upstream"
for page in man1/zelpoll.1.gz man1/zelsim.1.gz man3/zelqd.3.gz; do
  [ -f "/usr/share/man/$page" ] || fail "no man page $page"
done
for name in "${names[@]}"; do
  while read -r f; do
    if [ -f "$f" ] && grep -qF "$source" "$f"; then fail "$f holds the build machine's path $source"; fi
  done < <(dpkg -L "$name")
done
echo "no installed file holds the path of the source tree"

step "build the example of docs/host-interface.md against the installed files"
# The code block after the line "<!-- NAME: ... -->".
snippet() {
  awk -v marker="<!-- $1:" 'index($0, marker) == 1 { found = 1; next }
    found == 1 && /^```/ { found = 2; next }
    found == 2 && /^```/ { exit }
    found == 2 { print }' "$source/docs/host-interface.md"
}
snippet example.c >example.c
snippet CMakeLists.txt >CMakeLists.txt
[ -s example.c ] && [ -s CMakeLists.txt ] || fail "docs/host-interface.md: example.c or CMakeLists.txt not found"
cc -Wall -Wextra -Werror -o example-pkg-config example.c $(pkg-config --cflags --libs zelqd)
echo "pkg-config: built example-pkg-config"
cmake -S . -B cmake-build -DCMAKE_BUILD_TYPE=Release >cmake.log || { cat cmake.log; fail "cmake"; }
cmake --build cmake-build >>cmake.log || { cat cmake.log; fail "cmake --build"; }
grep -E "zelqd_DIR|zelqd_VERSION" cmake-build/CMakeCache.txt || true
cp cmake-build/example example-find-package
echo "find_package: built example-find-package"
for program in example-pkg-config example-find-package; do
  ldd "$program" | grep -F libzelqd || fail "$program does not use libzelqd"
done

step "run them against the installed zelsim"
zelsim --trace sim.trace >zelsim.out 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q "port name for the driver" zelsim.out && break
  sleep 0.1
done
port=$(sed -n 's/.*port name for the driver: \([^)]*\)).*/\1/p' zelsim.out)
[ -n "$port" ] || { cat zelsim.out; fail "zelsim did not start"; }
echo "zelsim serves $port"
driver=$(zelpoll info | sed -n 's/^driver: *//p')
echo "zelpoll info: driver $driver"
[ "$driver" = "$libdir/libzelqd.so.$upstream" ] || fail "zelpoll loaded $driver"
zelpoll -p "$port" write 42 1234
zelpoll -p "$port" write 43 -5
for program in example-pkg-config example-find-package; do
  out=$(./"$program" "$port") || fail "$program exited with $?"
  echo "$program $port: $out"
  [ "$out" = "\$00042 = 1234" ] || fail "$program printed \"$out\""
done
zelpoll -p "$port" block 42 2
# The Python binding from python3-zelqd, with the system's interpreter and
# nothing of the source tree on its path.
out=$(cd / && /usr/bin/python3 -c "import sys, zelqd
with zelqd.Port(sys.argv[1]) as port:
    print(zelqd.__version__, port.read(42), port.read_block(42, 2))" "$port") ||
  fail "the Python binding failed"
echo "python3 zelqd: $out"
[ "$out" = "$upstream 1234 [1234, -5]" ] ||
  fail "the Python binding printed \"$out\""
# The gateway checks the example configuration it ships with.
zelgw --check -c /usr/share/doc/zelqd-tools/examples/zelgw.example.toml ||
  fail "zelgw --check of the shipped example exited with $?"
kill "$sim_pid"
wait "$sim_pid" || fail "zelsim exited with $?"
sim_pid=
grep -E "^ *(requests|replies OK) " zelsim.out
echo "zelsim's frames: $(grep -c ' <- ' sim.trace) requests"
step "the installed packages work"
