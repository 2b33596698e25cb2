#!/usr/bin/env bash
# Peak memory and stop time of the plug-in under large cloud answers, end to
# end through the replay host: 8 request threads, a loopback lookup service
# answering every flow with a ~16 MB answer (300k+ members, the flow's own
# among them), 5 indicators reading the answers, 400 flows. Prints the peak
# resident memory of the replay process, how many flows got their other
# intel (an address list offered as signatures), and the seconds from
# SIGTERM to exit. Goal: peak under 300 MB, all 400, exit within 6 s.
# A run whose memory passes CAP_MIB (default 4096) is killed and reported.
# Usage: bench/cloud_answers_memory.sh [BUILD_DIR] [CAP_MIB]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
cap_kib=$((${2:-4096} * 1024))
flows=400
work=$(mktemp -d)
service_pid=
replay_pid=
cleanup() {
    [[ -n $replay_pid ]] && kill -9 "$replay_pid" 2>/dev/null || true
    [[ -n $service_pid ]] && kill "$service_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The lookup service: loopback only, one port written to a file, stops by
# itself after 10 minutes.
python3 - "$work/port" <<'PY' &
import http.server, json, sys, threading
filler = b"".join(b'"m%07d":{"category":{"domain":3,"score":10}},' % i for i in range(320000))
filler = filler[:16000000 - 200]
filler = filler[:filler.rindex(b"},") + 1]
class Service(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *args):
        pass
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        digest = json.loads(body)[0]["digest"]
        own = json.dumps({"category": {"domain": 7, "score": 75}, "country": {"country_code": "DE",
                          "continent_code": "EU", "continent_name": "Europe", "country_name": "Germany"},
                          "ip_reputation": {"types": {"scanner": True}}}).encode()
        answer = b'{' + filler + b',"' + digest.encode() + b'":' + own + b'}'
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        try:
            self.wfile.write(answer)
        except OSError:
            pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Service)
server.daemon_threads = True
open(sys.argv[1], "w").write(str(server.server_address[1]))
threading.Timer(600, server.shutdown).start()
server.serve_forever()
PY
service_pid=$!
for _ in $(seq 100); do [[ -s $work/port ]] && break; sleep 0.1; done
port=$(cat "$work/port")

python3 - "$work" "$port" "$flows" <<'PY'
import json, sys
work, port, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
json.dump({"intel": {"urls": {"flow": "http://127.0.0.1:%s/v1/flow" % port}, "auth": "token"}},
          open(work + "/bootstrap.json", "w"))
json.dump({"data_type": "ip_list", "score": 60, "data": ["198.51.100.0/24"]}, open(work + "/scanners.dat", "w"))
json.dump([{"tag": "ip_reputation_scanner", "format": "velbor-dat", "version": 1, "encryption": "none",
            "path": work + "/scanners.dat", "definition": "d", "stamp": 1}], open(work + "/sigs.json", "w"))
cloud = ["cloud_intel"]
conf = {"data_feeds": {"cloud_intel": {"type": "cloud_intel", "instances": 8}, "velbor_api": {}},
        "indicators": {
            "gambling": {"indicator_driver": "category", "data_feeds": cloud, "criteria": {"categories": [7]}},
            "news": {"indicator_driver": "category", "data_feeds": cloud, "criteria": {"categories": [12]}},
            "geo": {"indicator_driver": "geo", "data_feeds": cloud},
            "rep_domain": {"indicator_driver": "reputation_domain", "data_feeds": cloud},
            "rep_ip": {"indicator_driver": "reputation_ip", "data_feeds": ["cloud_intel", "velbor_api"]}}}
for indicator in conf["indicators"].values():
    indicator["proc_targets"] = ["audit"]
json.dump(conf, open(work + "/intel.json", "w"))
with open(work + "/flows.jsonl", "w") as out:
    for i in range(count):
        flow = {"digest": "%016x" % (0x1000 + i), "ip_version": 4, "ip_protocol": 6,
                "lower_addr": "192.0.2.%d" % (1 + i % 250), "upper_addr": "198.51.100.%d" % (1 + i % 250),
                "lower_port": 40000 + i, "upper_port": 443, "lower_map": 1, "other_type": 2,
                "detected_protocol_name": "TLS", "host_server_name": "h%d.example.com" % i,
                "stats": {"total_bytes": 5000, "total_packets": 10}}
        out.write(json.dumps({"event": "dpi_complete", "flow": flow}) + "\n")
PY

count() {
    local n
    n=$(grep -c "$1" "$work/out.jsonl" 2>/dev/null) || true
    echo "${n:-0}"
}
other_intel() { count '"data_source":"velbor_api"'; }
rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$replay_pid/status" 2>/dev/null || echo 0; }

"$build/tools/velbord-replay" --plugin "$build/src/libvelbor-proc-intel.so" --conf "$work/intel.json" \
    --state "$work/state" --bootstrap "$work/bootstrap.json" --signatures "$work/sigs.json" --linger 600 \
    --output "$work/out.jsonl" --log "$work/log.txt" "$work/flows.jsonl" &
replay_pid=$!

# Until every flow's other intel is out and answers have streamed for 10 s
# (at most 60 s), sampling the resident memory every 0.1 s.
peak=0
killed=
start=$(date +%s.%N)
while :; do
    now=$(date +%s.%N)
    rss=$(rss_kib)
    ((rss > peak)) && peak=$rss
    elapsed=$(echo "$now - $start" | bc -l)
    if ((rss > cap_kib)); then killed="at the cap ${elapsed%.*} s after the start, before SIGTERM"; break; fi
    if (($(other_intel) >= flows)) && (($(echo "$elapsed > 10" | bc) == 1)); then break; fi
    if (($(echo "$elapsed > 60" | bc) == 1)); then break; fi
    sleep 0.1
done
got=$(other_intel)
answered=$(count '"indicator":"gambling"')

stop_s=
if [[ -z $killed ]]; then
    kill -TERM "$replay_pid"
    stopped=$(date +%s.%N)
    while kill -0 "$replay_pid" 2>/dev/null; do
        rss=$(rss_kib)
        ((rss > peak)) && peak=$rss
        if ((rss > cap_kib)); then killed="at the cap during the stop"; break; fi
        if (($(echo "$(date +%s.%N) - $stopped > 60" | bc) == 1)); then killed="60 s into the stop"; break; fi
        sleep 0.05
    done
    [[ -z $killed ]] && stop_s=$(echo "$(date +%s.%N) - $stopped" | bc -l)
fi
if [[ -n $killed ]]; then
    kill -9 "$replay_pid" 2>/dev/null || true
fi
wait "$replay_pid" 2>/dev/null || true
replay_pid=

echo "== $build"
printf 'peak RSS %d MiB%s\n' $((peak / 1024)) "${killed:+ (killed $killed; cap $((cap_kib / 1024)) MiB)}"
printf 'flows with their other intel: %d of %d; cloud category findings: %d\n' "$got" "$flows" "$answered"
if [[ -n $stop_s ]]; then printf 'SIGTERM to exit: %.2f s\n' "$stop_s"; else echo "SIGTERM to exit: did not end"; fi
