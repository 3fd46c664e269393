#!/usr/bin/python3
"""Turns the results of make bench into docs/PERFORMANCE.md and docs/performance.png.

    report.py RESULTS_DIR DOCS_DIR

RESULTS_DIR holds what bench/run.sh wrote (one line per run) and micro.json, the output of
corvo_micro_bench. Every figure is given as the minimum and the median of the repeated runs.
"""
import json
import pathlib
import re
import statistics
import sys

import matplotlib

import check_report

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

results = pathlib.Path(sys.argv[1])
docs = pathlib.Path(sys.argv[2])
MS = 1e6


def runs(name):
    path = results / f"{name}.runs"
    if not path.exists():
        return []
    return [[int(field) for field in line.split()] for line in path.read_text().splitlines()]


def column(rows, index, scale=1.0):
    return [row[index] / scale for row in rows]


def low_mid(values):
    return min(values), statistics.median(values)


def fmt(values, digits=2):
    low, mid = low_mid(values)
    return f"{low:.{digits}f} / {mid:.{digits}f}"


def measured(label):
    """Figures of one document and table size: the tool's runs against its bare children."""
    tool, bare = runs(f"{label}.tool"), runs(f"{label}.bare")
    spawn = runs(f"{label}.spawn")
    others = {path.name[len(label) + 6:-5]: runs(path.name[:-5])
              for path in sorted(results.glob(f"{label}.also-*.runs"))}
    if not tool or not bare:
        return None
    wall = column(tool, 0, MS)
    own = column(tool, 1, MS)
    children = [(row[2] - row[1]) / MS for row in tool]
    bare_wall = column(bare, 0, MS)
    return {
        "runs": len(tool),
        "calls": bare[0][2],
        "wall": wall,
        "own": own,
        "children": children,
        "bare_wall": bare_wall,
        "bare_cpu": column(bare, 1, MS),
        "bare_own": column(bare, 4, MS),
        # Relative extra wall time of a run, at the minimum and at the median.
        "overhead": [min(wall) / min(bare_wall) - 1,
                     statistics.median(wall) / statistics.median(bare_wall) - 1],
        # The same children started by posix_spawn, the replay timed as a whole process
        # exactly as the tool is (measure_run): wall, own CPU, its children's CPU.
        "spawn_wall": column(spawn, 0, MS),
        "spawn_own": column(spawn, 1, MS),
        "spawn_cpu": [(row[2] - row[1]) / MS for row in spawn],
        # Other builds of the tool, timed in the same rounds: wall, own CPU, children's CPU.
        "others": {name: {"wall": column(rows, 0, MS), "own": column(rows, 1, MS),
                          "children": [(row[2] - row[1]) / MS for row in rows]}
                   for name, rows in others.items() if rows},
    }


def ratios(over, under):
    """over / under at the minimum and at the median."""
    return [min(over) / min(under), statistics.median(over) / statistics.median(under)]


def fmt_ratio(values):
    return f"{values[0]:.2f} / {values[1]:.2f} times"


sizes = [0, 10000, 100000, 1000000]
by_size = {size: measured(f"example-{size}") for size in sizes}
by_size = {size: figures for size, figures in by_size.items() if figures}
aliases = measured("aliases-1000")
empty_program = column(runs("empty"), 1, MS)
rss = column(runs("example.rss"), 3, 1024)
alias_rss = column(runs("aliases-1000.rss"), 3, 1024)

instructions = None
callgrind = results / "example.callgrind.txt"
callgrind_top = []
if callgrind.exists():
    text = callgrind.read_text()
    total = re.search(r"([\d,]+) \(100.0%\)\s+PROGRAM TOTALS", text)
    instructions = int(total.group(1).replace(",", "")) if total else None
    for line in text.splitlines():
        found = re.match(r"\s*([\d,]+) \(\s*([\d.]+)%\)\s+(\S+)", line)
        if found and "PROGRAM" not in line and len(callgrind_top) < 8:
            where = found.group(3).split(":")[-1]
            library = re.search(r"\[(.*)\]", line)
            callgrind_top.append((found.group(2), where,
                                  pathlib.Path(library.group(1)).name if library else "(inlined)"))

