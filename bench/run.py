#!/usr/bin/env python3
"""Measures romseed against the copy limit and prints one line per target.

Builds a Release binary, makes the inputs in a scratch folder on tmpfs, and
times alternating pairs of romseed and a reference command. Ratios compare
medians, so a noisy neighbour slows both sides alike. Usage:

    bench/run.py [--pairs N] [--build DIR]
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build(build_dir):
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                    "-DROMSEED_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "--target", "romseed", "-j2"],
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "romseed")


def run(argv, cwd):
    """Runs argv in cwd, its output thrown away; returns the seconds taken."""
    exe = shutil.which(argv[0])
    old = os.getcwd()
    os.chdir(cwd)
    try:
        start = time.perf_counter()
        pid = os.posix_spawn(exe, argv, os.environ, file_actions=[
            (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)])
        _, status = os.waitpid(pid, 0)
        seconds = time.perf_counter() - start
    finally:
        os.chdir(old)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: %s" % " ".join(argv))
    return seconds


def peak_kib(argv, cwd):
    """Peak resident memory of argv. A child's peak counts the memory of the
    process it was forked from, so GNU time, a small process, forks it."""
    run(["/usr/bin/time", "-f", "%M", "-o", "peak.txt"] + argv, cwd)
    with open(os.path.join(cwd, "peak.txt")) as f:
        return int(f.read().split()[-1])


def pairs(n, tool, reference, setup=lambda: None):
    """Median seconds of `tool` and `reference`, run in n alternating pairs."""
    a, b = [], []
    for _ in range(n):
        setup()
        a.append(tool())
        setup()
        b.append(reference())
    return statistics.median(a), statistics.median(b)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def ucf_lines(count):
    rng = random.Random(1)
    lines = []
    for i in range(count):
        if i % 2:
            value = "%064x" % rng.getrandbits(256)
            lines.append('INST "rom%02x" INIT_%02x = %s;\n' % (i // 32, (i // 2) % 16, value))
        else:
            lines.append('NET "data<%d>" LOC = "P%d" | IOSTANDARD = LVCMOS33;\n' % (i, i % 200))
    return "".join(lines).encode()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pairs", type=int, default=15)
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    args = parser.parse_args()
    exe = os.path.abspath(build(args.build))
    n = args.pairs
    scratch = tempfile.mkdtemp(prefix="romseed-bench-", dir="/dev/shm")
    os.chdir(scratch)
    try:
        rng = random.Random(2)
        big = rng.randbytes(64 << 20)
        write("big.bin", big)
        write("empty.bin", b"")
        write("empty.ucf", b"")

        # INIT writing against cat copying a file the size of the result.
        write("init.ucf", b"")
        run([exe, "big.bin", "init.ucf", "rom"], scratch)
        shutil.copyfile("init.ucf", "same-size.ucf")
        t, c = pairs(n, lambda: run([exe, "big.bin", "init.ucf", "rom"], scratch),
                     lambda: run(["sh", "-c", "cat same-size.ucf > copy.ucf"], scratch),
                     lambda: write("init.ucf", b""))
        print("init 64 MiB:   romseed %.3f s, cat %.3f s, ratio %.2f (goal <= 1.50)" % (t, c, t / c))

        # Filtering against grep -v writing the same kept lines.
        write("filter-src.ucf", ucf_lines(400000))
        fresh = lambda: shutil.copyfile("filter-src.ucf", "filter.ucf")
        t, g = pairs(n, lambda: run([exe, "empty.bin", "filter.ucf", "rom"], scratch),
                     lambda: run(["sh", "-c", "LC_ALL=C grep -v '^INST \"rom' filter.ucf > kept.ucf"],
                                 scratch), fresh)
        print("filter 400k:   romseed %.3f s, grep %.3f s, ratio %.2f (goal <= 1.00)" % (t, g, t / g))

        # Peak memory must not follow the input's size.
        write("1m.bin", big[:1 << 20])
        write("long.ucf", b"NET " + b"x" * 100_000_000 + b";\n")
        peaks = []
        for binary, ucf in (("1m.bin", "empty.ucf"), ("big.bin", "empty.ucf"), ("empty.bin", "long.ucf")):
            if ucf == "empty.ucf":
                write(ucf, b"")
            peaks.append(peak_kib([exe, binary, ucf, "rom"], scratch))
        spread = max(peaks) - min(peaks)
        print("memory:        peaks %s KiB, spread %d KiB (goal <= 1024), max %d KiB (goal < 8192)"
              % ("/".join(map(str, peaks)), spread, max(peaks)))

        # A typical small run, on tmpfs and on the ordinary disk, where the
        # fsync that protects the UCF costs real time.
        small_ucf = ucf_lines(300)
        write("small.bin", big[:16 << 10])
        write("small.ucf", small_ucf)
        t, c = pairs(n, lambda: run([exe, "small.bin", "small.ucf", "rom"], scratch),
                     lambda: run(["sh", "-c", "cat small.bin small.ucf > cat.out"], scratch))
        print("small tmpfs:   romseed %.4f s, cat %.4f s, ratio %.2f (reported)" % (t, c, t / c))
        disk = tempfile.mkdtemp(prefix="romseed-bench-", dir=ROOT)
        try:
            shutil.copyfile("small.bin", os.path.join(disk, "small.bin"))
            shutil.copyfile("small.ucf", os.path.join(disk, "small.ucf"))
            d, c = pairs(n, lambda: run([exe, "small.bin", "small.ucf", "rom"], disk),
                         lambda: run(["sh", "-c", "cat small.bin small.ucf > cat.out"], disk))
        finally:
            shutil.rmtree(disk)
        print("small disk:    romseed %.4f s, cat %.4f s, fsync and disk cost %.4f s over tmpfs"
              % (d, c, d - t))
    finally:
        os.chdir("/")
        shutil.rmtree(scratch)


if __name__ == "__main__":
    main()
