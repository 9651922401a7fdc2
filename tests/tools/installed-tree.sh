#!/usr/bin/env bash
# The installed tree on its own: `cmake --install` of the build into a temporary prefix, the
# example in examples/ configured with only that prefix (find_package(flowtable)) and built, the
# installed hoardctl writing a flow table, and the example reading it back. Also: the installed
# libraries export only the library's own namespaces, and the pkg-config file resolves.
#
#     installed-tree.sh BUILD_DIR EXAMPLES_DIR
set -euo pipefail
build=$1 examples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libflowtable.so' | head -1)")
for lib in "$libdir"/libflowtable.so "$libdir"/libflowtable_platform.so; do
    soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
    [[ $soname == "$(basename "$lib")".* ]] || { echo "FAIL: $lib has SONAME '$soname'"; exit 1; }
    # Instantiations of the standard library and {fmt}: none may be exported.
    leaked=$(nm -D --defined-only -C "$lib" | cut -d' ' -f3- |
             grep -E '^((typeinfo|typeinfo name|vtable|guard variable) for )?(std|fmt|__gnu_cxx)::' || true)
    [[ -z $leaked ]] || { echo "FAIL: $lib exports internals:"; echo "$leaked" | head; exit 1; }
done
for f in include/flowtable/Hoard/TableKind.h include/flowtable/contracts/Kiln/Ptr.h \
         share/man/man1/hoardctl.1 share/bash-completion/completions/hoardctl; do
    [[ -f $prefix/$f ]] || { echo "FAIL: $f not installed"; exit 1; }
done
include=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags-only-I flowtable | sed 's/^-I//; s/ *$//')
[[ -f $include/Hoard/TableKind.h ]] ||
    { echo "FAIL: pkg-config gives the include path '$include'"; exit 1; }

# Only the prefix: no source tree include path, no build tree library.
cmake -S "$examples" -B "$work/example" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
! grep -q -- "-I$(dirname "$examples")" "$work/example/build.ninja" ||
    { echo "FAIL: the example sees the source tree"; exit 1; }

export HOARD_SHM_ROOT=$work/shm LD_LIBRARY_PATH=$libdir
table=flowtracking/ip/flowTable/t1/ipFlowEntry
# A flow record from the default record put --help shows: 10.0.0.1:$1 -> 10.0.0.2:80 TCP,
# $2 bytes, $3 packets.
default=$("$prefix/bin/hoardctl" put --help | grep -A1 'FlowTracking::IpFlowEntry:' | tail -1)
flow() {
    sed -E -e "s/'(src(Ip)?Addr)': 0.0.0.0/'\\1': 10.0.0.1/g" -e "s/'(dst(Ip)?Addr)': 0.0.0.0/'\\1': 10.0.0.2/g" \
        -e "s/'ipProtocol': 255/'ipProtocol': 6/g" -e "s/'srcPort': 0/'srcPort': $1/g" \
        -e "s/'dstPort': 0/'dstPort': 80/g" -e "s/'bytes': 0/'bytes': $2/" \
        -e "s/'pkts': 0/'pkts': $3/" -e 's/^ *//' <<<"$default"
}
"$prefix/bin/hoardctl" put $table "$(flow 1234 600 3)" "$(flow 1235 80 1)" >/dev/null
out=$("$work/example/watch_flows" --once $table)
expected="new     10.0.0.1:1234 -> 10.0.0.2:80 proto 6: 3 packets, 600 bytes
new     10.0.0.1:1235 -> 10.0.0.2:80 proto 6: 1 packets, 80 bytes"
[[ $(sort <<<"$out") == "$expected" ]] || { echo "FAIL: watch_flows printed:"; echo "$out"; exit 1; }
echo "installed tree: example built against $prefix and read $table"
