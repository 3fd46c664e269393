#!/usr/bin/python3
"""Figures of mail-restore-check for docs/PERFORMANCE.md, from what bench/run.sh wrote.

    check_report.py RESULTS_DIR        prints the check's targets and section

report.py includes the same lines in the whole report.
"""
import pathlib
import statistics
import sys

MS = 1e6
SIZES = [0, 10000, 100000, 1000000]


def _runs(results, name):
    path = pathlib.Path(results) / f"{name}.runs"
    if not path.exists():
        return []
    return [[int(field) for field in line.split()] for line in path.read_text().splitlines()]


def _fmt(values):
    return f"{min(values):.2f} / {statistics.median(values):.2f}"


def _status(ok):
    return "met" if ok else "**missed**"


def _figures(results):
    figures = {}
    for size in SIZES:
        check = _runs(results, f"example-{size}.check")
        tool = _runs(results, f"example-{size}.tool")
        if check:
            figures[size] = {
                "runs": len(check),
                "wall": [row[0] / MS for row in check],
                "own": [row[1] / MS for row in check],
                "total": [row[2] / MS for row in check],
                "tool_own": [row[1] / MS for row in tool],
            }
    return figures


def targets(results):
    """Rows of the Targets table."""
    figures = _figures(results)
    rows = []
    if 0 in figures and 1000000 in figures:
        empty, full = figures[0], figures[1000000]
        ratio = [min(full["wall"]) / min(empty["wall"]),
                 statistics.median(full["wall"]) / statistics.median(empty["wall"])]
        rows.append(f"| A check on 1 000 000-entry tables at most 1.5 times a check on empty "
                    f"ones | {ratio[0]:.2f} / {ratio[1]:.2f} times | {_status(ratio[1] <= 1.5)} |")
    own = [f for f in figures.values() if f["tool_own"]]
    if own:
        slower = [size for size, f in figures.items()
                  if f["tool_own"] and statistics.median(f["own"]) >= statistics.median(f["tool_own"])]
        rows.append(f"| The check's own CPU time below the tool's, at every table size "
                    f"| {'below at every size' if not slower else 'not below at ' + str(slower)} "
                    f"| {_status(not slower)} |")
    return rows


def section(results):
    """The check's section."""
    figures = _figures(results)
    if not figures:
        return []
    lines = ["## The check\n",
             "`mail-restore-check` on examples/domain.json right after the tool's runs, the "
             "aliases listed as virtual domains, so that it finds the server in sync. It reads "
             "each table with one `postmap -q -` run whatever its size. *Own CPU* is the "
             "check's process alone, *total CPU* with its postmap children; the tool's own CPU "
             "is from its runs on the same tables.\n",
             "| Table entries | Runs | Check wall | Check own CPU | Check total CPU "
             "| Tool own CPU |",
             "|---:|---:|---:|---:|---:|---:|"]
    for size, f in sorted(figures.items()):
        tool = _fmt(f["tool_own"]) if f["tool_own"] else ""
        lines.append(f"| {size:,} | {f['runs']} | {_fmt(f['wall'])} | {_fmt(f['own'])} "
                     f"| {_fmt(f['total'])} | {tool} |")
    lines.append("")
    return lines


if __name__ == "__main__":
    print("\n".join(targets(sys.argv[1]) + [""] + section(sys.argv[1])))
