#!/bin/sh
# Smoke test of the Windows x64 build under wine: the usage text and a few
# command lines must give the same bytes and exit codes as the Linux build.
#
#   tests/wine_smoke.sh <x64 cross build dir> <linux build dir>
#
# Exits 0 when everything matches, 1 on a difference, 77 when wine or a
# build is missing (the usual "skipped" code).
set -u

win_dir=${1:?usage: wine_smoke.sh <x64 build dir> <linux build dir>}
linux_dir=${2:?usage: wine_smoke.sh <x64 build dir> <linux build dir>}
win_exe=$(cd "$win_dir" 2>/dev/null && pwd)/trelvan.exe
linux_exe=$(cd "$linux_dir" 2>/dev/null && pwd)/trelvan

here=$(cd "$(dirname "$0")" && pwd)
wine_cmd=$(command -v wine64 || command -v wine || true)
if [ -z "$wine_cmd" ]; then echo "SKIP: wine not installed"; exit 77; fi
if [ ! -f "$win_exe" ] || [ ! -x "$linux_exe" ]; then echo "SKIP: builds missing"; exit 77; fi

export WINEDEBUG=-all
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# run_both NAME ARGS...: runs both builds in the scratch directory with the
# same arguments and compares standard output bytes and exit codes.
run_both() {
    name=$1; shift
    (cd "$work" && env -u TRELVAN_CHARSET "$wine_cmd" "$win_exe" "$@" > "$work/$name.win" 2> "$work/$name.win.err" < /dev/null)
    win_rc=$?
    (cd "$work" && env TRELVAN_CHARSET=CP932 "$linux_exe" "$@" > "$work/$name.linux" 2> /dev/null < /dev/null)
    linux_rc=$?
    if ! cmp -s "$work/$name.win" "$work/$name.linux"; then
        echo "FAIL: $name: output differs"
        cmp "$work/$name.win" "$work/$name.linux" | head -1
        failures=$((failures + 1))
    elif [ "$win_rc" -ne "$linux_rc" ]; then
        echo "FAIL: $name: exit code $win_rc under wine, $linux_rc on Linux"
        failures=$((failures + 1))
    else
        echo "ok: $name ($(wc -c < "$work/$name.win") bytes, exit $win_rc)"
    fi
}

# expect NAME BYTES-FILE: the wine output of NAME must equal the file.
expect_win() {
    name=$1; expected=$2
    if cmp -s "$work/$name.win" "$expected"; then
        echo "ok: $name bytes as expected"
    else
        echo "FAIL: $name: unexpected bytes"
        od -c "$work/$name.win" | head -5
        failures=$((failures + 1))
    fi
}

run_both usage
# The usage text starts with "引数\n" in code page 932 and carries the
# version resource's contact lines.
printf '\210\370\220\224\n' > "$work/first_line"
head -c 5 "$work/usage.win" > "$work/usage_head.win"
expect_win usage_head "$work/first_line"
if ! grep -q 'questions and bug reports: see README.md' "$work/usage.win"; then
    echo "FAIL: usage: contact lines missing"; failures=$((failures + 1))
fi

# The help forms print the usage text, "/?" on Windows too.
run_both help --help in.ts
cmp -s "$work/help.win" "$work/usage.win" || { echo "FAIL: --help: not the usage text"; failures=$((failures + 1)); }
(cd "$work" && "$wine_cmd" "$win_exe" "/?" > "$work/slash_help.win" 2> /dev/null < /dev/null)
cmp -s "$work/slash_help.win" "$work/usage.win" || { echo "FAIL: /?: not the usage text"; failures=$((failures + 1)); }

# Wildcards in input names are expanded: both copies of the demo stream are
# checked, a pattern that matches nothing stays as typed.
if [ -f "$here/../samples/demo.ts" ]; then
    cp "$here/../samples/demo.ts" "$work/w1.ts"
    cp "$here/../samples/demo.ts" "$work/w2.ts"
    (cd "$work" && "$wine_cmd" "$win_exe" "w*.ts" -drop -noprogress -throughpath NUL > "$work/glob.win" 2> /dev/null < /dev/null)
    glob_rc=$?
    if [ "$glob_rc" -ne 6 ] || ! grep -q ' w1.ts' "$work/glob.win" || ! grep -q ' w2.ts' "$work/glob.win"; then
        echo "FAIL: wildcard inputs: exit $glob_rc"; failures=$((failures + 1))
    else
        echo "ok: wildcard inputs expanded (exit $glob_rc)"
    fi
    rm -f "$work/w1.ts" "$work/w2.ts"
