#!/usr/bin/env bash
# Builds and runs the whole test suite in one configuration.
#   scripts/test.sh            release build (-O2)
#   scripts/test.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/test.sh tsan       ThreadSanitizer
# Extra arguments after the preset go to ctest (for example -R Ring, or -L soak
# for the long soak test, which the default run leaves out).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
shift || true
scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
if [ $# -eq 0 ]; then
    set -- -LE soak
fi
ctest --preset "$preset" "$@"