# Inclusive shares of the tool's own samples (perf, its process alone), averaged over runs.
perf_frames = {
    "fork (kernel_clone)": "kernel_clone",
    "page faults (mostly copy-on-write after fork)": "asm_exc_page_fault",
    "dynamic loading and relocation (_dl_start_user)": "_dl_start_user",
    "select": "__select",
    "all system calls": "entry_SYSCALL_64_after_hwframe",
}
perf_shares = {}
perf_file = results / "example.perf.txt"
if perf_file.exists():
    samples = {}
    for line in perf_file.read_text().splitlines():
        found = re.match(r"\s*([\d.]+)%\s+[\d.]+%\s+\[[.k]\]\s+(\S+)", line)
        if found:
            samples.setdefault(found.group(2), []).append(float(found.group(1)))
    for name, symbol in perf_frames.items():
        if symbol in samples:
            perf_shares[name] = sum(samples[symbol]) / 10

micro = {}
micro_file = results / "micro.json"
if micro_file.exists():
    for entry in json.loads(micro_file.read_text())["benchmarks"]:
        if entry.get("run_type") != "iteration":
            continue
        micro.setdefault(entry["run_name"], []).append(entry)


def micro_rate(name):
    values = [entry.get("bytes_per_second", 0) / 1e6 for entry in micro.get(name, [])]
    return values


def micro_ns(name):
    return [entry["cpu_time"] for entry in micro.get(name, [])]


# The plot: cost of one run against table size.
if by_size:
    xs = sorted(by_size)
    positions = [max(x, 1) for x in xs]
    fig, ax = plt.subplots(figsize=(7, 4.2), dpi=110)
    for key, label, style in [("wall", "mail-restore, wall time", "o-"),
                              ("bare_wall", "its children run bare, wall time", "s--")]:
        ax.plot(positions, [statistics.median(by_size[x][key]) for x in xs], style,
                label=label + " (median)")
        ax.plot(positions, [min(by_size[x][key]) for x in xs], style, alpha=0.35,
                label=label + " (minimum)")
    ax.plot(positions, [statistics.median(by_size[x]["own"]) for x in xs], "^:",
            label="mail-restore's own CPU time (median)")
    ax.set_xscale("log")
    ax.set_xticks(positions)
    ax.set_xticklabels(["0" if x == 0 else f"{x:,}" for x in xs])
    ax.set_xlabel("entries in each of the three tables before the run")
    ax.set_ylabel("milliseconds per run")
    ax.set_ylim(bottom=0)
    ax.set_title("Cost of one run on the example document")
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(docs / "performance.png")


def status(ok):
    return "met" if ok else "**missed**"


lines = []
add = lines.append
machine_before = (results / "machine-before.txt").read_text().rstrip() \
    if (results / "machine-before.txt").exists() else "(not recorded)"
machine_after = (results / "machine-after.txt").read_text().rstrip() \
    if (results / "machine-after.txt").exists() else "(not recorded)"

add("# Performance\n")
add("Generated by `make bench` (bench/report.py); do not edit by hand. Figures are "
    "*minimum / median* over repeated runs; times in milliseconds unless marked.\n")

add("## Targets\n")
add("| Target | Measured | |")
add("|---|---|---|")
empty = by_size.get(0)
if empty:
    add(f"| Wall time of a run within 5% of its children's wall time (example document, "
        f"empty tables) | {empty['overhead'][0] * 100:+.1f}% / {empty['overhead'][1] * 100:+.1f}% "
        f"| {status(empty['overhead'][1] <= 0.05)} |")
    add(f"| Own CPU time under 1 ms per run (example document) | {fmt(empty['own'])} ms "
        f"| {status(min(empty['own']) < 1)} |")
if empty and 1000000 in by_size:
    full = by_size[1000000]
    ratio = [min(full["wall"]) / min(empty["wall"]),
             statistics.median(full["wall"]) / statistics.median(empty["wall"])]
    add(f"| A run on 1 000 000-entry tables at most 1.5 times a run on empty ones "
        f"| {ratio[0]:.2f} / {ratio[1]:.2f} times | {status(ratio[1] <= 1.5)} |")
