#!/usr/bin/env bash
# One command from a fresh checkout to the product at work: installs what is
# missing, configures and builds the release preset, and runs the host program
# with its defaults (ten results, a command answer and a heartbeat, all printed
# as they reach the target ports on loopback).
#   scripts/run.sh                     the defaults
#   scripts/run.sh --frames 0 --duration 60 ...   any udptrans-host options
# Unless --store is given, the module's parameter store lives in
# build/release/udptrans-store, so settings made with --set stay for the next run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
(
    cd "$root"
    scripts/deps.sh
    cmake --preset release >/dev/null
    cmake --build --preset release --target udptrans-host udptrans udptrans-monitor
)
store_given=no
for arg in "$@"; do
    case "$arg" in
        --store|--store=*) store_given=yes ;;
    esac
done
if [ "$store_given" = no ]; then
    set -- --store "$root/build/release/udptrans-store" "$@"
fi
exec "$root/build/release/bin/udptrans-host" "$@"
