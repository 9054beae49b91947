#!/usr/bin/env python3
"""The benchmarks: an unattended archive run against the archivers administrators use, over the
same logging folder, made by orvel-sim with a fixed seed, and against the limit of the library the
engine deflates with.

    run.py BIN_DIR WORK_DIR [all] [--old OLD_BIN_DIR] [--only CASE[,CASE...]]

"all" adds the cases after the main one (see CASES). --old runs a second build's program as one
more contender ("old-run"), in the same rounds, over the same folders; --only runs the cases named.

Every run ends with "encrypted" (unless --only leaves it out): the main case's unattended run with a
passphrase against the same run without (medians of 7 runs, A B A B: the machine is shared), which
must stay within 1.10x; "--only encrypted" runs it alone. Then "obfuscated" (see cleaning.py): the
main case cleaned against the same run without, within 1.25x; "all" (or "--only sos") adds "sos",
the cleaning against sos clean on a small folder of planted identifiers.

For each case it prints wall time, CPU time, peak resident memory and archive size of every
contender (medians of the case's runs, taken in A B A B order), the limit line, and a line with
the case's name before
    ratio archive-run/zip-6 wall: X.XX  size: Y.YY  peak-rss-MiB: Z  cpu/byte vs libdeflate: C.CC
and, last, that line of the main case without its name.

The limit: libdeflate-gzip over the bytes the archive holds (the data_ files, and the readable
copies of the diag_ files, taken from the run's archive), at the levels the run uses for them (5
and 6), as two processes over two halves of the bytes. The run also formats the diag_ files, which
the limit does not: the formatting's own CPU, measured alone with bench_format, is taken off the
run's before the ratio is made.
"""
import os
import shutil
import statistics
import subprocess
import sys
import zipfile

import cleaning

args = sys.argv[1:]


def option(name):
    if name not in args:
        return None
    at = args.index(name)
    value = args[at + 1]
    del args[at:at + 2]
    return value


old_bin = option("--old")
only = option("--only")
bin_dir, work = os.path.abspath(args[0]), os.path.abspath(args[1])
extended = args[2:] == ["all"]
here = os.path.dirname(os.path.abspath(__file__))
DATA_LEVEL, TEXT_LEVEL = 5, 6


def measure(command):
    line = subprocess.run([sys.executable, os.path.join(here, "measure.py"), "--"] + command,
                          check=True, capture_output=True, text=True).stdout.split()
    return float(line[0]), float(line[1]), float(line[2]), int(line[3])


def simulate(case, arguments, generated=None):
    """The case's served product: orvel-sim's, its logs made by orvel-sim or, for a generated case,
    by bench/logfolder.py with `generated` as its arguments."""
    root = os.path.join(work, case, "orvel")
    if not os.path.exists(os.path.join(root, "registry.reg")):
        if generated:
            subprocess.run([sys.executable, os.path.join(here, "logfolder.py"), os.path.join(root, "logs")] + generated,
                           check=True)
        subprocess.run([os.path.join(bin_dir, "orvel-sim"), "--root", root, "--seed", "7"] + arguments,
                       check=True, stdout=subprocess.DEVNULL)
    return root


def logs_of(root):
    logs = os.path.join(root, "logs")
    return sorted(os.path.join(logs, f) for f in os.listdir(logs) if os.path.isfile(os.path.join(logs, f)))


def program_run(programs, label, passphrase_file=None, archive_settings="", kept=None):
    """`archive_settings`: more lines of [Archive]. `kept`: a folder whose files the settings folder
    starts with, and that keeps the obfuscation's key and map from one run to the next."""
    def run(case, root):
        """One unattended archive run: a fresh program folder and archive folder each time."""
        base = os.path.join(work, case, label)
        shutil.rmtree(base, ignore_errors=True)
        for folder in ("program", "archive", "config/Sorvik"):
            os.makedirs(os.path.join(base, folder))
        os.chmod(os.path.join(base, "config/Sorvik"), 0o700)
        for program in ("Sorvik", "sorvik-diag-formatter"):
            shutil.copy(os.path.join(programs, program), os.path.join(base, "program"))
        for name in os.listdir(kept) if kept else []:
            shutil.copy2(os.path.join(kept, name), os.path.join(base, "config/Sorvik"))
        with open(os.path.join(base, "config/Sorvik/Sorvik.ini"), "w") as ini:
            ini.write(f"[frmMain]\nArchiveFolderPath={base}/archive/\n[Archive]\n{archive_settings}")
            if passphrase_file:
                ini.write(f"PassphraseFile={passphrase_file}\n")
        os.environ["SORVIK_REGISTRY"] = os.path.join(root, "registry.reg")
        os.environ["XDG_CONFIG_HOME"] = os.path.join(base, "config")
        wall, cpu, rss, code = measure([os.path.join(base, "program", "Sorvik"), "/Silent"])
        archives = os.listdir(os.path.join(base, "archive"))
        size = os.path.getsize(os.path.join(base, "archive", archives[0])) if archives else 0
        if code != 0 or not archives:
            print(f"  (the archive run ended with status {code}; see {base}/program/logs)")
        for name in ("obfuscation.key", "obfuscation.map") if kept else ():
            if os.path.exists(os.path.join(base, "config/Sorvik", name)):
                shutil.copy2(os.path.join(base, "config/Sorvik", name), kept)
        return wall, cpu, rss, size
    return run


