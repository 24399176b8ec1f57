#!/bin/sh
# The long fault campaign: 5000 seeded schedules (SCHEDULES to change it) over every fault kind,
# through the same program as the short run that ctest makes. Other options are passed on, e.g.
#   bench/campaign.sh --seed 7 --faults kill,power,lost --jobs 4
# Prints the figures per fault kind and the seed of every schedule that broke an invariant.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/linux}
cmake --build "$build" -j2 --target nev_campaign
exec "$build/tests/campaign/nev_campaign" --schedules "${SCHEDULES:-5000}" "$@"
