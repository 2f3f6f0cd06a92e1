#!/bin/sh
# Throughput and memory of the stream pass-through against cp and dd, in
# interleaved rounds: see bench/run.py for the options.
exec python3 "$(dirname "$0")/run.py" "$@"
