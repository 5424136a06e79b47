#!/usr/bin/env python3
"""The benchmark's figures from the driver's output (bench/driver.cpp), as one TSV line per
width, road and command:

    width road command median_ms p25_ms p75_ms paired_ms paired_lo_ms paired_hi_ms
    ratio ratio_lo ratio_hi wc wc_lo wc_hi

The paired columns are filled on the zklaunch lines. Medians taken apart and then
subtracted carry the noise of both; within one round the launcher and its pass-through
ran moments apart, so their difference is what the launcher itself costs, round by
round. paired_ms is the median of zklaunch - pass-through over the rounds, with a 95%
interval from order statistics (the ranks of the binomial around the median); ratio is
(median pass-through overhead + paired) / median pass-through overhead, where the
pass-through's overhead is pass-through - baseline, also round by round, and its interval
carries paired's. wc pairs the windowless launcher the same way: its overhead over hidden
against zklaunch's over baseline, as (median c + median(w - c)) / median c.

Usage: paired.py TIMES-FILE NATIVE32 > launch.tsv (NATIVE32 "32" when the 32-bit products
were timed)."""
import math
import sys
from collections import defaultdict

KINDS = {
    64: ["baseline", "baseline-hidden", "passthrough", "passthrough-shell", "zklaunch", "zklaunchw"],
    32: ["baseline", "baseline-hidden", "passthrough32", "passthrough-shell32", "zklaunch32", "zklaunchw32"],
}
NAMES = ["baseline", "hidden", "pass-through", "pass+folder", "zklaunch", "zklaunchw"]


def median(values):
    v = sorted(values)
    n = len(v)
    return (v[(n - 1) // 2] + v[n // 2]) / 2


def median_interval(values):
    """The median and a 95% interval from order statistics: the ranks n/2 -+ 1.96 sqrt(n)/2."""
    v = sorted(values)
    n = len(v)
    half = 1.96 * math.sqrt(n) / 2
    lo = max(0, int(math.floor(n / 2 - half)))
    hi = min(n - 1, int(math.ceil(n / 2 + half)) - 1)
    return median(v), v[lo], v[hi]


def main():
    times_file, native32 = sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else ""
    summary = {}
    rounds = defaultdict(dict)  # (road, kind) -> {round: us}
    roads = []
    with open(times_file) as f:
        for line in f:
            fields = line.split()
            if not fields or fields[0].startswith("#"):
                continue
            if fields[0] == "t":
                _, road, kind, index, us = fields
                rounds[road, kind][int(index)] = float(us) / 1000
            else:
                road, kind = fields[0], fields[1]
                summary[road, kind] = [float(x) / 1000 for x in fields[2:5]]
                if road not in roads:
                    roads.append(road)
    print("\t".join(["width", "road", "command", "median_ms", "p25_ms", "p75_ms", "paired_ms", "paired_lo_ms",
                     "paired_hi_ms", "ratio", "ratio_lo", "ratio_hi", "wc", "wc_lo", "wc_hi"]))
    for width in (64, 32):
        if width == 32 and native32 != "32":
            break
        base, hidden, passthrough, _, zk, zkw = KINDS[width]
        for road in roads:
            def per_round(kind):
                return rounds[road, kind]
            common = sorted(set(per_round(base)) & set(per_round(passthrough)) & set(per_round(zk)))
            pass_overhead = median([per_round(passthrough)[i] - per_round(base)[i] for i in common])
            paired, paired_lo, paired_hi = median_interval([per_round(zk)[i] - per_round(passthrough)[i]
                                                            for i in common])
            c = [per_round(zk)[i] - per_round(base)[i] for i in common]
            w = [per_round(zkw)[i] - per_round(hidden)[i] for i in common]
            c_median = median(c)
            wc, wc_lo, wc_hi = median_interval([wi - ci for wi, ci in zip(w, c)])
            for kind, name in zip(KINDS[width], NAMES):
                m, p25, p75 = summary[road, kind]
                cells = [str(width), road, name, f"{m:.1f}", f"{p25:.1f}", f"{p75:.1f}"]
                if name == "zklaunch":
                    cells += [f"{paired:.2f}", f"{paired_lo:.2f}", f"{paired_hi:.2f}"]
                    cells += [f"{(pass_overhead + x) / pass_overhead:.3f}" for x in (paired, paired_lo, paired_hi)]
                    cells += [f"{(c_median + x) / c_median:.3f}" for x in (wc, wc_lo, wc_hi)]
                else:
                    cells += [""] * 9
                print("\t".join(cells))


if __name__ == "__main__":
    main()
