#!/usr/bin/env python3
"""Turns Google Benchmark's JSON (median of the repetitions, CPU time) into
the one side-by-side table scripts/bench prints."""

import json
import sys

LAYOUTS = ["aligned", "misaligned (dst+3, src+1)", "overlap down, distance 1",
           "overlap down, distance 8", "overlap down, distance 13"]


def load(path):
    runs = {}
    for run in json.load(open(path))["benchmarks"]:
        if run.get("aggregate_name", "median") != "median":
            continue
        name = run["run_name"] if "run_name" in run else run["name"]
        runs[name] = run
    return runs


def ns(run):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6}[run["time_unit"]]
    return run["cpu_time"] * scale


def side_by_side(runs, ours, theirs, layouts):
    print("| %s vs %s | bytes | %s ns | %s ns | ratio |" % (ours, theirs, ours, theirs))
    print("|---|---:|---:|---:|---:|")
    worst = (0, None)
    for layout, label in enumerate(layouts):
        for name in sorted((n for n in runs if n.startswith(ours + "/") and
                            n.endswith("/%d" % layout)), key=lambda n: int(n.split("/")[1])):
            size = int(name.split("/")[1])
            mine, lib = ns(runs[name]), ns(runs[name.replace(ours, theirs, 1)])
            ratio = mine / lib
            worst = max(worst, (ratio, "%s %s bytes" % (label, size)))
            print("| %s | %d | %.1f | %.1f | %.2f |" % (label, size, mine, lib, ratio))
    print("\nworst %s ratio: %.2f (%s)\n" % (ours, worst[0], worst[1]))


def main():
    runs = load(sys.argv[1])
    image_size = int(sys.argv[2])
    side_by_side(runs, "CopyBytes", "memmove", LAYOUTS)
    side_by_side(runs, "FillBytes", "memset", LAYOUTS[:2])
    print("| driver path | figure |")
    print("|---|---:|")
    for name, label in (("RewriteProductName/host_fakes", "through the unit tests' fakes"),
                        ("RewriteProductName/lean", "through lean stand-ins")):
        print("| RewriteProductName, typical type 1, %s | %.0f ns per structure |" %
              (label, ns(runs[name])))
    walk = runs["OnTriggerInstalled/ovmf_table"]
    probes = walk["probes"]
    print("| walk of the OVMF-shaped table: probes | %d |" % probes)
    print("| walk: strap port reads | %d |" % walk["strap_reads"])
    print("| walk: total | %.0f us |" % (ns(walk) / 1e3))
    print("| walk: per probe | %.1f ns |" % (ns(walk) / probes))
    print("| driver image SmbiosBoardName.efi | %d bytes |" % image_size)


if __name__ == "__main__":
    main()
