#!/usr/bin/env bash
# End-to-end throughput of the replay host: generates N flow lines shaped like
# examples/flows.jsonl (each with a digest of its own), replays them through
# the intel plug-in with examples/intel.json, then through the plug-in that
# does nothing (the host's reading alone), and prints flows/s for both.
# Usage: bench/replay_throughput.sh [N] [BUILD_DIR]   (N defaults to 1000000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-1000000}
build=${2:-"$root/build"}
replay="$build/tools/velbord-replay"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$root/examples/flows.jsonl" "$count" > "$work/flows.jsonl" <<'PY'
import re, sys
# Flow lines only: the example also sleeps and asks for a status.
shapes = [line for line in open(sys.argv[1]) if line.startswith('{"event"')]
digest = re.compile(r'"digest":"[0-9a-fA-F]{16}"')
write = sys.stdout.write
for index in range(int(sys.argv[2])):
    write(digest.sub('"digest":"%016x"' % (index + 1), shapes[index % len(shapes)], count=1))
PY

# Runs the replay over the flows with plug-in $1; prints the seconds taken.
run() {
    local start end
    start=$(date +%s.%N)
    "$replay" --plugin "$1" --conf "$root/examples/intel.json" --state "$work/state" --linger 0 \
        --output "$work/out.jsonl" --log "$work/log.txt" "$work/flows.jsonl"
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}

report() {
    printf '%-22s %8.2f s %12.0f flows/s\n' "$1" "$2" "$(echo "$count / $2" | bc -l)"
}

echo "$count flows, $(du -m "$work/flows.jsonl" | cut -f1) MB"
intel=$(run "$build/src/libvelbor-proc-intel.so")
report "intel plug-in" "$intel"
echo "output lines: $(wc -l < "$work/out.jsonl")"
reader=$(run "$build/bench/libnull-plugin.so")
report "reading alone" "$reader"
printf 'intel / reading alone: %.2f of the time\n' "$(echo "$intel / $reader" | bc -l)"
