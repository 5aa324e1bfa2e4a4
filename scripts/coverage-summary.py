#!/usr/bin/env python3
"""Prints line and branch coverage per source folder from gcovr's JSON summary.

One line per folder: src/<subsystem> for each subsystem, src/platform (with its Linux
half), src/helper, src/wire, sim (with its tools) and client.
"""
import json
import sys
from collections import defaultdict


def folder(path):
    parts = path.split("/")
    if parts[0] == "src" and len(parts) > 2:
        return "src/" + parts[1]
    if parts[0] in ("sim", "client"):
        return parts[0]
    return None


def percent(covered, total):
    return f"{100.0 * covered / total:5.1f}%" if total else "    -"


def main():
    with open(sys.argv[1]) as f:
        summary = json.load(f)
    sums = defaultdict(lambda: [0, 0, 0, 0])
    for entry in summary["files"]:
        name = folder(entry["filename"])
        if name is None:
            continue
        row = sums[name]
        row[0] += entry["line_covered"]
        row[1] += entry["line_total"]
        row[2] += entry["branch_covered"]
        row[3] += entry["branch_total"]
    width = max(len(name) for name in sums)
    for name in sorted(sums):
        lines_covered, lines, branches_covered, branches = sums[name]
        print(f"{name:<{width}}  lines {percent(lines_covered, lines)}  branches {percent(branches_covered, branches)}")


if __name__ == "__main__":
    main()