def zip_run(case, root):
    target = os.path.join(work, case, "zip6.zip")
    if os.path.exists(target):
        os.remove(target)
    listing = os.path.join(work, case, "zip6.list")
    with open(listing, "w") as out:
        out.write("\n".join(logs_of(root)) + "\n")
    wall, cpu, rss, _ = measure(["sh", "-c", f"zip -q -6 -j '{target}' -@ < '{listing}'"])
    return wall, cpu, rss, os.path.getsize(target)


def sevenzip_run(case, root):
    target = os.path.join(work, case, "7z5.zip")
    if os.path.exists(target):
        os.remove(target)
    wall, cpu, rss, _ = measure(["7z", "a", "-bd", "-tzip", "-mx5", target, os.path.join(root, "logs") + "/*"])
    return wall, cpu, rss, os.path.getsize(target)


def delivered(case):
    folder = os.path.join(work, case, "archive-run", "archive")
    return os.path.join(folder, os.listdir(folder)[0])


def verify(case):
    """The delivered archive, read back by Python's zipfile (CRCs), unzip -t and the strict check of
    the container."""
    archive = delivered(case)
    with zipfile.ZipFile(archive) as z:
        entries = len(z.infolist())
        bad = z.testzip()
    tested = subprocess.run(["unzip", "-tqq", archive], capture_output=True).returncode == 0
    strict = subprocess.run([sys.executable, os.path.join(here, "..", "tests", "support", "zipstrict.py"), archive],
                            capture_output=True, text=True)
    print(f"  archive read back: {entries} entries, zipfile {'OK' if bad is None else 'BAD ' + bad}, "
          f"unzip -t {'OK' if tested else 'FAILED'}, strict {'OK' if strict.returncode == 0 else strict.stderr.strip()}")


def halves(paths):
    """Two lists of about the same bytes."""
    parts, weights = ([], []), [0, 0]
    for path in sorted(paths, key=os.path.getsize, reverse=True):
        lighter = 0 if weights[0] <= weights[1] else 1
        parts[lighter].append(path)
        weights[lighter] += os.path.getsize(path)
    return parts


