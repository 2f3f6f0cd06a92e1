#!/usr/bin/env python3
"""The tuner path against the file path on the same 1 GiB stream.

The test driver (BonDriver_Test) serves the file as fast as the program asks
for it; the same file is then passed through the file path. Rounds alternate
between the two, and the medians are compared (target: tuner <= 1.5 x file).

    bench/tuner.py [build-dir] [work-dir] [rounds]

A tuner source never ends by itself: the tuner run is timed until its output
holds all but the last (partial) staging block, then interrupted, and its
output must equal the input. The driver hands over faster than any consumer,
so the tuner run gets a read buffer (and with it a queue limit) larger than
the stream: the figure is the path's throughput, not its drop policy.
"""
import os
import signal
import statistics
import subprocess
import sys
import time

STAGING = 48128


def run_file(exe, stream, out):
    if os.path.exists(out):
        os.remove(out)
    start = time.monotonic()
    subprocess.run([exe, stream, "-drop", "-noprogress", "-throughpath", out],
                   stdout=subprocess.DEVNULL, check=False)
    return time.monotonic() - start


def run_tuner(exe, driver, stream, out, size):
    if os.path.exists(out):
        os.remove(out)
    env = dict(os.environ, BON_TEST_STREAM=stream)
    for name in ("BON_TEST_PACKETS", "BON_TEST_CHUNK", "BON_TEST_LOG", "BON_TEST_HANG_CLOSE"):
        env.pop(name, None)
    bufsize = size + 64 * 1048576
    start = time.monotonic()
    child = subprocess.Popen([exe, "\\\\.\\bondriver\\0\\0\\" + driver, "-drop", "-noprogress",
                              "-bufsize", str(bufsize), "-throughpath", out],
                             stdout=subprocess.DEVNULL, env=env)
    elapsed = None
    deadline = start + 300
    while time.monotonic() < deadline:
        try:
            if os.path.getsize(out) >= size - STAGING:
                elapsed = time.monotonic() - start
                break
        except OSError:
            pass
        if child.poll() is not None:
            break
        time.sleep(0.002)
    child.send_signal(signal.SIGINT)
    child.wait(timeout=60)
    complete = os.path.exists(out) and os.path.getsize(out) == size
    return elapsed, complete


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "build"))
    work = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else
                           os.path.join(os.environ.get("TMPDIR", "/tmp"), "trelvan-bench"))
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    exe = os.path.join(build, "trelvan")
    driver = os.path.join(build, "BonDriver_Test.so")
    for path in (exe, driver):
        if not os.path.exists(path):
            sys.exit(f"missing {path} (build it first)")
    os.makedirs(work, exist_ok=True)
    stream = os.path.join(work, "in.ts")
    subprocess.run([sys.executable, os.path.join(here, "make_stream.py"), stream, str(1 << 30)], check=True)
    size = os.path.getsize(stream)
    with open(stream, "rb") as f:  # into the page cache
        while f.read(1 << 24):
            pass
    out_file, out_tuner = os.path.join(work, "out-file.ts"), os.path.join(work, "out-tuner.ts")

    file_times, tuner_times = [], []
    for i in range(rounds):
        file_times.append(run_file(exe, stream, out_file))
        elapsed, complete = run_tuner(exe, driver, stream, out_tuner, size)
        if elapsed is None or not complete:
            sys.exit(f"round {i + 1}: the tuner run did not deliver the whole stream")
        tuner_times.append(elapsed)
        print(f"round {i + 1}: file {file_times[-1]:.2f} s, tuner {elapsed:.2f} s")
    same = subprocess.run(["cmp", "-s", stream, out_tuner]).returncode == 0
    file_median, tuner_median = statistics.median(file_times), statistics.median(tuner_times)
    print(f"file path 1 GiB:  median {file_median:.2f} s")
    print(f"tuner path 1 GiB: median {tuner_median:.2f} s  (ratio {tuner_median / file_median:.2f}, "
          f"target <= 1.5; output identical: {'yes' if same else 'NO'})")
    for path in (stream, out_file, out_tuner):
        os.remove(path)


if __name__ == "__main__":
    main()
