#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Mapping cost on the host: `kelmo-map --test` on the volumes mkexfat.py
made, next to readrange reading once the bytes any reader must read.

  hostbench.py --out RESULT.json --readrange PATH --binary NAME=PATH [...]
               [--reps N] [--cold-reps N] MANIFEST...

Each case is checked first: the program's output must be exactly the runs
the volume was built with. Then, per case:
  - one run under strace: the pread64 calls and the bytes they returned;
  - "warm": the image's pages in the page cache (a run before timing),
    program and reference timed in turns, --reps times each;
  - "cold": before every run the image's pages are dropped from the page
    cache (posix_fadvise DONTNEED on the image only, so the binaries stay
    cached), --cold-reps times each, with the bytes the run made the kernel
    read from the disk (read_bytes in /proc/PID/io).
Times are wall clock from spawn to exit, so both sides pay a process start.

FAT reads, for each FAT-chained file (--fat-reps times each, in turns):
  - cold: the main binary against readrange reading once, in 1 MiB reads,
    the FAT bytes the file's chain spans, both with the image's pages
    dropped before each run; the ratio of each pair, then the median;
  - warm: the main binary on that file and on the contiguous file of the
    same length on the same volume, in turns; the median of the pairs'
    differences over the file's clusters is the walk's CPU cost per cluster.
