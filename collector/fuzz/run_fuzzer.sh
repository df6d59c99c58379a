#!/usr/bin/env bash
# Runs the collector frame fuzzer (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) for a bounded time.
#   run_fuzzer.sh [seconds=30] [build-dir=/tmp/ferrow-fuzz]
# build-dir is a build of this directory's CMake project: configured here with
# clang++ unless it is one already (the tree's own, build/collector/fuzz, is),
# and brought up to date before the run. Exits non-zero when the fuzzer finds
# a crash, a leak or a broken invariant; the failing input is left in the
# build dir (crash-*, leak-*).
set -euo pipefail

seconds=${1:-30}
out=${2:-/tmp/ferrow-fuzz}
here=$(cd "$(dirname "$0")" && pwd)

if [ ! -f "$out/CMakeCache.txt" ]; then
    echo "run_fuzzer: configuring $out"
    cmake -S "$here" -B "$out" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
fi
cmake --build "$out" --target fuzz_collector_frames >/dev/null
binary="$out/fuzz_collector_frames"
mkdir -p "$out/corpus" "$out/seeds"

# Seeds: a first byte choosing the split, then a stream of frames.
/usr/bin/python3 - "$out/seeds" <<'PY'
import json, os, struct, sys
d = sys.argv[1]
def frame(body):
    return struct.pack(">I", len(body)) + body
doc = json.dumps({"type": "network_data", "processes": [
    {"pid": 1, "comm": "a", "tx_bytes": 10, "rx_bytes": "20", "tx_speed": 1.5, "rx_speed": 0},
    {"pid": 12.5, "comm": 3, "tx_bytes": -1, "rx_bytes": 1e30}, 7, "x"]}).encode()
seeds = {
    "data": b"\x05" + frame(doc),
    "two-and-a-half": b"\x03" + frame(doc) + frame(b"[1]") + frame(doc)[:9],
    "empty-and-bad": b"\x01" + frame(b"") + frame(b"{\"type\":") + frame(b"{}"),
    "over-limit": b"\x02" + struct.pack(">I", 1048577) + frame(doc),
    "all-ones": b"\x07" + b"\xff\xff\xff\xff",
    "other-type": b"\x09" + frame(b'{"type":"NETWORK_DATA","processes":[{"pid":1}]}'),
}
for name, data in seeds.items():
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)
PY

cd "$out"
echo "run_fuzzer: fuzzing for ${seconds}s"
set +e
"$binary" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 corpus seeds 2>&1 | tee "$out/last-run.log" | grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|Done|stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==ERROR|SUMMARY|collector frame fuzzer)'
status=${PIPESTATUS[0]}
set -e
echo "run_fuzzer: exit status $status"
exit "$status"
