#!/usr/bin/env python3
"""Before/after on the same machine at the same time: times two builds of
plugin_vistrel and the floor in the same hyperfine rounds, case by case, so a
change is judged by figures that met the same load.

  python3 bench/compare.py BEFORE_BIN AFTER_BIN [--out FILE]

The cases, environments and floor are those of bench.py; no budgets here.
"""
import argparse
import os
import shlex
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402


def main():
    p = argparse.ArgumentParser()
    p.add_argument("before")
    p.add_argument("after")
    p.add_argument("--floor", default=os.path.join(bench.ROOT, "build", "bench", "floor-musl"))
    p.add_argument("--out")
    p.add_argument("--title", default="Before and after")
    p.add_argument("--rounds", type=int, default=80)
    p.add_argument("--runs", type=int, default=12)
    p.add_argument("--warmup", type=int, default=5)
    args = p.parse_args()
    before, after, floor_bin = (os.path.abspath(x) for x in (args.before, args.after, args.floor))
    args.bin = before
    load_before = os.getloadavg()
    rows = []
    for name, env, _budget, floor_cmds, expect in bench.cases(args):
        sizes = []
        for b in (before, after):
            status, body = bench.run_once(b, env)
            if status != 0 or expect.encode() not in body:
                sys.exit("compare: %s gave no expected answer for %r" % (b, name))
            sizes.append(len(body))
        cmds = [shlex.quote(before), shlex.quote(after),
                " ".join(shlex.quote(a) for a in [floor_bin, str(sizes[0])] + floor_cmds)]
        runs = args.runs if not floor_cmds else max(10, args.runs // 4)
        (mb, ma, mf), (rb, ra, _) = bench.measure(cmds, env, args.rounds, runs, args.warmup, ref=2)
        rss_b = bench.peak_rss_kib([before], env, 5)
        rss_a = bench.peak_rss_kib([after], env, 5)
        rows.append([name, bench.ms(mf), bench.ms(mb), "%.2f" % rb, bench.ms(ma), "%.2f" % ra,
                     "%+.1f%%" % ((ra / rb - 1) * 100), str(rss_b), str(rss_a)])
        print("%-32s %s" % (name, " ".join(rows[-1][1:])), flush=True)
    load_after = os.getloadavg()
    m = bench.machine()
    header = ["case", "floor ms", "before ms", "before ratio", "after ms", "after ratio", "after vs before",
              "before RSS KiB", "after RSS KiB"]
    sizes = []
    for b in (before, after):
        sz = subprocess.run(["size", b], capture_output=True, text=True).stdout.splitlines()[-1].split()
        sizes.append("%d bytes (text %s)" % (os.path.getsize(b), sz[0]))
    lines = ["# %s" % args.title, "",
             "Measured %s UTC on %d CPUs (%s), Linux %s, %s; shared machine (load average %.2f before, %.2f"
             " after). %d rounds of %d runs; in each round the two builds and the floor run in turn, each"
             " taking each place. Times are medians over all runs; ratios (and after vs before) the median"
             " over the rounds of the ratio to the floor within each round (bench.py says why). Before: %s."
             " After: %s."
             % (time.strftime("%Y-%m-%d %H:%M", time.gmtime()), m["nproc"], m["cpu"], m["kernel"], m["hyperfine"],
                load_before[0], load_after[0], args.rounds, args.runs, sizes[0], sizes[1]),
             "",
             "| " + " | ".join(header) + " |",
             "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    lines.append("")
    text = "\n".join(lines)
    print()
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
