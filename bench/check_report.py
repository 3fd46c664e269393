#!/usr/bin/python3
"""Figures of mail-restore-check for docs/PERFORMANCE.md, from what bench/run.sh and
bench/audit.sh wrote.

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


ALIAS_TARGET = 40000
KIB_PER_MIB = 1024


def _alias_figures(results):
    """The single check of one domain by its number of aliases: wall times, peak in KiB."""
    figures = {}
    for path in sorted(pathlib.Path(results).glob("aliases-*.check.runs")):
        count = int(path.name.split("-")[1].split(".")[0])
        rss = _runs(results, f"aliases-{count}.check.rss")
        figures[count] = {"wall": [row[0] / MS for row in _runs(results, f"aliases-{count}.check")],
                          "rss": [row[3] for row in rss]}
    return figures


def _audit_figures(results):
    audit, dumps = _runs(results, "audit.check"), _runs(results, "audit.dumps")
    if not audit or not dumps:
        return None
    tables = pathlib.Path(results) / "audit.tables.txt"
    return {"wall": [row[0] / MS for row in audit], "own": [row[1] / MS for row in audit],
            "dumps": [row[0] / MS for row in dumps],
            "ratio": [a[0] / d[0] for a, d in zip(audit, dumps)],
            "rss": [row[3] for row in _runs(results, "audit.rss")],
            "tables": tables.read_text().split("\n") if tables.exists() else []}


def _audit_targets(results):
    rows = []
    aliases = _alias_figures(results).get(ALIAS_TARGET)
    if aliases and aliases["wall"]:
        rows.append(f"| A document with 40 000 aliases checked in at most 1 s "
                    f"| {_fmt(aliases['wall'])} ms | {_status(statistics.median(aliases['wall']) <= 1000)} |")
    audit = _audit_figures(results)
    if audit:
        rows.append(f"| The audit of 100 000 documents at most 2 times the three `postmap -s` "
                    f"alone, in the same run | {min(audit['ratio']):.2f} / "
                    f"{statistics.median(audit['ratio']):.2f} times "
                    f"| {_status(statistics.median(audit['ratio']) <= 2)} |")
        peaks = audit["rss"] + [peak for f in _alias_figures(results).values() for peak in f["rss"]]
        if peaks:
            rows.append(f"| The check's and the audit's peak memory at most 512 MiB "
                        f"| {max(peaks) / KIB_PER_MIB:.0f} MiB at most "
                        f"| {_status(max(peaks) <= 512 * KIB_PER_MIB)} |")
    return rows


def _audit_section(results):
    aliases, audit = _alias_figures(results), _audit_figures(results)
    if not aliases and not audit:
        return []
    lines = ["## The check's cost in aliases, and the audit\n",
             "From bench/audit.sh. Every server is built as runs of its documents leave it "
             "(the entries the check reports missing on an empty server, the aliases listed as "
             "virtual domains, the mail directories), so that every run finds it in sync. A "
             "document with N aliases, checked alone (wall time in ms, min / median; peak "
             "resident set of one more run):\n",
             "| Aliases | Runs | Check wall | Peak |", "|---:|---:|---:|---:|"]
    for count, f in sorted(aliases.items()):
        if not f["wall"]:
            continue
        peak = f"{max(f['rss']) / KIB_PER_MIB:.0f} MiB" if f["rss"] else ""
        lines.append(f"| {count:,} | {len(f['wall'])} | {_fmt(f['wall'])} | {peak} |")
    if audit:
        lines += ["", "`mail-restore-check --all` on one stream of documents, against tables of "
                  + ", ".join(t.replace(" ", ": ") for t in audit["tables"] if t)
                  + " entries; its runs alternate with bare runs of the three `postmap -s` on "
                  "the same tables (ms, min / median):\n",
                  "| Runs | Audit wall | Audit own CPU | Three `postmap -s` | Ratio | Peak |",
                  "|---:|---:|---:|---:|---:|---:|",
                  f"| {len(audit['wall'])} | {_fmt(audit['wall'])} | {_fmt(audit['own'])} "
                  f"| {_fmt(audit['dumps'])} | {min(audit['ratio']):.2f} / "
                  f"{statistics.median(audit['ratio']):.2f} "
                  f"| {max(audit['rss']) / KIB_PER_MIB:.0f} MiB |" if audit["rss"] else "",
                  "",
                  "The floor is postmap's own: `postmap -s` takes and drops the table's lock "
                  "around every entry it prints (two `flock` calls per entry), so what a system "
                  "call costs on the machine moves the floor, and the ratio with it, far more "
                  "than it moves the audit. *Audit own CPU* is the scheduler's figure for the "
                  "check's process, which counts its main thread alone: neither the second "
                  "thread nor the postmap children."]
    lines.append("")
    return lines


def targets(results):
    """Rows of the Targets table."""
    figures = _figures(results)
    rows = _audit_targets(results)
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
        return _audit_section(results)
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
    return lines + _audit_section(results)


if __name__ == "__main__":
    print("\n".join(targets(sys.argv[1]) + [""] + section(sys.argv[1])))