if empty and empty["spawn_wall"]:
    wall = ratios(empty["wall"], empty["spawn_wall"])
    own = ratios(empty["own"], empty["spawn_own"])
    children = ratios(empty["children"], empty["spawn_cpu"])
    add(f"| Wall time at most 1.05 times the posix_spawn replay | {fmt_ratio(wall)} "
        f"| {status(wall[1] <= 1.05)} |")
    add(f"| Own CPU time at most 1.5 times the posix_spawn replay's own (whole processes) "
        f"| {fmt_ratio(own)} | {status(own[1] <= 1.5)} |")
    add(f"| Children's CPU time within 5% of theirs under the posix_spawn replay "
        f"| {fmt_ratio(children)} | {status(abs(children[1] - 1) <= 0.05)} |")
reader = micro_rate("BM_ReadDomainDocument/10485760")
if reader:
    add(f"| Reader with the binding at least 200 MB/s on the 10 MiB document "
        f"| {min(reader):.0f} / {statistics.median(reader):.0f} MB/s | "
        f"{status(statistics.median(reader) >= 200)} |")
if rss:
    add(f"| Peak RSS under 8 MiB (example document) | {fmt(rss)} MiB "
        f"| {status(max(rss) < 8)} |")
lines.extend(check_report.targets(results))
add("")

if empty and empty_program:
    floor = [min(empty_program) + min(empty["bare_own"]),
             statistics.median(empty_program) + statistics.median(empty["bare_own"])]
    add("## What a run cannot go below on this machine\n")
    add("Own CPU time of processes that do no work of their own (example document, empty "
        "tables). A program that starts these children pays at least the sum of the two.\n")
    add("| Process | Own CPU |")
    add("|---|---:|")
    add(f"| A statically linked program that does nothing: its exec and exit alone "
        f"| {fmt(empty_program)} |")
    add(f"| Starting and reaping the run's {empty['calls']} children, from a driver that does "
        f"nothing else (`replay_calls`, its loop alone) | {fmt(empty['bare_own'])} |")
    add(f"| The sum: the least any program starting these children costs itself "
        f"| {floor[0]:.2f} / {floor[1]:.2f} |")
    add(f"| `mail-restore` | {fmt(empty['own'])} |")
    add(f"| `mail-restore` above that least | {min(empty['own']) - floor[0]:.2f} / "
        f"{statistics.median(empty['own']) - floor[1]:.2f} |")
    add("")

add("## Whole runs in the sandbox\n")
add("One run of `mail-restore` on examples/domain.json, postmap Debian's own, the sibling "
    "utilities a stand-in that exits at once. *Bare* is the same children, the same command "
    "lines and the same standard input, run one after another by `replay_calls` with no "
    "tool around them: the physical limit of a run. *Children CPU* is the CPU time of the "
    "tool's children during its run.\n")
add("| Table entries | Runs | Calls | Tool wall | Bare wall | Extra wall | Tool own CPU "
    "| Children CPU | Bare CPU |")
