#!/usr/bin/env python3
"""Throughput and memory of the stream pass-through, side by side with cp, dd
and a peer tool on the same files in the page cache. Every command runs once
per round, the rounds interleave, and the best times and ratios come from one
run, so that a shared, noisy machine slows every command alike.

  bench/run.py [--build DIR] [--work DIR] [--memory DIR] [--rounds N]
               [--size-mib N] [--small-mib N] [--large-mib N] [--disk]
               [--peer DIR] [--windows-build DIR]

The headline cases run memory to memory: the input in the page cache, the
output in a memory file system (--memory, /dev/shm by default), so that the
program's own cost shows instead of the disk's. With --disk, the cases of a
file on the disk (1 GiB and the two other sizes, to a file and to /dev/null)
run as well. The peer is an ISDB stream tool whose plain pass-through (`tsreadex
IN > OUT`) is built with make from --peer, when that folder is there. The
tuner case has BonDriver_Test hand a 256 MiB stream over in chunks of 25,756
bytes as fast as it is asked, at the default read buffer, and reports the
bytes lost. With --windows-build (a build holding trelvan.exe) and wine on the
PATH, the Windows build and the native one also pass a 64 MiB file side by
side."""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MIB = 1 << 20


def make_stream(path, size, drop_every=0):
    args = [sys.executable, os.path.join(HERE, "make_stream.py"), path, str(size)]
    if drop_every:
        args.append(str(drop_every))
    if not os.path.exists(path) or os.path.getsize(path) != size // 188 * 188:
        subprocess.run(args, check=True)
    with open(path, "rb") as f:  # into the page cache
        while f.read(MIB):
            pass


# A child's peak resident size as the kernel reports it includes what the
# forked Python held before the exec; GNU time, itself small, measures the
# command alone.
GNU_TIME = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None


def timed(command, stdout=subprocess.DEVNULL, cleanup=None, cwd=None):
    """Wall seconds, peak resident KiB and exit code of one run."""
    if cleanup and os.path.exists(cleanup):
        os.remove(cleanup)  # no run pays for truncating the last one's pages
    peak_file = None
    if GNU_TIME:
        peak_file = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"trelvan-bench-peak.{os.getpid()}")
        command = [GNU_TIME, "-f", "%M", "-o", peak_file] + command
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=stdout, stderr=subprocess.DEVNULL, cwd=cwd)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    peak = usage.ru_maxrss
    if peak_file:
        with open(peak_file) as f:
            peak = int(f.read().split()[-1])
        os.remove(peak_file)
    return elapsed, peak, os.waitstatus_to_exitcode(status)


class Case:
    def __init__(self, name, command, output=None, cwd=None):
        self.name, self.command, self.output, self.cwd = name, command, output, cwd
        self.times, self.peak, self.codes = [], 0, set()

    def run(self):
        elapsed, peak, code = timed(self.command, cleanup=self.output, cwd=self.cwd)
        self.times.append(elapsed)
        self.peak = max(self.peak, peak)
        self.codes.add(code)

    @property
    def best(self):
        return min(self.times)

    @property
    def spread(self):
        return f"{min(self.times):.3f}-{max(self.times):.3f}"