--only SUBSTRING keeps the files whose path holds it; --fat-only skips the
mapping-cost measures above (for quick runs).
"""
import argparse
import hashlib
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time


def spawn(argv):
    """Runs argv with stdout on /dev/null: (milliseconds, read_bytes, status)."""
    actions = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)]
    t0 = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    # Keep the exited child until its I/O counters are read.
    os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
    ms = (time.perf_counter_ns() - t0) / 1e6
    with open("/proc/%d/io" % pid) as f:
        io = dict(line.split(": ") for line in f.read().splitlines())
    _, status = os.waitpid(pid, 0)
    return ms, int(io["read_bytes"]), os.waitstatus_to_exitcode(status)


def evict(image):
    fd = os.open(image, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def traced(argv):
    """pread64 calls and the bytes they returned, from one run under strace."""
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as log:
        subprocess.run(["strace", "-qq", "-e", "trace=pread64", "-o", log.name] + argv,
                       stdout=subprocess.DEVNULL, check=True)
        calls = total = 0
        for line in log:
            m = re.match(r"pread64\(.*\) = (-?\d+)", line)
            if m:
                calls += 1
                total += max(0, int(m.group(1)))
    return calls, total


def fat_measures(case, t, by_path, image, argv, args):
    """The FAT-read measures of one FAT-chained file (see the top)."""
    median = statistics.median
    fat_ref = [args.readrange, image, str(t["fat_span_offset"]), str(t["fat_span_bytes"]), str(1 << 20)]
    case["fat_span_bytes"] = t["fat_span_bytes"]
    cold = {"map": [], "ref": []}
    for rep in range(args.fat_reps):
        order = [("map", argv), ("ref", fat_ref)]
        if rep % 2:
            order.reverse()
        for name, a in order:
            evict(image)
            ms, _, status = spawn(a)
            assert status == 0, a
            cold[name].append(ms)
    case["fat_cold_ms"] = {n: median(v) for n, v in cold.items()}
    case["fat_cold_ratio"] = median(a / b for a, b in zip(cold["map"], cold["ref"]))
    twin = [x for x in by_path.values() if x["nofat"] and x["length"] == t["length"]]
    if twin:
        contig = argv[:-1] + [twin[0]["path"]]
        warm = {"map": [], "contig": []}
        for a in (argv, contig):
            spawn(a)  # fills the page cache
        for rep in range(args.fat_reps):
            order = [("map", argv), ("contig", contig)]
            if rep % 2:
                order.reverse()
            for name, a in order:
                ms, _, status = spawn(a)
                assert status == 0, a
                warm[name].append(ms)
        case["fat_warm_ms"] = {n: median(v) for n, v in warm.items()}
        case["fat_warm_ns_per_cluster"] = median(
            (a - b) * 1e6 / t["clusters"] for a, b in zip(warm["map"], warm["contig"]))
    print("# %-58s FAT cold %.2f ms (1 MiB reads of the span %.2f, x%.2f), warm %s ns/cluster" % (
        case["case"], case["fat_cold_ms"]["map"], case["fat_cold_ms"]["ref"], case["fat_cold_ratio"],
        "%.2f" % case["fat_warm_ns_per_cluster"] if "fat_warm_ns_per_cluster" in case else "-"), file=sys.stderr)


def describe(cluster, target):
    gib = target["length"] / (1 << 30)
    size = "%g GiB" % gib if gib >= 1 else "%d MiB" % (target["length"] >> 20)
    path = target["path"]
    if path.startswith("/many/"):
        kind = "dir of 10,000 files, last one"
    elif "/contig-" in path:
        kind = "contiguous"
    elif "/frag-" in path:
        kind = "%d runs, in order" % target["runs"]
    else:
        kind = "%d runs, shuffled" % target["runs"]
    return "%s, %d KiB clusters, %s" % (size, cluster // 1024, kind)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("manifests", nargs="+")
    p.add_argument("--out", required=True)
    p.add_argument("--readrange", required=True)
    p.add_argument("--binary", action="append", required=True, help="NAME=PATH; the first is the main one")
    p.add_argument("--reps", type=int, default=15)
    p.add_argument("--cold-reps", type=int, default=7)
    p.add_argument("--fat-reps", type=int, default=15)
    p.add_argument("--only", default="")
    p.add_argument("--fat-only", action="store_true")
    args = p.parse_args()
    binaries = [b.split("=", 1) for b in args.binary]
    median = statistics.median
    results = []
    for manifest_path in args.manifests:
        with open(manifest_path) as f:
            manifest = json.load(f)
        image = manifest["image"]
        by_path = {t["path"]: t for t in manifest["targets"]}
        for t in manifest["targets"]:
            if args.only not in t["path"]:
                continue
            case = {"case": describe(manifest["cluster"], t), "path": t["path"], "cluster": manifest["cluster"],
                    "clusters": t["clusters"], "runs": t["runs"], "needed_bytes": t["needed_bytes"]}
            ref = [args.readrange, image, str(t["needed_offset"]), str(t["needed_bytes"])]
            progs = {name: [path, "--test", image, t["path"]] for name, path in binaries}
            for name, argv in progs.items():
                out = subprocess.run(argv, capture_output=True, check=True).stdout
                if hashlib.sha256(out).hexdigest() != t["output_sha256"]:
                    sys.exit("%s: wrong runs for %s %s" % (name, image, t["path"]))
            case["pread_calls"], case["pread_bytes"] = traced(progs[binaries[0][0]])
            if t.get("fat_span_bytes"):
                fat_measures(case, t, by_path, image, progs[binaries[0][0]], args)
            if args.fat_only:
                results.append(case)
                continue

            warm = {name: [] for name in list(progs) + ["ref"]}
            for argv in list(progs.values()) + [ref]:
                spawn(argv)  # fills the page cache
            for rep in range(args.reps):
                order = list(progs.items()) + [("ref", ref)]
                if rep % 2:
                    order.reverse()
                for name, argv in order:
                    ms, _, status = spawn(argv)
                    assert status == 0, (name, argv)
                    warm[name].append(ms)
            cold = {name: [] for name in warm}
            cold_io = {name: [] for name in warm}
            for rep in range(args.cold_reps):
                order = list(progs.items()) + [("ref", ref)]
                if rep % 2:
                    order.reverse()
                for name, argv in order:
                    evict(image)
                    ms, read_bytes, status = spawn(argv)
                    assert status == 0, (name, argv)
                    cold[name].append(ms)
                    cold_io[name].append(read_bytes)
            case["warm_ms"] = {n: median(v) for n, v in warm.items()}
            case["cold_ms"] = {n: median(v) for n, v in cold.items()}
            case["cold_disk_bytes"] = {n: median(v) for n, v in cold_io.items()}
            # Ratios of runs made back to back, then their median: steadier
            # than a ratio of medians on a machine shared with other jobs.
            case["warm_ratio"] = {n: median(a / b for a, b in zip(warm[n], warm["ref"])) for n in progs}
            case["cold_ratio"] = {n: median(a / b for a, b in zip(cold[n], cold["ref"])) for n in progs}
            case["warm_samples"], case["cold_samples"] = warm, cold
            results.append(case)
            print("# %-58s %s warm %.2f ms (ref %.2f, x%.2f), cold %.2f ms (ref %.2f, x%.2f)" % (
                case["case"], binaries[0][0], case["warm_ms"][binaries[0][0]], case["warm_ms"]["ref"],
                case["warm_ratio"][binaries[0][0]], case["cold_ms"][binaries[0][0]], case["cold_ms"]["ref"],
                case["cold_ratio"][binaries[0][0]]), file=sys.stderr)
    with open(args.out, "w") as f:
        json.dump({"binaries": [n for n, _ in binaries], "reps": args.reps, "cold_reps": args.cold_reps,
                   "fat_reps": args.fat_reps,
                   "cases": results}, f, indent=1)


if __name__ == "__main__":
    main()