add("|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
for size, f in sorted(by_size.items()):
    add(f"| {size:,} | {f['runs']} | {f['calls']} | {fmt(f['wall'])} | {fmt(f['bare_wall'])} | "
        f"{f['overhead'][0] * 100:+.1f}% / {f['overhead'][1] * 100:+.1f}% | {fmt(f['own'])} | "
        f"{fmt(f['children'])} | {fmt(f['bare_cpu'])} |")
if aliases:
    add(f"| 1000 aliases, empty tables | {aliases['runs']} | {aliases['calls']} | "
        f"{fmt(aliases['wall'], 0)} | {fmt(aliases['bare_wall'], 0)} | "
        f"{aliases['overhead'][0] * 100:+.1f}% / {aliases['overhead'][1] * 100:+.1f}% | "
        f"{fmt(aliases['own'], 1)} | {fmt(aliases['children'], 0)} | "
        f"{fmt(aliases['bare_cpu'], 0)} |")
add("")


def having(key):
    """(label, figures) of each table size, then of 1000 aliases, with figures under key."""
    found = [(f"{size:,}", f) for size, f in sorted(by_size.items()) if f[key]]
    if aliases and aliases[key]:
        found.append(("1000 aliases", aliases))
    return found


spawned = having("spawn_wall")
if spawned:
    add("The same children started by `posix_spawn` (`replay_calls --spawn`, which copies "
        "nothing of the driver), in the same rounds, the replay timed as a whole process "
        "exactly as the tool is (`measure_run`: its start, loader and exit included, linked "
        "as the tool is); *ratio* is the tool's figure over the replay's.\n")
    add("| Table entries | Spawn replay wall | Tool wall ratio | Spawn replay own CPU | Tool "
        "own CPU ratio | Spawn children CPU | Tool children CPU ratio |")
    add("|---:|---:|---:|---:|---:|---:|---:|")
    for label, f in spawned:
        add(f"| {label} | {fmt(f['spawn_wall'])} | {fmt_ratio(ratios(f['wall'], f['spawn_wall']))} "
            f"| {fmt(f['spawn_own'])} | {fmt_ratio(ratios(f['own'], f['spawn_own']))} "
            f"| {fmt(f['spawn_cpu'])} | {fmt_ratio(ratios(f['children'], f['spawn_cpu']))} |")
    add("")
others = having("others")
if others:
    add("Other builds of the tool in the same rounds (BENCH_ALSO): *dynamic* is this source "
        "built to load the C++ runtime and libcrypto at run time, as Debian builds usually "
        "do; *unhardened* is this source built without the hardening every build has "
        "(`-DCORVO_HARDENING=OFF`: no PIE, lazy binding, no relro, no stack protector, no "
        "fortify), so that its column shows what the flags cost; any other name is the build "
        "given for a before-and-after.\n")
    add("| Table entries | Build | Wall | Own CPU | Children CPU | Own CPU over this build's |")
    add("|---:|---|---:|---:|---:|---:|")
    for label, f in others:
        for name, o in f["others"].items():
            add(f"| {label} | {name} | {fmt(o['wall'])} | {fmt(o['own'])} | "
                f"{fmt(o['children'])} | {fmt_ratio(ratios(o['own'], f['own']))} |")
    add("")
add("![Cost of one run against table size](performance.png)\n")
if rss:
    add(f"Peak resident set of the tool's own process: {fmt(rss)} MiB on the example document"
        + (f", {fmt(alias_rss)} MiB with 1000 aliases." if alias_rss else ".") + "\n")
if instructions:
    add(f"Instructions the tool's own process executes in user space (callgrind, one run, "
        f"repeatable): {instructions:,}. The largest shares:\n")
    add("| Share | Function | Object |")
    add("|---:|---|---|")
    for share, where, library in callgrind_top:
        add(f"| {share}% | `{where}` | {library} |")
    add("")
if perf_shares:
    add("Where the tool's own CPU time goes (perf samples of its process alone, inclusive "
        "shares, mean of ten runs):\n")
    add("| Share | Frame |")
    add("|---:|---|")
    for name, share in perf_shares.items():
        add(f"| {share:.0f}% | {name} |")
    add("")

lines.extend(check_report.section(results))

add("## Micro benchmarks\n")
add("Google Benchmark (corvo_micro_bench), CPU time per iteration, so that other load on the "
    "machine counts as little as possible; rates from the same CPU time.\n")
add("| Benchmark | CPU time per iteration (ns) | Rate (MB/s) |")
add("|---|---:|---:|")
for name in micro:
    rate = micro_rate(name)
    add(f"| `{name}` | {fmt(micro_ns(name), 0)} | {fmt(rate, 0) if rate and max(rate) > 0 else ''} |")
add("")
add("The reader benchmarks copy the pristine document into the work buffer first (the reader "
    "writes into it); `BM_DocumentCopy` shows that copy alone.\n")

for part in ("ANALYSIS.md", "METHOD.md"):
    add(pathlib.Path(__file__).with_name(part).read_text().rstrip() + "\n")

add("## Machine\n")
add("At the start:\n")
add("```\n" + machine_before + "\n```\n")
add("At the end:\n")
add("```\n" + machine_after + "\n```")
(docs / "PERFORMANCE.md").write_text("\n".join(lines) + "\n")
