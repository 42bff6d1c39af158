"""Plots the module's cost and its vendor-call floor against the number of live buffers, for
lock + unlock and alloc + free, from the JSON that gralloc_bench writes (--benchmark_out).
Run with Debian's own interpreter, which sees Debian's matplotlib: /usr/bin/python3."""
import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}

# (panel title, [(label, benchmark family, style)], y unit)
PANELS = [
    ("lock + unlock (read) of an idle GPU-used buffer",
     [("module", "BM_LockUnlockRead", "o-"), ("vendor calls", "BM_LockFloorRead", "s--")], "ns"),
    ("lock + unlock (write)",
     [("module", "BM_LockUnlockWrite", "o-"), ("vendor calls", "BM_LockFloorWrite", "s--")], "ns"),
    ("alloc + free of a 64 x 64 BGRA buffer",
     [("module", "BM_AllocFree64x64", "o-"), ("vendor calls", "BM_AllocFloor64x64", "s--")], "us"),
]


def medians(path):
    """Median (or only) real time in ns of each benchmark run, by run name."""
    with open(path) as f:
        data = json.load(f)
    out = {}
    for b in data["benchmarks"]:
        ns = b["real_time"] * UNIT_NS[b.get("time_unit", "ns")]
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                out[b["run_name"]] = ns
        elif b["run_name"] not in out:
            out[b["run_name"]] = ns
    return out


def series(meds, family):
    points = []
    for name, ns in meds.items():
        head, _, arg = name.partition("/")
        if head == family and arg.isdigit():
            points.append((int(arg), ns))
    return sorted(points)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: plot.py BENCH_JSON OUT_PNG")
    meds = medians(sys.argv[1])
    fig, axes = plt.subplots(1, len(PANELS), figsize=(15, 4.5))
    for ax, (title, lines, unit) in zip(axes, PANELS):
        scale = UNIT_NS[unit]
        for label, family, style in lines:
            pts = series(meds, family)
            if pts:
                ax.plot([p[0] for p in pts], [p[1] / scale for p in pts], style, label=label)
        ax.set_xscale("log", base=2)
        counts = sorted({p[0] for _, family, _ in lines for p in series(meds, family)})
        ax.set_xticks(counts)
        ax.set_xticklabels([str(c) for c in counts])
        ax.set_xlabel("live buffers in the process")
        ax.set_ylabel("median time per operation (%s)" % unit)
        ax.set_ylim(bottom=0)
        ax.set_title(title, fontsize=10)
        ax.grid(True, alpha=0.3)
        ax.legend()
    fig.suptitle("The module's cost and the floor of its vendor calls (simulated device, release build)")
    fig.tight_layout()
    fig.savefig(sys.argv[2], dpi=90)
    print("plot written to %s" % sys.argv[2])


if __name__ == "__main__":
    main()