def same_file(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


def build_peer(source, work):
    """The peer tool built with make in a copy of its folder; None without it."""
    if not source or not os.path.isfile(os.path.join(source, "Makefile")) or not shutil.which("make"):
        return None
    copy = os.path.join(work, "peer")
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(source, copy)
    built = subprocess.run(["make", "-C", copy], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    exe = os.path.join(copy, "tsreadex")
    return exe if built.returncode == 0 and os.access(exe, os.X_OK) else None


def count_clock_reads(command, work):
    """Monotonic clock reads of one run, counted by an LD_PRELOAD wrapper of
    clock_gettime built here; None where it cannot be built."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None or sys.platform != "linux":
        return None
    wrapper = os.path.join(work, "clock_reads.so")
    if subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", wrapper, os.path.join(HERE, "clock_reads.c"), "-ldl"],
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
        return None
    counts = os.path.join(work, "clock_reads.txt")
    if os.path.exists(counts):
        os.remove(counts)
    env = dict(os.environ, LD_PRELOAD=wrapper, CLOCK_READS_FILE=counts)
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    with open(counts) as f:
        return int(f.read().split()[0])


TUNER_CHUNK = 25756


def run_tuner(exe, driver, stream, out, quiet_s=0.5, limit_s=120):
    """One tuner run at the default read buffer: seconds from the first
    bytes of output until it stopped growing (the driver reads the stream
    into memory before it hands anything over), and the bytes of the stream
    that never reached the output."""
    if os.path.exists(out):
        os.remove(out)
    env = dict(os.environ, BON_TEST_STREAM=stream, BON_TEST_CHUNK=str(TUNER_CHUNK), BON_TEST_MEMORY="1")
    for name in ("BON_TEST_PACKETS", "BON_TEST_LOG", "BON_TEST_HANG_CLOSE", "BON_TEST_INTERVAL_MS"):
        env.pop(name, None)
    size = os.path.getsize(stream)
    start = time.perf_counter()
    child = subprocess.Popen([exe, "\\\\.\\bondriver\\0\\0\\" + driver, "-drop", "-noprogress", "-throughpath", out],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    last_size, last_growth, first_growth = -1, start, None
    while time.perf_counter() - start < limit_s:
        now = time.perf_counter()
        try:
            current = os.path.getsize(out)
        except OSError:
            current = -1
        if current != last_size:
            last_size, last_growth = current, now
            if current > 0 and first_growth is None:
                first_growth = now
        elif current > 0 and now - last_growth >= quiet_s:
            break
        if child.poll() is not None:
            break
        time.sleep(0.001)
    child.send_signal(signal.SIGINT)
    child.wait(timeout=60)
    # What the staging block held goes out at the stop: it was carried by then.
    final = os.path.getsize(out) if os.path.exists(out) else 0
    return last_growth - (first_growth or last_growth), size - final


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--work", default=os.path.join(os.environ.get("TMPDIR", "/tmp"), "trelvan-bench"))
    parser.add_argument("--memory", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--small-mib", type=int, default=256)
    parser.add_argument("--large-mib", type=int, default=4096)
    parser.add_argument("--disk", action="store_true")
    parser.add_argument("--peer", default=os.path.join(HERE, "..", "..", "shared", "peers", "tsreadex"))
    parser.add_argument("--windows-build")
    options = parser.parse_args()

    exe = os.path.join(options.build, "trelvan")
    if not os.access(exe, os.X_OK):
        sys.exit(f"no program at {exe} (build it first)")
    work = options.work
    os.makedirs(work, exist_ok=True)
    if not options.memory:
        sys.exit("no memory file system: name one with --memory")
    memory = tempfile.mkdtemp(prefix="trelvan-bench.", dir=options.memory)
    main_in = os.path.join(work, "in.ts")
    small_in = os.path.join(work, "small.ts")
    large_in = os.path.join(work, "large.ts")
    clean_in = os.path.join(work, "clean.ts")
    drops_in = os.path.join(work, "drops.ts")
    out = os.path.join(work, "out.ts")
    mem_out = os.path.join(memory, "out.ts")
    log = os.path.join(memory, "run.log")
    peer = build_peer(options.peer, work)
    print("making the streams ...", flush=True)
    make_stream(main_in, options.size_mib * MIB)
    make_stream(small_in, options.small_mib * MIB)
    make_stream(clean_in, options.small_mib * MIB)
    make_stream(drops_in, options.small_mib * MIB, drop_every=10)
    if options.disk:
        make_stream(large_in, options.large_mib * MIB)

    def trelvan(source, *extra, output=mem_out):
        return [exe, source, *extra, "-throughpath", output]

    def dd(source, output=mem_out):
        return ["dd", f"if={source}", f"of={output}", "bs=1M", "status=none"]

    # Memory to memory: the headline.
    cases = {
        "dd": Case("dd bs=1M", dd(main_in), mem_out),
        "plain": Case("trelvan -drop -noprogress", trelvan(main_in, "-drop", "-noprogress"), mem_out),
        "progress": Case("trelvan -drop, progress to /dev/null", trelvan(main_in, "-drop"), mem_out),
        "analysis": Case("trelvan -drop -capstr -sdt -eit -wraparound -noprogress",
                         trelvan(main_in, "-drop", "-capstr", "-sdt", "-eit", "-wraparound", "-noprogress"), mem_out),
        "report": Case("trelvan -drop -noprogress -jsonpath",
                       trelvan(main_in, "-drop", "-noprogress", "-jsonpath", os.path.join(memory, "report.json")),
                       mem_out),
        "small": Case(f"trelvan {options.small_mib} MiB", trelvan(clean_in, "-drop", "-noprogress"), mem_out),
        "clean_log": Case(f"clean {options.small_mib} MiB -drop -log",
                          trelvan(clean_in, "-drop", "-noprogress", "-log", "-logpath", log), mem_out),
        "drops_log": Case(f"drop-heavy {options.small_mib} MiB -drop -log",
                          trelvan(drops_in, "-drop", "-noprogress", "-log", "-logpath", log), mem_out),
    }
    if peer:
        cases["peer"] = Case("peer tool, plain pass-through", ["sh", "-c", f'exec "{peer}" "{main_in}" > "{mem_out}"'],
                             mem_out)
    if options.disk:
        cases.update({
            "cp_disk": Case("disk: cp", ["cp", main_in, out], out),
            "dd_disk": Case("disk: dd bs=1M", dd(main_in, out), out),
            "plain_disk": Case("disk: trelvan -drop -noprogress", trelvan(main_in, "-drop", "-noprogress", output=out),
                               out),
            "small_disk": Case(f"disk: trelvan {options.small_mib} MiB",
                               trelvan(small_in, "-drop", "-noprogress", output=out), out),
            "large_disk": Case(f"disk: trelvan {options.large_mib} MiB",
                               trelvan(large_in, "-drop", "-noprogress", output=out), out),
            "dd_small_disk": Case(f"disk: dd bs=1M {options.small_mib} MiB", dd(small_in, out), out),
            "dd_large_disk": Case(f"disk: dd bs=1M {options.large_mib} MiB", dd(large_in, out), out),
            "small_null": Case(f"trelvan {options.small_mib} MiB to /dev/null",
                               trelvan(small_in, "-drop", "-noprogress", output=os.devnull)),
            "large_null": Case(f"trelvan {options.large_mib} MiB to /dev/null",
                               trelvan(large_in, "-drop", "-noprogress", output=os.devnull)),
        })
    wine = shutil.which("wine")
    if options.windows_build and wine:
        wine_exe = os.path.join(options.windows_build, "trelvan.exe")
        wine_in = os.path.join(work, "wine.ts")
        make_stream(wine_in, 64 * MIB)
        wine_out = os.path.join(work, "wine-out.ts")
        # Names relative to the work folder: on Windows a leading "/"
        # starts an option.
        cases["wine"] = Case("wine trelvan.exe 64 MiB", [wine, os.path.abspath(wine_exe), "wine.ts", "-drop",
                                                          "-noprogress", "-throughpath", "wine-out.ts"], wine_out, work)
        cases["native64"] = Case("trelvan 64 MiB", trelvan(wine_in, "-drop", "-noprogress", output=wine_out),
                                 wine_out)
        # A wine server kept running between the rounds: otherwise each run
        # pays for starting wine's own processes again, which is no part of
        # the program's time.
        wineserver = shutil.which("wineserver") or "wineserver"
        subprocess.run([wineserver, "-p"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([wine, "cmd", "/c", "exit"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    driver = os.path.join(options.build, "BonDriver_Test.so")
    tuner_times, tuner_lost = [], []
    for round_number in range(options.rounds):
        print(f"round {round_number + 1} of {options.rounds}", flush=True)
        for case in cases.values():
            if os.path.exists(log):
                os.remove(log)
            case.run()
        if os.path.exists(driver):
            elapsed, lost = run_tuner(exe, driver, clean_in, mem_out)
            tuner_times.append(elapsed)
            tuner_lost.append(lost)
    cases["plain"].run()
    identical = same_file(main_in, mem_out)
    if "wine" in cases:
        cases["wine"].run()
        identical = identical and same_file(os.path.join(work, "wine.ts"), os.path.join(work, "wine-out.ts"))
    packets = os.path.getsize(main_in) // 188
    clock_reads = count_clock_reads(cases["plain"].command, work)

    width = max(len(c.name) for c in cases.values())
    print(f"\nbest of {options.rounds} interleaved rounds (and the spread), {options.size_mib} MiB unless named;"
          f" output in {options.memory} unless on the disk")
    for case in cases.values():
        print(f"  {case.name:<{width}}  {case.best:7.3f} s  ({case.spread})   peak {case.peak:>8} KiB   "
              f"exit {sorted(case.codes)}")

    def ratio(a, b):
        return cases[a].best / cases[b].best

    def line(text, value, target):
        verdict = "met" if value <= target else "NOT met"
        print(f"  {text:<56} {value:6.2f}  (target <= {target}: {verdict})")

    print("ratios, memory to memory")
    line("trelvan -drop -noprogress / dd bs=1M", ratio("plain", "dd"), 1.5)
    if "peer" in cases:
        line("trelvan -drop -noprogress / peer tool", ratio("plain", "peer"), 1.0)
    else:
        print("  peer tool: not built (no make, or no folder at --peer)")
    line("progress line to /dev/null / -noprogress", ratio("progress", "plain"), 1.3)
    line("-capstr -sdt -eit -wraparound / -drop alone", ratio("analysis", "plain"), 1.1)
    line("-jsonpath / -drop alone", ratio("report", "plain"), 1.1)
    line("drop-heavy -drop -log / clean -drop -log", ratio("drops_log", "clean_log"), 1.5)
    if clock_reads is not None:
        line("clock reads per 1,000 packets, -drop -noprogress", clock_reads * 1000 / packets, 1)
    if tuner_times:
        # Per byte that reached the output, the best run against the best.
        stream_bytes = os.path.getsize(clean_in)
        per_byte = min(t / max(1, stream_bytes - lost) for t, lost in zip(tuner_times, tuner_lost))
        line(f"tuner / file {options.small_mib} MiB, per byte", per_byte * stream_bytes / cases["small"].best, 1.5)
        print(f"  {'tuner: seconds (spread), bytes lost per run':<56} {min(tuner_times):6.3f}  "
              f"({min(tuner_times):.3f}-{max(tuner_times):.3f}; lost {', '.join(str(n) for n in tuner_lost)})")
    else:
        print(f"  tuner case: no {driver}")
    if options.disk:
        print("ratios, output on the disk")
        line("trelvan -drop -noprogress / dd bs=1M", ratio("plain_disk", "dd_disk"), 1.5)
        print(f"  {'trelvan -drop -noprogress / cp':<56} {ratio('plain_disk', 'cp_disk'):6.2f}")
        print(f"  {'trelvan / dd bs=1M at ' + str(options.small_mib) + ' / ' + str(options.large_mib) + ' MiB':<56} "
              f"{ratio('small_disk', 'dd_small_disk'):6.2f} / {ratio('large_disk', 'dd_large_disk'):.2f}")
        null_small = cases["small_null"].best / options.small_mib * 1024
        null_large = cases["large_null"].best / options.large_mib * 1024
        line(f"to /dev/null: time per GiB, {options.large_mib} / {options.small_mib} MiB", null_large / null_small,
             1.15)
    read_buffer_kib = 100 * 1024
    print(f"  {'peak resident, -drop -noprogress (KiB)':<56} {cases['plain'].peak:6d}  "
          f"(target <= read buffer + 16 MiB = {read_buffer_kib + 16 * 1024}: "
          f"{'met' if cases['plain'].peak <= read_buffer_kib + 16 * 1024 else 'NOT met'})")
    if "wine" in cases:
        line("wine trelvan.exe 64 MiB / native 64 MiB", ratio("wine", "native64"), 3)
    print(f"  outputs identical to their inputs: {'yes' if identical else 'NO'}")
    if "wine" in cases:
        subprocess.run([shutil.which("wineserver") or "wineserver", "-k"], stderr=subprocess.DEVNULL)
    for path in (main_in, small_in, large_in, clean_in, drops_in, out, os.path.join(work, "wine.ts"),
                 os.path.join(work, "wine-out.ts")):
        if os.path.exists(path):
            os.remove(path)
    shutil.rmtree(memory, ignore_errors=True)
    shutil.rmtree(os.path.join(work, "peer"), ignore_errors=True)


if __name__ == "__main__":
    main()
