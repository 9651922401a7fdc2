#!/usr/bin/env bash
# Lines of tests against lines of everything else we wrote, in the .cpp and .h files git tracks
# (bench/ and tools/ count as code). The guide: tests a quarter to a third of the code, at most
# 35 %.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files -z -- "$@" | xargs -0 -r cat | wc -l; }
tests=$(count 'tests/*.cpp' 'tests/*.h')
code=$(count '*.cpp' '*.h' ':!tests/*')
awk -v t="$tests" -v c="$code" 'BEGIN {
    printf "tests: %d lines\ncode:  %d lines (bench/ and tools/ included)\nratio: %.1f %% (guide: 25 to 33 %%, at most 35 %%)\n", t, c, 100 * t / c
}'