def limit_inputs(case, root):
    """The bytes the archive holds, by level: the data_ files as they are, the readable copies of
    the diag_ files as the run made them. A single file is cut in two halves, once, so that two
    processes share it as the run's workers do."""
    folder = os.path.join(work, case, "limit")
    made = os.path.join(folder, "made")
    if not os.path.exists(made):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(os.path.join(folder, "copies"))
        with zipfile.ZipFile(delivered(case)) as z:
            for info in z.infolist():
                if info.filename.lower().startswith("diag_"):
                    with z.open(info) as entry, open(os.path.join(folder, "copies", info.filename), "wb") as out:
                        shutil.copyfileobj(entry, out, 1 << 20)
        open(made, "w").close()
    data = [p for p in logs_of(root) if os.path.basename(p).lower().startswith("data_")]
    copies = [os.path.join(folder, "copies", f) for f in sorted(os.listdir(os.path.join(folder, "copies")))]
    levels = {DATA_LEVEL: data, TEXT_LEVEL: copies}
    if len(data) + len(copies) == 1:
        whole = (data + copies)[0]
        level = DATA_LEVEL if data else TEXT_LEVEL
        pieces = [os.path.join(folder, "half-a"), os.path.join(folder, "half-b")]
        if not all(os.path.exists(p) for p in pieces):
            size = os.path.getsize(whole)
            with open(whole, "rb") as source:
                for piece, length in zip(pieces, (size // 2, size - size // 2)):
                    with open(piece, "wb") as out:
                        while length > 0:
                            block = source.read(min(length, 1 << 20))
                            out.write(block)
                            length -= len(block)
        levels = {level: pieces}
    return levels


def limit_run(case, root):
    levels = limit_inputs(case, root)
    commands = ["", ""]
    for level, paths in levels.items():
        for i, part in enumerate(halves(paths)):
            if part:
                listing = os.path.join(work, case, "limit", f"list-{level}-{i}")
                with open(listing, "w") as out:
                    out.write("\n".join(part) + "\n")
                commands[i] += f"xargs -d '\\n' -a '{listing}' libdeflate-gzip -{level} -c > /dev/null; "
    script = " ".join(f"( {c}) &" for c in commands if c) + " wait"
    wall, cpu, rss, _ = measure(["sh", "-c", script])
    return wall, cpu, rss, sum(os.path.getsize(p) for paths in levels.values() for p in paths)


def formatting_cpu(case, root):
    """The CPU the run spends formatting diag_ files, measured alone."""
    if not any(os.path.basename(p).lower().startswith("diag_") for p in logs_of(root)):
        return 0.0
    os.environ["SORVIK_REGISTRY"] = os.path.join(root, "registry.reg")
    _, cpu, _, _ = measure([os.path.join(bin_dir, "bench_format"), os.path.join(root, "logs"),
                            os.path.join(work, case, "format")])
    return cpu


def bench(case, arguments, contenders, rounds, generated=None):
    root = simulate(case, arguments, generated)
    files = logs_of(root)
    data = sum(os.path.getsize(f) for f in files)
    print(f"== {case}: {len(files)} files, {data / 2**20:.0f} MiB, medians of {rounds} run{'s' if rounds > 1 else ''}")
    # Every contender finds the logs in the page cache, written back: the first one timed must
    # not pay for reading them from disk or for the writes that made them.
    os.sync()
    for name in files:
        with open(name, "rb") as log:
            while log.read(1 << 20):
                pass
    results = {name: [] for name, _ in contenders}
    for _ in range(rounds):
        for name, run in contenders:
            results[name].append(run(case, root))
    verify(case)
    limits = [limit_run(case, root) for _ in range(rounds)]
    formatting = statistics.median(formatting_cpu(case, root) for _ in range(min(rounds, 3)))
    medians = {}
    for name, runs in results.items():
        medians[name] = tuple(statistics.median(r[i] for r in runs) for i in range(4))
    limit = tuple(statistics.median(r[i] for r in limits) for i in range(4))
    for name, (wall, cpu, rss, size) in medians.items():
        print(f"  {name:12} wall {wall:8.2f} s  cpu {cpu:8.2f} s  peak-rss {rss:7.1f} MiB  size {size / 2**20:9.2f} MiB")
    print(f"  {'limit':12} wall {limit[0]:8.2f} s  cpu {limit[1]:8.2f} s  "
          f"(libdeflate-gzip -{DATA_LEVEL}/-{TEXT_LEVEL}, two processes over {limit[3] / 2**20:.0f} MiB)"
          f"{f'; formatting alone: cpu {formatting:.2f} s' if formatting else ''}")
    for name in medians:
        if name.endswith("-run"):
            engine = medians[name][1] - formatting
            print(f"  {name:12} engine cpu {engine:.2f} s = {engine / limit[1]:.2f}x the limit's")
    line = ratio(medians, limit, formatting)
    print(f"{case} {line}")
    return line


def ratio(medians, limit, formatting):
    a, z = medians["archive-run"], medians["zip-6"]
    return (f"ratio archive-run/zip-6 wall: {a[0] / z[0]:.2f}  size: {a[3] / z[3]:.2f}  peak-rss-MiB: {a[2]:.0f}"
            f"  cpu/byte vs libdeflate: {(a[1] - formatting) / limit[1]:.2f}")


NO_LOGS = ["--data", "0", "--diag", "0", "--other", "0"]
MAIN = ["--long-records", "--data", "40", "--data-size", str(8 << 20), "--diag", "40", "--diag-size", str(4 << 20), "--other", "4"]
# name, orvel-sim's arguments, whether 7-Zip runs too (it takes minutes on the large folders), runs
CASES = [
    ("main", MAIN, True, 3),
    # Logs unlike orvel-sim's own: varied text, deflating to about 28%.
    ("varied-text", ["--text-style", "varied", "--data", "24", "--data-size", "9875000", "--diag", "8",
                     "--diag-size", str(4 << 20), "--other", "2"], False, 3),
    # Text beside data_ files that hardly compress: packed records, compressed rotated logs.
    ("mixed-binary", ["--text-style", "mixed"] + MAIN[:-2] + ["--other", "2"], False, 3),
    # Small files of sizes spread from 0.3 to 24 KB and random names, a third diag_, some binary:
    # made by bench/logfolder.py, not by orvel-sim.
    ("6000-small-files", NO_LOGS, False, 5, ["--files", "6000", "--min", "300", "--max", "24000"]),
    ("many-small-files", ["--data", "10000", "--data-size", "1024", "--diag", "10000",
                          "--diag-size", "1024", "--other", "0"], False, 3),
    ("70000-files-zip64", ["--data", "70000", "--data-size", "200", "--diag", "0", "--other", "0"], False, 3),
    ("tiny-files", ["--data", "100000", "--data-size", "200", "--diag", "100000", "--diag-size", "200",
                    "--other", "0"], False, 3),
    # As many tiny files, of 60 to 400 bytes, made by bench/logfolder.py.
    ("tiny-files-generated", NO_LOGS, False, 3, ["--files", "200000", "--min", "60", "--max", "400", "--diag", "0.5"]),
    # Five times as many: the memory a file costs, against zip's, as the count grows.
    ("million-tiny-files", NO_LOGS, False, 1, ["--files", "1000000", "--min", "60", "--max", "400", "--diag", "0.5"]),
    # Writes as much as it reads (its readable copy goes to disk): the slowest to settle.
    ("one-1GiB-line", ["--data", "0", "--diag", "0", "--other", "0", "--long-line", str(1 << 30)], False, 5),
    ("5GiB-data-file", ["--data", "1", "--data-size", str(5 << 30), "--diag", "0", "--other", "0"], False, 1),
]


def encrypted(rounds=7):
    """The main case with a passphrase against the same run without; the encrypted archive is
    read back by 7-Zip with the passphrase."""
    case = "main"
    root = simulate(case, MAIN)
    secret = os.path.join(work, case, "passphrase")
    with open(os.open(secret, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as out:
        out.write("bench passphrase\n")
    os.chmod(secret, 0o600)
    contenders = [("plain", program_run(bin_dir, "archive-run")),
                  ("encrypted", program_run(bin_dir, "sorvik-encrypted", secret))]
    results = {name: [] for name, _ in contenders}
    print(f"== encrypted: the main case with a passphrase, {rounds} runs each")
    for _ in range(rounds):
        for name, run in contenders:
            results[name].append(run(case, root))
    medians = {}
    for name, runs in results.items():
        medians[name] = [statistics.median(r[i] for r in runs) for i in range(4)]
        walls = " ".join(f"{r[0]:.2f}" for r in runs)
        print(f"  {name:12} wall {medians[name][0]:8.2f} s  cpu {medians[name][1]:8.2f} s  "
              f"peak-rss {medians[name][2]:7.1f} MiB  size {medians[name][3] / 2**20:9.2f} MiB  (walls {walls})")
    folder = os.path.join(work, case, "sorvik-encrypted", "archive")
    archive = os.path.join(folder, os.listdir(folder)[0])
    tested = subprocess.run(["7z", "t", "-pbench passphrase", archive], capture_output=True).returncode == 0
    print(f"  encrypted archive read back: 7z t {'OK' if tested else 'FAILED'}")
    ratio_line = (f"ratio encrypted/plain wall: {medians['encrypted'][0] / medians['plain'][0]:.2f}  "
                  f"cpu: {medians['encrypted'][1] / medians['plain'][1]:.2f}  (limit 1.10)")
    print(f"encrypted {ratio_line}")
    return ratio_line



summary = None
for name, arguments, with_7z, rounds, *generated in CASES if extended else CASES[:1]:
    if only and name not in only.split(","):
        continue
    contenders = [("archive-run", program_run(bin_dir, "archive-run"))]
    if old_bin:
        contenders.append(("old-run", program_run(os.path.abspath(old_bin), "old-run")))
    contenders.append(("zip-6", zip_run))
    if with_7z:
        contenders.append(("7z-zip-5", sevenzip_run))
    line = bench(name, arguments, contenders, rounds, *generated)
    if name == "main":
        summary = line
        formatting = subprocess.run([os.path.join(bin_dir, "bench_format"), os.path.join(work, "main", "orvel", "logs"),
                                     os.path.join(work, "main", "format")], check=True, capture_output=True, text=True)
        print("  " + formatting.stdout.strip())

encrypted_line = encrypted() if not only or "encrypted" in only.split(",") else None
cleaning_lines = []
if not only or "obfuscated" in only.split(","):
    cleaning_lines.append(cleaning.obfuscated(work, bin_dir, MAIN, simulate, program_run))
if extended and not only or only and "sos" in only.split(","):
    cleaning_lines.append(cleaning.versus_sos(work, bin_dir, program_run))
if summary:
    print(summary)
if encrypted_line:
    print(f"encrypted {encrypted_line}")
for line in cleaning_lines:
    print(line)
