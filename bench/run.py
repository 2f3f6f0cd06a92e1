#!/usr/bin/env python3
"""Throughput and memory of the stream pass-through, side by side with cp and
dd on the same files in the page cache. Every command runs once per round,
the rounds interleave, and the medians and ratios come from one run, so that
a shared, noisy machine slows every command alike.

  bench/run.py [--build DIR] [--work DIR] [--rounds N] [--size-mib N]
               [--large-mib N] [--windows-build DIR]

With --windows-build (a build holding trelvan.exe) and wine on the PATH, the
Windows build and the native one also pass a 64 MiB file side by side."""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
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
    def median(self):
        return statistics.median(self.times)


def same_file(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--work", default=os.path.join(os.environ.get("TMPDIR", "/tmp"), "trelvan-bench"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--small-mib", type=int, default=256)
    parser.add_argument("--large-mib", type=int, default=4096)
    parser.add_argument("--windows-build")
    options = parser.parse_args()

    exe = os.path.join(options.build, "trelvan")
    if not os.access(exe, os.X_OK):
        sys.exit(f"no program at {exe} (build it first)")
    work = options.work
    os.makedirs(work, exist_ok=True)
    main_in = os.path.join(work, "in.ts")
    small_in = os.path.join(work, "small.ts")
    large_in = os.path.join(work, "large.ts")
    clean_in = os.path.join(work, "clean.ts")
    drops_in = os.path.join(work, "drops.ts")
    out = os.path.join(work, "out.ts")
    log = os.path.join(work, "run.log")
    print("making the streams ...", flush=True)
    make_stream(main_in, options.size_mib * MIB)
    make_stream(small_in, options.small_mib * MIB)
    make_stream(large_in, options.large_mib * MIB)
    make_stream(clean_in, options.small_mib * MIB)
    make_stream(drops_in, options.small_mib * MIB, drop_every=10)

    def trelvan(source, *extra, output=out):
        return [exe, source, *extra, "-throughpath", output]

    cases = {
        "cp": Case("cp", ["cp", main_in, out], out),
        "dd": Case("dd bs=1M", ["dd", f"if={main_in}", f"of={out}", "bs=1M", "status=none"], out),
        "plain": Case("trelvan -drop -noprogress", trelvan(main_in, "-drop", "-noprogress"), out),
        "progress": Case("trelvan -drop, progress to /dev/null", trelvan(main_in, "-drop"), out),
        "analysis": Case("trelvan -drop -capstr -sdt -eit -wraparound -noprogress",
                         trelvan(main_in, "-drop", "-capstr", "-sdt", "-eit", "-wraparound", "-noprogress"), out),
        "small": Case(f"trelvan {options.small_mib} MiB", trelvan(small_in, "-drop", "-noprogress"), out),
        "large": Case(f"trelvan {options.large_mib} MiB", trelvan(large_in, "-drop", "-noprogress"), out),
        # The same without the page cache's write path, which slows down on
        # its own once much is waiting to be written back.
        "small_null": Case(f"trelvan {options.small_mib} MiB to /dev/null",
                           trelvan(small_in, "-drop", "-noprogress", output=os.devnull)),
        "large_null": Case(f"trelvan {options.large_mib} MiB to /dev/null",
                           trelvan(large_in, "-drop", "-noprogress", output=os.devnull)),
        # The machine's own cost per GiB at both sizes: past the page cache's
        # dirty limit every writer slows down, not the program alone.
        "cp_small": Case(f"cp {options.small_mib} MiB", ["cp", small_in, out], out),
        "cp_large": Case(f"cp {options.large_mib} MiB", ["cp", large_in, out], out),
        # dd writes the way the program does (read, then write from memory);
        # cp may copy inside the kernel.
        "dd_small": Case(f"dd bs=1M {options.small_mib} MiB",
                         ["dd", f"if={small_in}", f"of={out}", "bs=1M", "status=none"], out),
        "dd_large": Case(f"dd bs=1M {options.large_mib} MiB",
                         ["dd", f"if={large_in}", f"of={out}", "bs=1M", "status=none"], out),
        "clean_log": Case(f"clean {options.small_mib} MiB -drop -log",
                          trelvan(clean_in, "-drop", "-noprogress", "-log", "-logpath", log), out),
        "drops_log": Case(f"drop-heavy {options.small_mib} MiB -drop -log",
                          trelvan(drops_in, "-drop", "-noprogress", "-log", "-logpath", log), out),
    }
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

    for round_number in range(options.rounds):
        print(f"round {round_number + 1} of {options.rounds}", flush=True)
        for case in cases.values():
            if os.path.exists(log):
                os.remove(log)
            case.run()
    cases["plain"].run()
    identical = same_file(main_in, out)
    if "wine" in cases:
        cases["wine"].run()
        identical = identical and same_file(os.path.join(work, "wine.ts"), os.path.join(work, "wine-out.ts"))

    width = max(len(c.name) for c in cases.values())
    print(f"\nmedians of {options.rounds} interleaved rounds, {options.size_mib} MiB unless named")
    for case in cases.values():
        print(f"  {case.name:<{width}}  {case.median:7.3f} s   peak {case.peak:>8} KiB   exit {sorted(case.codes)}")

    def ratio(a, b):
        return cases[a].median / cases[b].median

    def line(text, value, target):
        verdict = "met" if value <= target else "NOT met"
        print(f"  {text:<52} {value:6.2f}  (target <= {target}: {verdict})")

    print("ratios")
    line("trelvan -drop -noprogress / dd bs=1M", ratio("plain", "dd"), 1.5)
    print(f"  {'trelvan -drop -noprogress / cp':<52} {ratio('plain', 'cp'):6.2f}")
    line("progress line to /dev/null / -noprogress", ratio("progress", "plain"), 1.5)
    line("-capstr -sdt -eit -wraparound / -drop alone", ratio("analysis", "plain"), 1.1)
    per_gib_small = cases["small"].median / options.small_mib * 1024
    per_gib_large = cases["large"].median / options.large_mib * 1024
    print(f"  {'seconds per GiB at ' + str(options.small_mib) + ' / ' + str(options.large_mib) + ' MiB':<52} "
          f"{per_gib_small:6.3f} / {per_gib_large:.3f}")
    line(f"time per GiB, {options.large_mib} MiB / {options.small_mib} MiB", per_gib_large / per_gib_small, 1.15)
    for name, label in (("dd", "dd bs=1M"), ("cp", "cp")):
        small = cases[name + "_small"].median / options.small_mib * 1024
        large = cases[name + "_large"].median / options.large_mib * 1024
        print(f"  {label + ': seconds per GiB at the same sizes':<52} {small:6.3f} / {large:.3f}  "
              f"(ratio {large / small:.2f})")
    # The machine's own slowdown at the larger size taken out: how the
    # program's time compares with dd's at each size.
    print(f"  {'trelvan / dd bs=1M at ' + str(options.small_mib) + ' / ' + str(options.large_mib) + ' MiB':<52} "
          f"{ratio('small', 'dd_small'):6.2f} / {ratio('large', 'dd_large'):.2f}")
    null_small = cases["small_null"].median / options.small_mib * 1024
    null_large = cases["large_null"].median / options.large_mib * 1024
    line(f"to /dev/null: time per GiB, {options.large_mib} / {options.small_mib} MiB", null_large / null_small, 1.15)
    line("drop-heavy -drop -log / clean -drop -log", ratio("drops_log", "clean_log"), 2)
    read_buffer_kib = 100 * 1024
    print(f"  {'peak resident, -drop -noprogress (KiB)':<52} {cases['plain'].peak:6d}  "
          f"(target <= read buffer + 16 MiB = {read_buffer_kib + 16 * 1024}: "
          f"{'met' if cases['plain'].peak <= read_buffer_kib + 16 * 1024 else 'NOT met'})")
    if "wine" in cases:
        line("wine trelvan.exe 64 MiB / native 64 MiB", ratio("wine", "native64"), 3)
    print(f"  outputs identical to their inputs: {'yes' if identical else 'NO'}")
    if "wine" in cases:
        subprocess.run([shutil.which("wineserver") or "wineserver", "-k"], stderr=subprocess.DEVNULL)
    for path in (main_in, small_in, large_in, clean_in, drops_in, out, log, os.path.join(work, "wine.ts"),
                 os.path.join(work, "wine-out.ts")):
        if os.path.exists(path):
            os.remove(path)


if __name__ == "__main__":
    main()