fi

run_both detail -detail
printf '\201\174 \217\111\227\271\202\265\202\334\202\267. ( \226\337\202\350\222\154 : 0 )\n' > "$work/detail_expected"
expect_win detail "$work/detail_expected"

# A job that checked nothing fails the run: -1 on Windows (255 is its low
# byte), which -detail and the report show as the status it really is.
(cd "$work" && "$wine_cmd" "$win_exe" -detail missing_input_file.ts -jsonpath r.json > "$work/missing.win" 2> /dev/null < /dev/null)
missing_rc=$?
printf '\201\174 \203\164\203\100\203\103\203\213\202\252\202\240\202\350\202\334\202\271\202\361 missing_input_file.ts\n\201\174 \217\111\227\271\202\265\202\334\202\267. ( \226\337\202\350\222\154 : -1 )\n' \
    > "$work/missing_expected"
expect_win missing "$work/missing_expected"
if [ "$missing_rc" -ne 255 ] || ! grep -q '"exit_status": -1,' "$work/r.json" ||
    ! grep -q '"result": "input_missing"' "$work/r.json"; then
    echo "FAIL: missing input: exit code $missing_rc, report $(tr -d '\n' < "$work/r.json" 2> /dev/null | head -c 200)"
    failures=$((failures + 1))
fi
run_both switches_only -log -drop -noprogress

# A path longer than the Windows field is refused before any job.
long=$(printf '%0300d' 0)
(cd "$work" && "$wine_cmd" "$win_exe" -throughpath "$long" in.ts > "$work/long.win" 2> /dev/null < /dev/null)
long_rc=$?
printf '\201\174 \203\160\203\130\202\252\222\267\202\267\202\254\202\334\202\267 %s\n' "$long" > "$work/long_expected"
expect_win long "$work/long_expected"
if [ "$long_rc" -ne 255 ]; then
    echo "FAIL: long path: exit code $long_rc, expected 255 (low byte of -1)"; failures=$((failures + 1))
fi

# Paths in a code page without double-byte characters (C.UTF-8 gives wine
# code page 1252, where "é" is the single byte 0xE9, a lead byte in 932): the
# dot after it still starts the extension, in the default output name and in
# the message a console shows.
if [ -f "$here/../samples/demo.ts" ]; then
    cp "$here/../samples/demo.ts" "$work/café.ts"
    (cd "$work" && LC_ALL=C.UTF-8 "$wine_cmd" "$win_exe" café.ts -noprogress > /dev/null 2>&1 < /dev/null)
    if [ -f "$work/café.trelvan.ts" ] && cmp -s "$work/café.trelvan.ts" "$work/café.ts"; then
        echo "ok: café.ts gives café.trelvan.ts"
    else
        echo "FAIL: café.ts: output $(cd "$work" && ls | grep -a caf | tr '\n' ' ')"; failures=$((failures + 1))
    fi
    rm -f "$work/café.ts" "$work/café.trelvan.ts" "$work/café.ts.trelvan"
    (cd "$work" && LC_ALL=C.UTF-8 "$wine_cmd" "$win_exe" café.ts > "$work/cafe_missing.win" 2> /dev/null < /dev/null)
    printf '\201\174 \203\164\203\100\203\103\203\213\202\252\202\240\202\350\202\334\202\271\202\361 caf\351.ts\n' \
        > "$work/cafe_missing_expected"
    expect_win cafe_missing "$work/cafe_missing_expected"
    # On a console (a terminal under wine) the message is shown as text.
    (cd "$work" && LC_ALL=C.UTF-8 script -qec "'$wine_cmd' '$win_exe' café.ts" /dev/null > "$work/cafe_console.win" 2>&1 < /dev/null)
    if grep -q 'ません café\.ts' "$work/cafe_console.win"; then
        echo "ok: café.ts shown whole on the console"
    else
        echo "FAIL: café.ts on the console:"; od -c "$work/cafe_console.win" | head -5; failures=$((failures + 1))
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "wine smoke test passed"
