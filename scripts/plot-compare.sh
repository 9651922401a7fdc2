#!/usr/bin/env bash
# Draws bench/TableCompare.cpp's CSV as one SVG: for each table size a panel of clustered bars,
# operations (or records) per second of each system for each rate workload, on a log scale.
# Ratios and bytes per record stay in the Markdown table. Needs gnuplot (gnuplot-nox) and
# python3; checks the result with rsvg-convert (librsvg2-bin) when it is installed. All three
# come with scripts/deps.sh --bench.
#
#   scripts/plot-compare.sh [CSV [SVG]]   (default bench/results/TableCompare.{csv,svg})
set -euo pipefail

csv="${1:-bench/results/TableCompare.csv}"
svg="${2:-${csv%.csv}.svg}"
command -v gnuplot >/dev/null || { echo "plot-compare.sh: gnuplot is missing" >&2; exit 1; }
[[ -r "$csv" ]] || { echo "plot-compare.sh: cannot read $csv" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One tab-separated data file per size (a row per workload, a column per system, NaN where a
# system has no such operation) and the gnuplot script that draws them.
python3 - "$csv" "$svg" "$work" <<'EOF'
import csv, math, sys
src, out, work = sys.argv[1:4]
rows = [r for r in csv.DictReader(open(src)) if r["unit"] == "M ops/s"]
if not rows:
    sys.exit("plot-compare.sh: no rates in " + src)
sizes, workloads, systems = [], [], []
value = {}
for r in rows:
    n = int(r["records"])
    for seq, item in ((sizes, n), (workloads, r["workload"]), (systems, r["system"])):
        if item not in seq:
            seq.append(item)
    value[(n, r["workload"], r["system"])] = float(r["median"]) * 1e6
positive = [v for v in value.values() if v > 0]
low = 10 ** math.floor(math.log10(min(positive)))
high = 10 ** math.ceil(math.log10(max(positive)) + 0.2)
for i, n in enumerate(sizes):
    with open(f"{work}/{i}.tsv", "w") as f:
        f.write("workload\t" + "\t".join(systems) + "\n")
        for w in workloads:
            cells = [value.get((n, w, s)) for s in systems]
            if all(c is None for c in cells):
                continue
            f.write(w + "\t" + "\t".join("NaN" if c is None else repr(c) for c in cells) + "\n")
height = 470 * len(sizes) + 60
width = max(1300, 14 * len(workloads) * (len(systems) + 1.5) + 450)  # ~14 px a bar
with open(f"{work}/plot.gp", "w") as g:
    g.write(f"""set terminal svg size {int(width)},{height} dynamic enhanced font 'Helvetica,12' background rgb 'white'
set output '{out}'
set datafile separator '\\t'
set datafile missing 'NaN'
set style data histograms
set style histogram clustered gap 1.5
set style fill solid 0.9 border rgb 'gray40'
set boxwidth 0.95
set logscale y
set yrange [{low}:{high}]
set format y '10^{{%L}}'
set ytics nomirror
set mytics 10
set grid ytics mytics lc rgb 'gray85'
set ylabel 'operations (records) per second, log scale'
set xtics nomirror rotate by 30 right scale 0 font ',11' noenhanced
set key outside right top vertical Left reverse noautotitle samplen 2 font ',11'
set bmargin 8
set lmargin 12
set rmargin 26
set linetype 1 lc rgb '#1f5fa8'
set linetype 2 lc rgb '#7fb2e5'
set linetype 3 lc rgb '#e08a1e'
set linetype 4 lc rgb '#d62728'
set linetype 5 lc rgb '#f2b5b5'
set linetype 6 lc rgb '#2ca02c'
set multiplot layout {len(sizes)},1 title 'Table comparison: operations per second, higher is better (median of the runs; a missing bar is n/a)' font ',14'
""")
    for i, n in enumerate(sizes):
        g.write(f"set title 'N = {n:,} records' font ',13'\n")
        g.write(f"plot for [c=2:{len(systems) + 1}] '{work}/{i}.tsv' using c:xtic(1) title columnheader(c) noenhanced\n")
    g.write("unset multiplot\n")
EOF
gnuplot "$work/plot.gp"
# The SVG must render: rsvg-convert (librsvg2-bin) draws it once, when it is there.
if command -v rsvg-convert >/dev/null; then
    rsvg-convert "$svg" -o "$work/check.png" ||
        { echo "plot-compare.sh: $svg does not render" >&2; exit 1; }
fi
echo "plot-compare.sh: wrote $svg"
