#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, and only those that are missing.
# Runs as root (CI and developer machines); elsewhere it uses sudo when it is there.
set -euo pipefail

packages=(cmake ninja-build g++ make pkg-config libfmt-dev libgtest-dev libgmock-dev
          libbenchmark-dev
          # flowtrack: capture and IPFIX export; its tests check the output with tools nobody
          # here wrote (tshark decodes, nfcapd/nfdump collect, tcpdump captures); its --config
          # parser; make demo's HTTP client
          libpcap-dev libfixbuf-dev libinih-dev tshark nfdump tcpdump curl
          # the hoardctl tests parse its --json output with python3's json module
          python3
          # make fuzz: the libFuzzer harnesses build with clang; its runtime (libFuzzer and the
          # sanitizers) is only recommended by clang, so it is named here
          clang libclang-rt-14-dev)
if [[ "${1:-}" == "--bench" ]]; then
    # bench/TableCompare.cpp compares with LMDB and Boost.Interprocess,
    # bench/FlowtrackCompare.cpp flowtrack with softflowd; make bench draws TableCompare's
    # CSV with gnuplot (scripts/plot-compare.sh) and checks the SVG converts with rsvg-convert
    packages+=(liblmdb-dev libboost-dev softflowd gnuplot-nox librsvg2-bin)
fi
if [[ "${1:-}" == "--deb" ]]; then
    # make deb: CPack's DEB generator reads the libraries' dependencies with dpkg-shlibdeps
    packages+=(dpkg-dev file)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "deps.sh: installing ${missing[*]}" >&2
sudo=""
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "deps.sh: need root to install ${missing[*]}" >&2; exit 1; }
    sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
