#!/usr/bin/env bash
# A short hoardctl session on a private shared-memory root: put a few flows, list them from
# another process, look one up, remove one, validate, and show the headers and the table list.
# Usage: scripts/demo.sh [path/to/hoardctl]   (default: build/hoardctl)
set -euo pipefail

HOARDCTL=${1:-build/hoardctl}
[ -x "$HOARDCTL" ] || { echo "demo: $HOARDCTL is not built (run make demo)" >&2; exit 1; }

HOARD_SHM_ROOT=$(mktemp -d /dev/shm/hoardctl-demo-XXXXXX)
export HOARD_SHM_ROOT
trap 'rm -rf "$HOARD_SHM_ROOT"' EXIT

TABLE=flowtracking/demo/flowTable/t1/ipFlowEntry

key() {  # key SRCADDR SRCPORT
    echo "Value('FlowTracking::IpFlowKey', ** {'vrfId': 0, 'vlanId': 10, 'srcAddr': $1," \
         "'dstAddr': 192.0.2.1, 'ipProtocol': 6, 'srcPort': $2, 'dstPort': 443})" | tr -s ' '
}
flow() {  # flow SRCADDR SRCPORT PKTS BYTES
    echo "Value('FlowTracking::IpFlowEntry', ** {'key': $(key "$1" "$2"), 'srcEthAddr': 00:00:00:00:00:00," \
         "'egressVlanId': 0, 'dstEthAddr': 00:00:00:00:00:00, 'srcIpAddr': 0.0.0.0," \
         "'dstIpAddr': 0.0.0.0, 'ipProtocol': 255, 'tos': 0, 'tcpFlags': 0, 'srcPort': 0," \
         "'dstPort': 0, 'bytes': $4, 'pkts': $3, 'hwBytes': 0, 'hwPkts': 0, 'startTime': 0," \
         "'lastPktTime': 0, 'inIfIndex': 0, 'outIfIndex': 0, 'inIfType': 0, 'vni': 4294967295," \
         "'tunnelState': unknown, 'entryExported': False})" | tr -s ' '
}
step() { printf '\n$ hoardctl %s\n' "$*"; }

step put "$TABLE" "< three flows, one per line"
{ flow 10.0.0.1 40001 12 9000; flow 10.0.0.2 40002 3 1800; flow 10.0.0.3 40003 7 4200; } |
    "$HOARDCTL" put "$TABLE"

step list "$TABLE"
"$HOARDCTL" list "$TABLE"

step get "$TABLE" "\"$(key 10.0.0.2 40002)\""
"$HOARDCTL" get "$TABLE" "$(key 10.0.0.2 40002)"

step rm "$TABLE" "\"$(key 10.0.0.2 40002)\""
"$HOARDCTL" rm "$TABLE" "$(key 10.0.0.2 40002)"

step list "$TABLE"
"$HOARDCTL" list "$TABLE"

step validate "$TABLE"
"$HOARDCTL" validate "$TABLE"

step header "$TABLE"
"$HOARDCTL" header "$TABLE"

step ls
"$HOARDCTL" ls

step get "$TABLE" "\"$(key 10.0.0.2 40002)\"" "  (removed: exit 1)"
if "$HOARDCTL" get "$TABLE" "$(key 10.0.0.2 40002)"; then exit 1; else echo "exit status $?"; fi
