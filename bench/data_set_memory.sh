#!/usr/bin/env bash
# Peak memory of loading data sets, above the same replay without any data
# file, as a multiple of the file's size, for this build and, when given, a
# baseline build (a build of an earlier commit) in the same run:
#   - a signature data file: a domain_list of 1M names (goal: at most 4x);
#   - a legacy file of three domain_list tags of 300k names each, two of them
#     read (goal: at most 3x).
# Each load is timed as well (the replay's wall time less the idle run's).
# Usage: bench/data_set_memory.sh [BUILD_DIR] [BASELINE_BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
builds=("${1:-"$root/build"}")
if [[ -n ${2:-} ]]; then builds+=("$2"); fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work" <<'PY'
import json, random, sys
work = sys.argv[1]
random.seed(7)
def names(count, tag):
    return ["%s-%08x.%s.example.net" % (tag, random.getrandbits(32), random.choice(["cdn", "api", "mail", "vpn"]))
            for _ in range(count)]
with open(work + "/domains.json", "w") as out:
    json.dump({"data_type": "domain_list", "score": 60, "data": names(1000000, "d")}, out)
records = [{"intelligence": {"tag": tag, "label": tag, "data_type": "domain_list", "score": 50,
                             "data": names(300000, tag)}, "sha1": "0" * 40}
           for tag in ("vpn_server_consumer", "crypto_server", "tor_exit")]
with open(work + "/legacy.json", "w") as out:
    json.dump(records, out)
json.dump([{"tag": "vpn_server_consumer", "format": "velbor-dat", "version": 1, "encryption": "none",
            "path": work + "/domains.json", "definition": "d", "stamp": 1}], open(work + "/sigs.json", "w"))
json.dump([], open(work + "/nosigs.json", "w"))
conf = {"data_feeds": {"velbor_api": {}}, "indicators": {
    tag: {"indicator_driver": tag, "data_feeds": ["velbor_api"], "proc_targets": ["audit"]}
    for tag in ("vpn_server_consumer", "crypto_server")}}
json.dump(conf, open(work + "/intel.json", "w"))
flow = {"event": "dpi_complete", "flow": {"ip_version": 4, "ip_protocol": 6, "lower_addr": "192.0.2.1",
        "upper_addr": "198.51.100.1", "digest": "00000000000000a1", "host_server_name": "absent.example.org"}}
open(work + "/flow.jsonl", "w").write(json.dumps(flow) + "\n")
PY

# Runs the replay of build $1 with options $2...; prints "peak-KiB seconds
# sets-loaded". The linger leaves the loads time to finish before the stop.
run() {
    local build=$1
    shift
    local start end peak
    start=$(date +%s.%N)
    peak=$(/usr/bin/time -f %M "$build/tools/velbord-replay" --plugin "$build/src/libvelbor-proc-intel.so" \
        --conf "$work/intel.json" --state "$work/state" --linger 4 --output /dev/null --log "$work/log" --debug \
        "$@" "$work/flow.jsonl" 2>&1 >/dev/null | tail -1)
    end=$(date +%s.%N)
    echo "$peak $(echo "$end - $start" | bc -l) $(grep -c 'domain_list entries' "$work/log" || true)"
}

file_kib() { echo $(($(stat -c %s "$1") / 1024)); }

for build in "${builds[@]}"; do
    echo "== $build"
    read -r idle idle_s _ < <(run "$build" --signatures "$work/nosigs.json" --legacy-intel "$work/missing.json")
    read -r set set_s set_n < <(run "$build" --signatures "$work/sigs.json" --legacy-intel "$work/missing.json")
    read -r legacy legacy_s legacy_n < <(run "$build" --signatures "$work/nosigs.json" --legacy-intel "$work/legacy.json")
    printf 'idle peak %d KiB; sets loaded: %d of 1, %d of 2\n' "$idle" "$set_n" "$legacy_n"
    printf 'domain_list 1M names: file %d KiB, peak above idle %d KiB: %.2f x the file, load %.2f s\n' \
        "$(file_kib "$work/domains.json")" $((set - idle)) "$(echo "($set - $idle) / $(file_kib "$work/domains.json")" | bc -l)" \
        "$(echo "$set_s - $idle_s" | bc -l)"
    printf 'legacy 3 x 300k names, 2 read: file %d KiB, peak above idle %d KiB: %.2f x the file, load %.2f s\n' \
        "$(file_kib "$work/legacy.json")" $((legacy - idle)) "$(echo "($legacy - $idle) / $(file_kib "$work/legacy.json")" | bc -l)" \
        "$(echo "$legacy_s - $idle_s" | bc -l)"
done
