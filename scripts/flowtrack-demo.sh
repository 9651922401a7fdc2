#!/usr/bin/env bash
# flowtrack on real traffic: captures a local HTTP server and its client on loopback with
# tcpdump (as root; otherwise a pcap is generated), replays the capture at its own pace through
# flowtrack, lists the live flows with hoardctl from this other process while it runs, and shows
# the IPFIX records a local nfcapd received with nfdump.
# Usage: scripts/flowtrack-demo.sh [build dir]   (default: build)
set -euo pipefail

BUILD=${1:-build}
for tool in flowtrack hoardctl; do
    [ -x "$BUILD/$tool" ] || { echo "demo: $BUILD/$tool is not built (run make demo)" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/flowtrack-demo-XXXXXX)
HOARD_SHM_ROOT=$(mktemp -d /dev/shm/flowtrack-demo-XXXXXX)
export HOARD_SHM_ROOT
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$WORK" "$HOARD_SHM_ROOT"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
step() { printf '\n== %s\n' "$*"; }

PCAP=$WORK/http.pcap
if [ "$(id -u)" -eq 0 ] && command -v tcpdump >/dev/null && command -v curl >/dev/null; then
    step "capturing a local HTTP server and curl on loopback with tcpdump (about 8 s)"
    HTTP_PORT=$(free_port)
    mkdir -p "$WORK/www" && head -c 200000 /dev/urandom > "$WORK/www/blob"
    python3 -m http.server "$HTTP_PORT" --bind 127.0.0.1 --directory "$WORK/www" \
        >/dev/null 2>&1 & server=$!; pids+=("$server")
    tcpdump -i lo -U -w "$PCAP" "tcp port $HTTP_PORT" 2>/dev/null & dump=$!; pids+=("$dump")
    sleep 1
    for i in 1 2 3 4 5 6; do
        curl -s -o /dev/null "http://127.0.0.1:$HTTP_PORT/blob"
        curl -s -o /dev/null "http://127.0.0.1:$HTTP_PORT/missing-$i"
        sleep 1
    done
    sleep 1
    kill "$dump" "$server"; wait "$dump" "$server" 2>/dev/null || true
else
    step "not root (or no tcpdump/curl): generating a pcap of HTTP-like flows instead"
    python3 - "$PCAP" <<'EOF'
import struct, sys
out = open(sys.argv[1], 'wb')
out.write(struct.pack('<IHHiIII', 0xa1b2c3d4, 2, 4, 0, 0, 65535, 1))
def csum(h):
    s = sum(struct.unpack('!10H', h)); s = (s & 0xffff) + (s >> 16); return ~s & 0xffff
def pkt(t, src, dst, sport, dport, flags, size):
    tcp = struct.pack('!HHIIHHHH', sport, dport, 1, 0, 0x5000 | flags, 65535, 0, 0) + bytes(size)
    ip = struct.pack('!BBHHHBBH4s4s', 0x45, 0, 20 + len(tcp), 1, 0, 64, 6, 0, bytes(src), bytes(dst))
    ip = ip[:10] + struct.pack('!H', csum(ip)) + ip[12:]
    frame = b'\x02\0\0\0\0\x02\x02\0\0\0\0\x01\x08\x00' + ip + tcp
    out.write(struct.pack('<IIII', int(t), int(t % 1 * 1e6), len(frame), len(frame)) + frame)
t0 = 1800000000.0
for c in range(6):
    port = 40000 + c
    for i in range(20):
        t = t0 + c + i * 0.02
        pkt(t, [127, 0, 0, 1], [127, 0, 0, 1], port, 8000, 0x18 if i else 0x02, 100)
        pkt(t + 0.001, [127, 0, 0, 1], [127, 0, 0, 1], 8000, port, 0x10 if i < 19 else 0x11, 1400)
EOF
fi

step "nfcapd listens on a loopback port"
COLLECTOR_PORT=$(free_port)
mkdir -p "$WORK/nfcapd"
nfcapd -B 4194304 -b 127.0.0.1 -p "$COLLECTOR_PORT" -w "$WORK/nfcapd" >/dev/null 2>&1 &
collector=$!; pids+=("$collector")
sleep 1

step "flowtrack run --realtime --pcap http.pcap --tracker demo:1:5:2 --collector 127.0.0.1:$COLLECTOR_PORT"
"$BUILD/flowtrack" run --realtime --pcap "$PCAP" --tracker demo:1:5:2 \
    --collector "127.0.0.1:$COLLECTOR_PORT" --json "$WORK/flows.json" & agent=$!; pids+=("$agent")
TABLE=flowtracking/ip/flowTable/demo/ipFlowEntry
sleep 3
step "hoardctl list $TABLE   (another process, while flowtrack runs)"
# Each record is one value text; shown here shortened to its key's ports and its counts.
"$BUILD/hoardctl" list "$TABLE" |
    sed -E "s/.*'srcPort': ([0-9]+), 'dstPort': ([0-9]+)}\).*'bytes': ([0-9]+), 'pkts': ([0-9]+).*/  127.0.0.1:\1 -> 127.0.0.1:\2  packets \4  bytes \3  (...)/" || true
wait "$agent"

step "nfdump -R <what nfcapd received>"
sleep 1
kill -TERM "$collector"; wait "$collector" 2>/dev/null || true
nfdump -R "$WORK/nfcapd" -o long -N -O tstart
