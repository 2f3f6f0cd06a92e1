#!/bin/sh
# Throughput and memory of the stream passthrough against cp, on files in the
# page cache. Usage: bench/run.sh [build-dir] [work-dir]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
work=${2:-${TMPDIR:-/tmp}/trelvan-bench}
exe=$build/trelvan
[ -x "$exe" ] || { echo "no program at $exe (build it first)" >&2; exit 1; }
mkdir -p "$work"
gib=1073741824
python3 "$here/make_stream.py" "$work/in.ts" $gib
python3 "$here/make_stream.py" "$work/quarter.ts" $((gib / 4))
cat "$work/in.ts" "$work/quarter.ts" > /dev/null   # into the page cache

# Best of three wall-clock seconds; the output is removed before each run so
# that no run pays for truncating the previous one's pages, and the peak resident size (KiB) of the last run.
measure() {
    best=""
    for i in 1 2 3; do
        rm -f "$work/out.ts"
        /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" > /dev/null
        set -- "$@"
        t=$(cut -d' ' -f1 "$work/time.txt")
        rss=$(cut -d' ' -f2 "$work/time.txt")
        if [ -z "$best" ] || [ "$(echo "$t < $best" | bc)" = 1 ]; then best=$t; fi
    done
    echo "$best $rss"
}

set -- $(measure cp "$work/in.ts" "$work/out.ts"); cp_t=$1
# cp may copy inside the kernel (copy_file_range); cat shows a plain read/write copy.
set -- $(measure sh -c "cat '$work/in.ts' > '$work/out.ts'"); cat_t=$1
# dd with the program's output block size: the cost of any copy through user memory.
set -- $(measure dd if="$work/in.ts" of="$work/out.ts" bs=48128 status=none); dd_t=$1
set -- $(measure "$exe" "$work/in.ts" -drop -noprogress -bufsize 1048576 -throughpath "$work/out.ts"); small_t=$1; small_rss=$2
set -- $(measure "$exe" "$work/in.ts" -drop -noprogress -throughpath "$work/out.ts"); quiet_t=$1; quiet_rss=$2
cmp -s "$work/in.ts" "$work/out.ts" && same=yes || same=NO
set -- $(measure "$exe" "$work/in.ts" -drop -throughpath "$work/out.ts"); progress_t=$1
set -- $(measure "$exe" "$work/quarter.ts" -drop -noprogress -throughpath "$work/out.ts"); quarter_t=$1

echo "cp 1 GiB:                        ${cp_t} s"
echo "cat 1 GiB:                       ${cat_t} s"
echo "dd bs=48128 1 GiB:               ${dd_t} s"
echo "trelvan -noprogress 1 GiB:       ${quiet_t} s  (ratio $(echo "scale=2; $quiet_t / $cp_t" | bc) to cp, target <= 1.3; $(echo "scale=2; $quiet_t / $dd_t" | bc) to dd; output identical: $same)"
echo "  the same with -bufsize 1 MiB:  ${small_t} s  (ratio $(echo "scale=2; $small_t / $cp_t" | bc) to cp, $(echo "scale=2; $small_t / $dd_t" | bc) to dd; peak resident ${small_rss} KiB)"
echo "trelvan with progress 1 GiB:     ${progress_t} s  (ratio to -noprogress $(echo "scale=2; $progress_t / $quiet_t" | bc), target <= 2)"
echo "peak resident, -noprogress:      ${quiet_rss} KiB (target <= 100 MiB read buffer + 16 MiB = 118784 KiB)"
echo "per GiB at 256 MiB:              $(echo "scale=2; $quarter_t * 4" | bc) s; at 1 GiB: ${quiet_t} s"
rm -f "$work/in.ts" "$work/quarter.ts" "$work/out.ts" "$work/time.txt"
