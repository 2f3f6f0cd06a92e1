#!/usr/bin/env bash
# Runs two builds of the program on the same streams with the same options and
# compares everything a user sees: console bytes (standard output and error),
# exit codes, output files, log files and patch-time files. For changes that
# must not alter behaviour.
#   tools/compare_builds.sh OLD_PROGRAM NEW_PROGRAM [STREAM_DIR...]
# Streams: the bundled demo stream, a few made here (clean, drop-heavy,
# 192-byte units, bytes between packets), and every *.ts in the given folders.
# NEW_OPTIONS, when set, is added to every command line of the new build
# only, for options that must change nothing else: with
# NEW_OPTIONS="-jsonpath report.json" the same build shows that its report
# leaves console, exit code, output and log as they are (report.json itself
# is left out of the comparison).
set -uo pipefail
old=$(realpath "$1")
new=$(realpath "$2")
shift 2
repo=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

streams=("$repo/samples/demo.ts")
python3 - "$work" <<'EOF'
import sys
work = sys.argv[1]
def packet(pid, cc, fill):
    return bytes([0x47, (pid >> 8) & 0x1F, pid & 0xFF, 0x10 | (cc & 15)]) + bytes([fill]) * 184
clean, drops, counters = bytearray(), bytearray(), {}
for i in range(40000):
    pid = (0x100, 0x101, 0x110, 0x111)[i % 4]
    cc = counters.get(pid, 0)
    clean += packet(pid, cc, i & 0xFF)
    # every 10th video packet skips a counter value
    step = 2 if pid == 0x100 and (i // 4) % 10 == 9 else 1
    drops += packet(pid, cc, i & 0xFF)
    counters[pid] = (cc + step) & 15
open(f"{work}/clean.ts", "wb").write(clean)
open(f"{work}/drops.ts", "wb").write(drops)
EOF
python3 - "$work" "$repo/samples/demo.ts" <<'EOF'
import sys
work, demo = sys.argv[1], open(sys.argv[2], "rb").read()
units = bytearray()
for i in range(0, len(demo) - 187, 188):
    units += (i * 7).to_bytes(4, "big") + demo[i:i + 188]
open(f"{work}/units192.ts", "wb").write(units)
noisy = bytearray()
for i in range(0, len(demo) - 187, 188):
    if i // 188 % 97 == 5:
        noisy += b"\x00\x47\x12"
    noisy += demo[i:i + 188]
open(f"{work}/noisy.ts", "wb").write(noisy)
EOF
streams+=("$work/clean.ts" "$work/drops.ts" "$work/units192.ts" "$work/noisy.ts")
for dir in "$@"; do
    for f in "$dir"/*.ts; do [ -f "$f" ] && streams+=("$f"); done
done

option_sets=(
    ""
    "-drop -noprogress"
    "-drop"
    "-drop -capstr -sdt -eit -wraparound -noprogress"
    "-drop -capstr -sdt -eit -wraparound"
    "-log -drop -capstr -sdt -eit"
    "-log -logpath run.log -detail -drop"
    "-rwcntundrop caption -drop -noprogress"
    "-rwcntundrop 0x111 -drop -log"
    "-rwcntundrop 0x100 -drop -log -noprogress"
    "-rwcntdrop 0x111:1;0x112:2;0x100:1 -drop"
    "-duration 1-2 -drop -noprogress"
    "-duration 0-3;5-9 -drop -capstr"
    "-patchtime 1 -drop -noprogress"
    "-bufsize 48128 -drop -capstr -sdt -eit"
    "-bufsize 65536k -drop"
    "-nodel -drop -noprogress"
)

differences=0
runs=0
# Runs one build in a fresh folder holding the stream as in.ts; prints
# nothing, leaves the results in $work/result.<tag>.
run_one() {
    local program=$1 tag=$2 stream=$3 mode=$4 options=$5 charset=$6
    local dir="$work/run"
    rm -rf "$dir" && mkdir -p "$dir" && cp "$stream" "$dir/in.ts"
    local -a args
    read -r -a args <<<"$options"
    if [ "$tag" = new ] && [ -n "${NEW_OPTIONS:-}" ]; then
        local -a extra
        read -r -a extra <<<"$NEW_OPTIONS"
        args+=("${extra[@]}")
    fi
    (
        cd "$dir" || exit 1
        export TZ=Asia/Tokyo
        [ -n "$charset" ] && export TRELVAN_CHARSET=$charset
        case $mode in
            file) timeout 60 "$program" in.ts "${args[@]}" >stdout 2>stderr </dev/null ;;
            offset) timeout 60 "$program" "in.ts;1000" "${args[@]}" -throughpath out.ts >stdout 2>stderr </dev/null ;;
            stdin) timeout 60 "$program" CON "${args[@]}" -throughpath out.ts >stdout 2>stderr <in.ts ;;
            stdout) timeout 60 "$program" in.ts "${args[@]}" -throughpath CON >stdout 2>stderr </dev/null ;;
            plain) timeout 60 "$program" "${args[@]}" >stdout 2>stderr </dev/null ;;
        esac
        echo $? >exit_code
        rm -f report.json
    )
    rm -rf "$work/result.$tag"
    mv "$dir" "$work/result.$tag"
}

for stream in "${streams[@]}"; do
    for mode in file offset stdin stdout; do
        for options in "${option_sets[@]}"; do
            # The other modes need only a few option sets.
            if [ "$mode" != file ] && [ "$options" != "-drop -noprogress" ] && [ "$options" != "-drop -capstr -sdt -eit -wraparound" ]; then
                continue
            fi
            for charset in "" CP932; do
                [ -n "$charset" ] && [ "$options" != "-drop -capstr -sdt -eit -wraparound" ] && continue
                run_one "$old" old "$stream" "$mode" "$options" "$charset"
                run_one "$new" new "$stream" "$mode" "$options" "$charset"
                runs=$((runs + 1))
                if ! diff -r "$work/result.old" "$work/result.new" >/dev/null; then
                    differences=$((differences + 1))
                    echo "DIFFERENT: $(basename "$stream") mode=$mode charset=${charset:-default} options: $options"
                    diff -r "$work/result.old" "$work/result.new" | head -5
                fi
            done
        done
    done
done
# Command lines of their own, on the demo stream: mistakes, several inputs,
# refused values, the usage text.
special_sets=(
    ""
    "-h"
    "none.ts -drop"
    "in.ts -drop -throughpath in.ts"
    "in.ts -log -logpath in.ts -drop"
    "in.ts -log -logpath out.ts -throughpath out.ts"
    "in.ts in.ts -drop -noprogress"
    "in.ts -bufsize x"
    "in.ts -rwcntundrop 0x -drop"
    "in.ts -duration 5-1 -drop"
    "in.ts -throughpath nodir/out.ts -drop"
    "in.ts -patchtime -5 -drop -noprogress"
    "in.ts;99999999999 -drop"
    "in.ts -srcpath in.ts -drop"
)
for options in "${special_sets[@]}"; do
    run_one "$old" old "$repo/samples/demo.ts" plain "$options" ""
    run_one "$new" new "$repo/samples/demo.ts" plain "$options" ""
    runs=$((runs + 1))
    if ! diff -r "$work/result.old" "$work/result.new" >/dev/null; then
        differences=$((differences + 1))
        echo "DIFFERENT: demo.ts command line: $options"
        diff -r "$work/result.old" "$work/result.new" | head -5
    fi
done
echo "$runs runs, $differences with differences"
[ "$differences" -eq 0 ]
