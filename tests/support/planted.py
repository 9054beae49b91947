#!/usr/bin/env python3
"""Counts what a cleaning did to the identifiers orvel-sim planted (--plant-identifiers LIST).

    planted.py LIST (ARCHIVE.zip | FOLDER)

Each listed value stands on a line between a known text before and after it: it counts as
replaced when that line still has the text around it and something else in its place; a
near-miss counts as kept when the line still holds it. A value planted in a file's name counts as
replaced when no entry has that name. Prints recall by kind, the near-misses kept, and every miss;
exits 0 only when there were identifiers, every one was replaced and every near-miss kept."""
import collections
import os
import sys
import zipfile


def entries(where):
    if zipfile.is_zipfile(where):
        with zipfile.ZipFile(where) as archive:
            return {i.filename: archive.read(i) for i in archive.infolist()}
    return {name: open(os.path.join(where, name), "rb").read() for name in os.listdir(where)
            if os.path.isfile(os.path.join(where, name))}


def main(listing, where):
    found = entries(where)
    lines = {name: [line.rstrip("\r") for line in data.decode("latin-1").split("\n")]
             for name, data in found.items()}
    replaced, kept, misses = collections.Counter(), collections.Counter(), []
    rows = [row.rstrip("\n").split("\t") for row in open(listing, encoding="latin-1")][1:]
    for entry, number, kind, form, value, before, after in rows:
        if number == "0":
            done = entry not in found
        else:
            text = (lines.get(entry, []) + [""] * int(number))[int(number) - 1]
            at = text.find(before)
            middle = text[at + len(before):len(text) - len(after)] if at >= 0 else None
            whole = middle is not None and text.endswith(after) and at + len(before) <= len(text) - len(after)
            done = middle == value if kind == "near-miss" else whole and middle != value
        (kept if kind == "near-miss" else replaced)[kind, done] += 1
        if not done:
            misses.append(f"{kind}/{form} {value!r} in {entry}:{number}")
    kinds = sorted({kind for kind, _ in replaced})
    total = sum(replaced.values())
    print("recall %d/%d" % (sum(n for (_, d), n in replaced.items() if d), total),
          " ".join(f"{k} {replaced[k, True]}/{replaced[k, True] + replaced[k, False]}" for k in kinds))
    print("near-misses kept %d/%d" % (kept["near-miss", True], sum(kept.values())))
    for miss in misses:
        print("  missed:", miss)
    return 0 if total and not misses else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
