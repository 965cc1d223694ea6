#!/bin/sh
# Zips a 200 MB folder of mixed compressible and incompressible files with
# our ditto and with Info-ZIP's zip at the same level (6), three times each,
# and prints the ratio of the median times:
#   zip-200MB ratio=OURS/THEIRS ours=<s>s theirs=<s>s
# Usage: bench/zip-200MB.sh PATH-TO-BUILT-DITTO
set -eu

ditto=${1:?usage: $0 PATH-TO-BUILT-DITTO}
[ -x "$ditto" ] || { echo "$0: $ditto is not executable" >&2; exit 2; }
command -v zip >/dev/null || { echo "$0: zip is not installed" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zip-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
src=$work/folder
mkdir -p "$src/random" "$src/logs" "$src/text/a" "$src/text/b"

# 100 MB that does not compress: 20 files of 5 MB.
i=0
while [ $i -lt 20 ]; do
    head -c 5242880 /dev/urandom >"$src/random/blob$i.bin"
    i=$((i + 1))
done
# 50 MB of very compressible log-like text: 50 files of 1 MB.
seq -f 'line %08g: request served in 12 ms, status 200 OK' 1 400000 | head -c 52428800 >"$work/log"
i=0
while [ $i -lt 50 ]; do
    dd if="$work/log" of="$src/logs/server$i.log" bs=1048576 skip=$i count=1 status=none
    i=$((i + 1))
done
rm -f "$work/log"
# 50 MB of moderately compressible text: 500 files of 100 KB (base64).
head -c 39321600 /dev/urandom | base64 -w 76 >"$work/text"
i=0
while [ $i -lt 500 ]; do
    sub=a
    [ $((i % 2)) -eq 0 ] || sub=b
    dd if="$work/text" of="$src/text/$sub/part$i.txt" bs=102400 skip=$i count=1 status=none
    i=$((i + 1))
done
rm -f "$work/text"
cat "$src"/*/* "$src"/text/*/* >/dev/null 2>&1 || true # warm the page cache

now() { date +%s.%N; }

# Seconds taken by one run of the command given.
timed() {
    start=$(now)
    "$@"
    end=$(now)
    echo "$start $end" | awk '{ printf "%.3f\n", $2 - $1 }'
}

ours_once() {
    rm -f "$work/ours.zip"
    timed "$ditto" -c -k -X "$src" "$work/ours.zip"
}

theirs_once() {
    rm -f "$work/theirs.zip"
    (cd "$src" && timed zip -r -q -6 "$work/theirs.zip" .)
}

median3() { printf '%s\n' "$@" | sort -n | sed -n 2p; }

o1=$(ours_once); t1=$(theirs_once)
o2=$(ours_once); t2=$(theirs_once)
o3=$(ours_once); t3=$(theirs_once)
ours=$(median3 "$o1" "$o2" "$o3")
theirs=$(median3 "$t1" "$t2" "$t3")
ratio=$(echo "$ours $theirs" | awk '{ printf "%.2f", $1 / $2 }')
echo "zip-200MB ratio=$ratio ours=${ours}s theirs=${theirs}s"
