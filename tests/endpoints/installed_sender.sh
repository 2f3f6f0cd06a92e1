#!/bin/sh
# An install into a fresh prefix finds its own sender library: the program,
# run from another folder with the library named without a folder, sends the
# demo stream to a loopback receiver; with the library taken away it names
# the missing file.
#
#   tests/endpoints/installed_sender.sh <build dir>
#
# Exits 0 when both hold, 1 otherwise, 77 when python3 or the build is
# missing (the usual "skipped" code).
set -u

build_dir=$(cd "${1:?usage: installed_sender.sh <build dir>}" 2>/dev/null && pwd)
here=$(cd "$(dirname "$0")" && pwd)
demo=$here/../../samples/demo.ts
if ! command -v python3 > /dev/null; then echo "SKIP: python3 not installed"; exit 77; fi
if [ -z "$build_dir" ] || [ ! -x "$build_dir/trelvan" ]; then echo "SKIP: build missing"; exit 77; fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" > /dev/null || { echo "FAIL: install"; exit 1; }
mkdir "$work/elsewhere"
cp "$demo" "$work/elsewhere/demo.ts"

# Receives one connection into a file; the sender closes it at the end.
python3 - "$work/port" "$work/received" <<'EOF' &
import socket, sys
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(1)
listener.settimeout(30)
with open(sys.argv[1] + ".part", "w") as port:
    port.write(str(listener.getsockname()[1]))
import os
os.rename(sys.argv[1] + ".part", sys.argv[1])
connection, _ = listener.accept()
connection.settimeout(30)
with open(sys.argv[2], "wb") as out:
    while True:
        data = connection.recv(65536)
        if not data:
            break
        out.write(data)
EOF
receiver=$!
for _ in $(seq 100); do [ -f "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port" 2> /dev/null)
[ -n "$port" ] || { echo "FAIL: no receiver"; exit 1; }

# Bit 16 of the port asks for the bare stream.
raw_port=$((65536 + port))
(cd "$work/elsewhere" && TRELVAN_CHARSET=UTF-8 "$prefix/bin/trelvan" demo.ts -noprogress \
    -throughpath "\\\\.\\sendtstcp\\127.0.0.1:$raw_port\\SendTSTCP.so" > "$work/sent.txt" 2>&1 < /dev/null)
wait "$receiver"
failures=0
if cmp -s "$work/received" "$demo"; then
    echo "ok: the installed program sent the stream through lib/trelvan/SendTSTCP.so"
else
    echo "FAIL: received $(wc -c < "$work/received" 2> /dev/null) bytes of $(wc -c < "$demo")"
    cat "$work/sent.txt"
    failures=1
fi

rm "$prefix/lib/trelvan/SendTSTCP.so"
path="\\\\.\\sendtstcp\\127.0.0.1:$raw_port\\SendTSTCP.so"
(cd "$work/elsewhere" && TRELVAN_CHARSET=UTF-8 "$prefix/bin/trelvan" demo.ts -noprogress -throughpath "$path" \
    > "$work/missing.txt" 2>&1 < /dev/null)
if grep -qxF "－ SendTSTCP.soがありません $path" "$work/missing.txt"; then
    echo "ok: without the library the notice names SendTSTCP.so"
else
    echo "FAIL: without the library:"; cat "$work/missing.txt"; failures=1
fi
exit "$failures"
