#!/usr/bin/env bash
# The integrator's path, checked end to end: installs the release build into a
# fresh prefix (and moves it, so nothing may point back at the build tree or
# the first prefix), then builds the installed examples/minimal_host twice,
# once with CMake's find_package(udptrans) and once with a plain compiler
# command line from pkg-config, runs each against the installed module and
# checks that its three results arrive on a loopback port picked for the run.
# The installed host header must also compile as C.
#
#   scripts/check-install.sh            uses build/release (built if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh python3 pkg-config

cmake --preset release >/dev/null
cmake --build --preset release

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install build/release --prefix "$work/stage" >/dev/null
mv "$work/stage" "$work/prefix"
prefix=$work/prefix
example=$prefix/share/doc/udptrans/examples/minimal_host
version=$(sed -n 's/^project(udptrans VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

fail() {
    echo "check-install: $*" >&2
    exit 1
}

for f in include/udptrans/udptrans_host.h include/udptrans/udptrans_version.h \
         lib/pkgconfig/udptrans.pc lib/cmake/udptrans/udptransConfig.cmake \
         share/doc/udptrans/LICENSE share/doc/udptrans/writing-a-host.md \
         "${example#"$prefix"/}/CMakeLists.txt" "${example#"$prefix"/}/main.cpp"; do
    [ -f "$prefix/$f" ] || fail "$f is not installed"
done

echo "== the host header as C, and its version"
cat >"$work/header.c" <<'EOF'
#include <stdio.h>
#include <udptrans/udptrans_host.h>
int main(void) {
    printf("%s %d %s %d\n", UDPTRANS_VERSION_STRING, UDPTRANS_E_NO_DATA, UDPTRANS_PARAM_TARGET_PORT,
           UDPTRANS_PARAM_TARGET_PORT_DEFAULT);
    return 0;
}
EOF
cc -std=c99 -Wall -Wextra -Werror -pedantic -I"$prefix/include" "$work/header.c" -o "$work/header"
got=$("$work/header")
[ "$got" = "$version -1073741820 TargetPort 9000" ] || fail "header says '$got'"
echo "$got"

echo "== minimal_host with CMake find_package(udptrans)"
cmake -S "$example" -B "$work/cmake-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS=-Werror >/dev/null
cmake --build "$work/cmake-build"

echo "== minimal_host with pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
[ "$(pkg-config --modversion udptrans)" = "$version" ] || fail "udptrans.pc has the wrong version"
mkdir -p "$work/pc-build"
# shellcheck disable=SC2046  # pkg-config's output is meant to split into words
g++ -std=c++17 -Wall -Wextra -Werror "$example/main.cpp" -o "$work/pc-build/minimal_host" \
    $(pkg-config --cflags --libs udptrans) -Wl,-rpath,"$(pkg-config --variable=libdir udptrans)"
module=$(pkg-config --variable=module udptrans)

# A receiver on a port the kernel picks, and host ports that are free now (the
# module steps upward from a port taken meanwhile, so the source port is
# compared with what the example reports rather than with the request).
cat >"$work/receiver.py" <<'EOF'
import os, socket, sys, time
ready, seen = sys.argv[1], sys.argv[2]
rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
rx.bind(("127.0.0.1", 0))
spare = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2)]
for s in spare:
    s.bind(("0.0.0.0", 0))
ports = [rx.getsockname()[1]] + [s.getsockname()[1] for s in spare]
for s in spare:
    s.close()
with open(ready + ".tmp", "w") as f:
    f.write(" ".join(map(str, ports)) + "\n")
os.rename(ready + ".tmp", ready)
want = [b"result 1", b"result 2", b"result 3"]
got, sources = [], set()
deadline = time.monotonic() + 30
while len(got) < len(want) and time.monotonic() < deadline:
    rx.settimeout(max(0.01, deadline - time.monotonic()))
    try:
        data, (_, port) = rx.recvfrom(2048)
    except socket.timeout:
        break
    sources.add(port)
    if data != b"HEARTBEAT":
        got.append(data)
with open(seen, "w") as f:
    f.write(" ".join(map(str, sorted(sources))))
if got != want:
    sys.exit("receiver: expected %r, got %r" % (want, got))
print("receiver: %s from port %s" % (b", ".join(got).decode(), " ".join(map(str, sorted(sources)))))
EOF

run_example() {
    local name=$1 program=$2
    echo "== run $name"
    rm -f "$work/ready" "$work/seen"
    python3 "$work/receiver.py" "$work/ready" "$work/seen" &
    local receiver=$!
    for _ in $(seq 300); do
        [ -s "$work/ready" ] && break
        sleep 0.1
    done
    [ -s "$work/ready" ] || { kill "$receiver" 2>/dev/null; fail "the receiver did not start"; }
    local target host hb
    read -r target host hb <"$work/ready"
    local status=0
    "$program" "$module" "$work/$name-folder" TargetPort="$target" TargetHeartbeatPort="$target" \
        HostPort="$host" HostHeartbeatPort="$hb" >"$work/$name.out" 2>&1 || status=$?
    grep -v '^| ' "$work/$name.out" || true  # the example's own lines, not the module's log
    wait "$receiver" || fail "$name: results did not arrive on 127.0.0.1:$target"
    [ "$status" -eq 0 ] || fail "$name exited with $status"
    local from
    from=$(cat "$work/seen")
    grep -q "^results leave from port $from\$" "$work/$name.out" ||
        fail "$name: datagrams came from port(s) $from, not from the module's HostPort"
}

run_example cmake "$work/cmake-build/minimal_host"
run_example pkg-config "$work/pc-build/minimal_host"
echo
echo "check-install: installed tree builds and runs minimal_host with find_package and pkg-config"
