#!/bin/sh
# The endpoints of the Windows x64 build under wine, against real libraries
# built by this project:
#   - tuner source: BonDriver_Test.dll serves samples/demo.ts; the program
#     must find IBonDriver2, set space 0 channel 12, pass the stream and stop
#     by itself after -duration.
#   - sender sink: SendTSTCP.dll sends samples/demo.ts to a receiver on
#     127.0.0.1, framed (sequence, size, payload) and raw (ports 22000-22999
#     and port values with bit 16 set).
#
#   tests/endpoints/wine_endpoints.sh <x64 cross build dir>
#
# Exits 0 when all cases pass, 1 on a failure, 77 when wine, python3 or the
# build is missing (the usual "skipped" code). WINEPREFIX is honoured; the
# first start in a fresh prefix can take a while, so a warm-up run comes
# first and every wait is generous but bounded.
set -u

build_dir=${1:?usage: wine_endpoints.sh <x64 build dir>}
script_dir=$(cd "$(dirname "$0")" && pwd)
sample="$script_dir/../../samples/demo.ts"

wine_cmd=$(command -v wine || command -v wine64 || true)
if [ -z "$wine_cmd" ]; then echo "SKIP: wine not installed"; exit 77; fi
if ! command -v python3 > /dev/null; then echo "SKIP: python3 not installed"; exit 77; fi
if ! command -v timeout > /dev/null; then echo "SKIP: timeout not installed"; exit 77; fi
build_dir=$(cd "$build_dir" 2>/dev/null && pwd) || { echo "SKIP: build dir missing"; exit 77; }
for f in trelvan.exe BonDriver_Test.dll SendTSTCP.dll; do
    if [ ! -f "$build_dir/$f" ]; then echo "SKIP: $f missing in $build_dir"; exit 77; fi
done
if [ ! -f "$sample" ]; then echo "FAIL: sample stream missing: $sample"; exit 1; fi

export WINEDEBUG=-all
# The driver and the program must not see settings of the caller.
unset BON_TEST_STREAM BON_TEST_LOG BON_TEST_PACKETS BON_TEST_CHUNK BON_TEST_FAIL_OPEN BON_TEST_PLAIN BON_TEST_NULL
unset TRELVAN_CHARSET

