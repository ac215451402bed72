#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Prints the benchmark table (Markdown) from what run.sh gathered.

  report.py [--host HOST.json] [--vm SERIAL_LOG ...] [--size NAME=PATH ...]
            [--module NAME=PATH ...]

--host is hostbench.py's result; --vm the serial logs of the benchmark
boots (KELMO-BENCH lines); --size the kelmo-map binaries and --module the
kernel modules the usual way needs, as shipped.
"""
import argparse
import json
import statistics
import subprocess
import sys

median = statistics.median
goals = []


def table(head, rows):
    print("| " + " | ".join(head) + " |")
    print("|" + "|".join("---" if i == 0 else "--:" for i in range(len(head))) + "|")
    for r in rows:
        print("| " + " | ".join(str(c) for c in r) + " |")
    print()


def kib(n):
    return "%.1f KiB" % (n / 1024) if n < 1 << 20 else "%.2f MiB" % (n / (1 << 20))


def host_part(path):
    with open(path) as f:
        data = json.load(f)
    main, others = data["binaries"][0], data["binaries"][1:]
    head = ["file", "runs", "pread64 calls", "bytes via pread64", "must-read bytes",
            "warm ms", "one read ms", "x", "cold ms", "one read ms", "x", "disk bytes (cold)"]
    head += ["%s warm x" % o for o in others] + ["%s cold x" % o for o in others]
    rows = []
    for c in data["cases"]:
        if "warm_ms" not in c:
            continue  # measured with --fat-only
        r = [c["case"], c["runs"], c["pread_calls"], c["pread_bytes"], c["needed_bytes"],
             "%.2f" % c["warm_ms"][main], "%.2f" % c["warm_ms"]["ref"], "%.2f" % c["warm_ratio"][main],
             "%.2f" % c["cold_ms"][main], "%.2f" % c["cold_ms"]["ref"], "%.2f" % c["cold_ratio"][main],
             "%s / %s" % (kib(c["cold_disk_bytes"][main]), kib(c["cold_disk_bytes"]["ref"]))]
        r += ["%.2f" % c["warm_ratio"][o] for o in others] + ["%.2f" % c["cold_ratio"][o] for o in others]
        rows.append(r)
    if rows:
        print("### Mapping cost on the host (`kelmo-map --test`)\n")
        print("Wall time from spawn to exit, median of %d runs (warm: image pages cached) and of %d runs "
              "(cold: the image's pages dropped with posix_fadvise before each run). \"one read\" is a static "
              "program reading once, front to back in 64 KiB reads, the bytes any reader must read (boot "
              "sector, directory entries up to the match, FAT entries of the chained directories and of the "
              "file). x = median of the back-to-back ratios kelmo-map / one read.\n" % (data["reps"], data["cold_reps"]))
        table(head, rows)
    fat = [c for c in data["cases"] if "fat_cold_ratio" in c]
    if fat:
        print("### FAT reads (`kelmo-map --test`, %s)\n" % main)
        print("For each file read through the FAT. Cold: wall time with the image's pages dropped before each "
              "run, against \"span read\", a static program reading once, in 1 MiB reads, the FAT bytes the "
              "file's chain spans (first to last entry), also from a cold cache; x = median of the ratios of "
              "%d pairs run in turns. Warm: (map of the file - map of the contiguous file of the same length "
              "on the same volume) / the file's clusters, median of %d pairs run in turns, with the image "
              "cached: the CPU cost of the walk.\n" % (data.get("fat_reps", 0), data.get("fat_reps", 0)))
        head = ["file", "FAT span bytes", "cold ms", "span read ms", "cold x", "warm ms", "contiguous ms",
                "warm ns/cluster"]
        rows = []
        for c in fat:
            w = c.get("fat_warm_ms", {})
            rows.append([c["case"], c["fat_span_bytes"], "%.2f" % c["fat_cold_ms"]["map"],
                         "%.2f" % c["fat_cold_ms"]["ref"], "%.2f" % c["fat_cold_ratio"],
                         "%.2f" % w["map"] if w else "-", "%.2f" % w["contig"] if w else "-",
                         "%.2f" % c["fat_warm_ns_per_cluster"] if w else "-"])
        table(head, rows)
        for c in fat:
            if not c["case"].startswith("8 GiB, 4 KiB clusters"):
                continue
            if c["case"].endswith("in order"):
                goals.append(("FAT reads, 8 GiB file in 4096 runs in disk order, 4 KiB clusters, cold: at most "
                              "1.5x one read of its FAT span", c["fat_cold_ratio"] <= 1.5, "x%.2f" % c["fat_cold_ratio"]))
                if "fat_warm_ns_per_cluster" in c:
                    ns = c["fat_warm_ns_per_cluster"]
                    goals.append(("FAT reads, the same file warm: at most 2 ns per cluster", ns <= 2, "%.2f ns" % ns))
            elif c["case"].endswith("shuffled"):
                goals.append(("FAT reads, 8 GiB file in 4096 runs in shuffled order, 4 KiB clusters, cold: at most "
                              "2x one read of its FAT span", c["fat_cold_ratio"] <= 2, "x%.2f" % c["fat_cold_ratio"]))
    for c in data["cases"]:
        if "warm_ratio" not in c:
            continue
        if c["case"] == "8 GiB, 4 KiB clusters, 4096 runs, in order":
            for kind in ("warm", "cold"):
                x = c["%s_ratio" % kind][main]
                goals.append(("fragmented 8 GiB file, 4 KiB clusters, mapped within 3x one read of its FAT "
                              "bytes (%s cache)" % kind, x <= 3, "x%.2f" % x))


def vm_part(logs, accel):
    reads = {}  # (disk, layout, phase, mode, name) -> {round: [us]}
    setup = {}  # (disk, layout, step) -> [us]
    rounds = {}  # disk -> rounds per boot
    requests = {}  # (disk, layout, phase, mode, name) -> [bytes per disk read request]
    info = {"checks": [], "queues": {}}
    for log in logs:
        key = None
        with open(log, errors="replace") as f:
            for line in f:
                # The first console line may carry the terminal's reset codes.
                if "KELMO-BENCH " not in line:
                    continue
                w = line[line.index("KELMO-BENCH "):].split()
                if w[1] == "layout":
                    key = (w[w.index("disk") + 1], w[2])
                    info["kernel"] = w[w.index("kernel") + 1]
                    rounds[key[0]] = w[w.index("rounds") + 1]
                elif w[1] == "error":
                    sys.exit("%s: %s" % (log, line.strip()))
                elif w[1] == "setup":
                    setup.setdefault(key + (w[2],), []).append(int(w[3]))
                elif w[1] == "read" and w[2] != "warmup":
                    reads.setdefault(key + tuple(w[2:5]), {}).setdefault(int(w[5]), []).append(int(w[6]))
                    if len(w) >= 9 and int(w[7]) > 0:  # disk requests and their sectors
                        requests.setdefault(key + tuple(w[2:5]), []).append(int(w[8]) * 512 / int(w[7]))
                elif w[1] == "check":
                    info["checks"].append("%s %s %s" % (key[1], w[2], w[3]))
                elif w[1] == "size":
                    info["iso_size"] = int(w[2])
                elif w[1] == "queue":
                    info["queues"][w[2]] = " ".join(w[3:])
    size = info["iso_size"]
    disks = sorted(rounds, key=lambda d: (d != "unthrottled", d))
    print("### Read throughput in the QEMU guest (%s, kernel %s)\n" % (accel.upper(), info["kernel"]))
    print("Sequential `dd bs=1M` of the whole ISO (%d bytes) from a cold page cache (caches dropped "
          "before each read); \"direct\" with O_DIRECT, \"buffered\" through the page cache. The raw "
          "partition is read over the contiguous ISO's byte range, in turns with the device (%s rounds "
          "per boot). The disk is the stick image, served by QEMU from the host's page cache "
          "(\"unthrottled\"), or with QEMU's throttling at a USB stick's read rate. MB/s: median; "
          "x raw: median over the rounds of raw time / device time; req KiB: the mean size of the read "
          "requests the virtio disk completed during the read (median over the reads).\n" % (
              size, ", ".join("%s for %s" % (rounds[d], d) for d in disks)))
    head = ["disk", "ISO layout", "device", "direct MB/s", "x raw", "req KiB", "buffered MB/s", "x raw", "req KiB"]
    rows = []
    found = {}
    for disk in disks:
        for layout in ("contig", "frag"):
            for phase, name, label in (("alt", "raw", "raw partition (phase 1)"),
                                       ("alt", "loop", "loop on the ISO file in mounted exFAT"),
                                       ("kelmo", "raw", "raw partition (phase 2)"),
                                       ("kelmo", "kelmo", "/dev/mapper/kelmo-iso")):
                r = [disk, layout, label]
                for mode in ("direct", "buffered"):
                    dev = reads.get((disk, layout, phase, mode, name))
                    raw = reads.get((disk, layout, phase, mode, "raw"))
                    if not dev or not raw:
                        r += ["-", "-", "-"]
                        continue
                    times = [t for ts in dev.values() for t in ts]
                    mbps = median(size / t for t in times)  # bytes per microsecond = MB/s
                    x = median(median(raw[k]) / median(v) for k, v in dev.items() if k in raw)
                    found[(disk, layout, name, mode)] = x
                    req = requests.get((disk, layout, phase, mode, name))
                    r += ["%.1f" % mbps, "%.3f" % x, "%.0f" % (median(req) / 1024) if req else "-"]
                rows.append(r)
    table(head, rows)
    print("Setting up (ms, median over the boots; wall time of each command in the guest, "
          "including its process start):\n")
    steps = ["insmod-exfat", "insmod-loop", "mount-exfat", "losetup", "insmod-dm_mod", "kelmo-map"]
    head = ["disk", "ISO layout"] + steps + ["usual way (4 steps)", "kelmo-map + insmod dm_mod"]
    rows = []
    for disk in disks:
        for layout in ("contig", "frag"):
            ms = {s: median(setup[(disk, layout, s)]) / 1000 for s in steps if (disk, layout, s) in setup}
            if not ms:
                continue
            alt = sum(ms.get(s, 0) for s in steps[:4])
            rows.append([disk, layout] + ["%.1f" % ms.get(s, float("nan")) for s in steps] +
                        ["%.1f" % alt, "%.1f" % (ms.get("kelmo-map", 0) + ms.get("insmod-dm_mod", 0))])
    table(head, rows)
    print("Block queues in the guest, as the kernel set them up: %s\n" % "; ".join(
        "%s %s" % kv for kv in sorted(info["queues"].items())))
    print("Content checks (sha256 of the whole device against the ISO, each boot): %s\n" % ", ".join(
        sorted(set(info["checks"]))))
    for disk in disks:
        for layout in ("contig", "frag"):
            for mode in ("direct", "buffered"):
                k, a = found.get((disk, layout, "kelmo", mode)), found.get((disk, layout, "loop", mode))
                if k is None:
                    continue
                what = "%s disk, %s ISO, %s reads: kelmo-iso" % (disk, layout, mode)
                goals.append(("%s at least 0.97 of the raw partition" % what, k >= 0.97, "x%.3f" % k))
                if a is not None:
                    goals.append(("%s above the loop device" % what, k > a, "x%.3f vs x%.3f" % (k, a)))


def gz(path):
    return len(subprocess.run(["gzip", "-9c", path], capture_output=True, check=True).stdout)


def size_part(binaries, modules):
    import os
    print("### Size\n")
    head = ["file", "bytes", "gzip -9 bytes"]
    rows = []
    sizes = {}
    for name, path in binaries + modules:
        sizes[name] = (os.path.getsize(path), gz(path))
        rows.append([name, sizes[name][0], sizes[name][1]])
    usual = [n for n, _ in modules if not n.startswith("dm_mod")]
    total = (sum(sizes[n][0] for n in usual), sum(sizes[n][1] for n in usual))
    rows.append([" + ".join(usual), total[0], total[1]])
    table(head, rows)
    for name, _ in binaries:
        goals.append(("%s smaller than %s" % (name, " + ".join(usual)), sizes[name][0] < total[0],
                      "%d vs %d bytes" % (sizes[name][0], total[0])))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--host")
    p.add_argument("--vm", nargs="*", default=[])
    p.add_argument("--accel", default="tcg", help="the accelerator QEMU ran the boots with")
    p.add_argument("--size", action="append", default=[])
    p.add_argument("--module", action="append", default=[])
    args = p.parse_args()
    if args.host:
        host_part(args.host)
    if args.vm:
        vm_part(args.vm, args.accel)
    if args.size or args.module:
        size_part([s.split("=", 1) for s in args.size], [m.split("=", 1) for m in args.module])
    if goals:
        print("### Goals\n")
        for what, ok, figure in goals:
            print("- %s %s: %s" % ("met" if ok else "MISSED", what, figure))


if __name__ == "__main__":
    main()