work=$(mktemp -d)
receiver_pid=
cleanup() {
    if [ -n "$receiver_pid" ]; then kill "$receiver_pid" 2> /dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
failures=0

# Everything runs in the scratch directory with relative paths: the program
# treats arguments starting with "/" as switches, and the libraries are
# found beside the program.
cp "$build_dir/trelvan.exe" "$build_dir/BonDriver_Test.dll" "$build_dir/SendTSTCP.dll" "$work/"
cp "$sample" "$work/demo.ts"
input_size=$(wc -c < "$work/demo.ts")

# Seconds allowed for one run of the program (wine start included).
run_limit=180

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Warm-up: creates or updates the wine prefix, which can take tens of
# seconds, so that the timed cases below measure the program only.
(cd "$work" && timeout -k 10 600 "$wine_cmd" trelvan.exe -detail > warmup.out 2>&1 < /dev/null)
if [ $? -eq 124 ]; then echo "FAIL: wine did not start within 600 s"; exit 1; fi

# ---- Tuner source -------------------------------------------------------
# The reference: the same cut taken from the file directly. The tuner path
# must give exactly these bytes, and they must be the start of the input.
(cd "$work" && timeout -k 10 "$run_limit" "$wine_cmd" trelvan.exe demo.ts -duration 0:00:05 \
    -throughpath file_cut.ts -noprogress > file_cut.out 2>&1 < /dev/null)
rc=$?
if [ "$rc" -ne 0 ] || [ ! -s "$work/file_cut.ts" ]; then
    fail "file reference run: exit $rc, no output"
fi

(cd "$work" && BON_TEST_LOG=driver.log BON_TEST_STREAM=demo.ts timeout -k 10 "$run_limit" "$wine_cmd" \
    trelvan.exe '\\.\bondriver\0\12\BonDriver_Test.dll' -duration 0:00:05 -throughpath tuner_cut.ts \
    > tuner.out 2>&1 < /dev/null)
rc=$?
if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
    fail "tuner: the run did not end within $run_limit s"
elif [ "$rc" -ne 0 ]; then
    fail "tuner: exit code $rc"
fi
printf 'OpenTuner\nSetChannel 0 12\nPurgeTsStream\nCloseTuner\nRelease\n' > "$work/driver_expected.log"
if ! cmp -s "$work/driver.log" "$work/driver_expected.log"; then
    fail "tuner: driver calls differ from open, set channel 0 12, purge, close, release:"
    sed 's/^/    /' "$work/driver.log" 2> /dev/null
fi
if [ ! -s "$work/tuner_cut.ts" ]; then
    fail "tuner: no output"
else
    out_size=$(wc -c < "$work/tuner_cut.ts")
    if [ "$out_size" -ge "$input_size" ] || [ $((out_size % 188)) -ne 0 ]; then
        fail "tuner: output of $out_size bytes is not a packet-aligned part of the $input_size-byte input"
    elif ! cmp -s -n "$out_size" "$work/tuner_cut.ts" "$work/demo.ts"; then
        fail "tuner: output is not the start of the input"
    elif ! cmp -s "$work/tuner_cut.ts" "$work/file_cut.ts"; then
        fail "tuner: output differs from the same cut of the file"
    else
        echo "ok: tuner: $out_size bytes, the first $((out_size / 188)) packets of the input"
    fi
fi
# The start message (code page 932) names the driver and says it was found.
if ! LC_ALL=C grep -qF "$(printf '\212\112\216\156\220\254\214\367') BonDriver_Test.dll" "$work/tuner.out"; then
    fail "tuner: start message with success missing"
fi

# ---- Sender sink --------------------------------------------------------
# The receiver accepts one connection on 127.0.0.1, reads until the sender
# closes it (or 30 s after the connection, or 240 s without one) and checks
# the bytes against the input: framed, each frame is a little-endian
# sequence number counting from 0, a little-endian size and that many bytes,
# full blocks being 48128 bytes; raw, the bytes are the input itself.
cat > "$work/receiver.py" << 'EOF'
import random, socket, struct, sys, time

mode, expected_path, port_file, port_kind = sys.argv[1:5]
expected = open(expected_path, "rb").read()

server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
if port_kind == "raw_range":
    ports = list(range(22000, 23000))
    random.shuffle(ports)
    for port in ports[:200]:
        try:
            server.bind(("127.0.0.1", port))
            break
        except OSError:
            continue
    else:
        print("no free port in 22000-22999")
        sys.exit(2)
else:
    server.bind(("127.0.0.1", 0))
server.listen(1)
with open(port_file + ".tmp", "w") as f:
    f.write(str(server.getsockname()[1]))
import os
os.rename(port_file + ".tmp", port_file)

server.settimeout(240)
try:
    conn, _ = server.accept()
except socket.timeout:
    print("no connection")
    sys.exit(1)
deadline = time.monotonic() + 30
data = bytearray()
while True:
    left = deadline - time.monotonic()
    if left <= 0:
        print("connection not closed within 30 s")
        break
    conn.settimeout(left)
    try:
        chunk = conn.recv(65536)
    except socket.timeout:
        print("connection not closed within 30 s")
        break
    if not chunk:
        break
    data += chunk
conn.close()

if mode == "raw":
    payload = bytes(data)
    frames = "raw"
else:
    pieces, pos, seq, sizes = [], 0, 0, []
    while pos < len(data):
        if len(data) - pos < 8:
            print("truncated frame header at byte %d" % pos)
            sys.exit(1)
        number, size = struct.unpack_from("<II", data, pos)
        if number != seq:
            print("frame %d carries sequence number %d" % (seq, number))
            sys.exit(1)
        if size == 0 or size > 48128 or len(data) - pos - 8 < size:
            print("frame %d: bad size %d" % (seq, size))
            sys.exit(1)
        pieces.append(bytes(data[pos + 8:pos + 8 + size]))
        sizes.append(size)
        pos += 8 + size
        seq += 1
    if any(s != 48128 for s in sizes[:-1]):
        print("a frame other than the last is not a full block: %s" % sizes)
        sys.exit(1)
    payload = b"".join(pieces)
    frames = "%d frames" % seq
if payload != expected:
    same = next((i for i in range(min(len(payload), len(expected))) if payload[i] != expected[i]),
                min(len(payload), len(expected)))
    print("payload of %d bytes differs from the %d-byte input at byte %d" % (len(payload), len(expected), same))
    sys.exit(1)
print("%d bytes, %s" % (len(payload), frames))
sys.exit(0)
EOF

# send_case NAME MODE PORT_KIND PORT_EXPRESSION: starts the receiver, sends
# demo.ts through SendTSTCP.dll to 127.0.0.1 and the port text the shell
# expression gives for the receiver's port $port, and checks both sides.
send_case() {
    name=$1; mode=$2; port_kind=$3; port_expr=$4
    rm -f "$work/port"
    timeout -k 5 300 python3 "$work/receiver.py" "$mode" "$work/demo.ts" "$work/port" "$port_kind" \
        > "$work/$name.receiver" 2>&1 &
    receiver_pid=$!
    tries=0
    while [ ! -s "$work/port" ] && [ "$tries" -lt 100 ]; do
        if ! kill -0 "$receiver_pid" 2> /dev/null; then break; fi
        sleep 0.1
        tries=$((tries + 1))
    done
    if [ ! -s "$work/port" ]; then
        fail "$name: receiver did not start: $(cat "$work/$name.receiver")"
        kill "$receiver_pid" 2> /dev/null; wait "$receiver_pid" 2> /dev/null; receiver_pid=
        return
    fi
    port=$(cat "$work/port")
    port_text=$(eval "echo $port_expr")
    (cd "$work" && timeout -k 10 "$run_limit" "$wine_cmd" trelvan.exe demo.ts \
        -throughpath "\\\\.\\sendtstcp\\127.0.0.1:$port_text\\SendTSTCP.dll" > "$name.out" 2>&1 < /dev/null)
    rc=$?
    wait "$receiver_pid"
    receiver_rc=$?
    receiver_pid=
    if [ "$rc" -ne 0 ]; then
        fail "$name: program exit code $rc"
    elif [ "$receiver_rc" -ne 0 ]; then
        fail "$name: receiver: $(cat "$work/$name.receiver")"
    elif ! LC_ALL=C grep -qF "SendTSTCP.dll $(printf '\212\112\216\156\220\254\214\367') 127.0.0.1:$port_text" "$work/$name.out"; then
        fail "$name: start message with success missing"
    else
        echo "ok: $name: port $port_text: $(cat "$work/$name.receiver")"
    fi
}

send_case sender_framed framed any '$port'
send_case sender_raw_range raw raw_range '$port'
send_case sender_raw_bit16 raw any '$((port + 65536))'

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "all endpoint cases passed"
exit 0
