#!/usr/bin/env python3
"""The benchmarks: an unattended archive run against the archivers administrators use, over the
same logging folder, made by orvel-sim with a fixed seed.

    run.py BIN_DIR WORK_DIR [all | encrypted]

"all" adds 20,000 files of 1 KB, 70,000 files (ZIP64 by count), one diag_ file holding a single
1 GiB line, and one 5 GiB data_ file (ZIP64 by size). Every run but "encrypted" alone starts with
the main case; "encrypted" is the main case's unattended run with a passphrase against the same
run without (medians of 7 runs, A B A B: the machine is shared), which must stay within 1.10x.

For each case it prints wall time, CPU time, peak resident memory and archive size of every
contender (medians of 3 runs, taken in A B A B order) and a line with the case's name before
    ratio archive-run/zip-6 wall: X.XX  size: Y.YY  peak-rss-MiB: Z
and, last, that line of the main case without its name.
"""
import os
import shutil
import statistics
import subprocess
import sys

bin_dir, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
extended = sys.argv[3:] == ["all"]
only_encrypted = sys.argv[3:] == ["encrypted"]
here = os.path.dirname(os.path.abspath(__file__))
ROUNDS = 3


def measure(command, cwd=None):
    line = subprocess.run([sys.executable, os.path.join(here, "measure.py")]
                          + (["--cwd", cwd] if cwd else []) + ["--"] + command,
                          check=True, capture_output=True, text=True).stdout.split()
    return float(line[0]), float(line[1]), float(line[2]), int(line[3])


def simulate(case, arguments):
    root = os.path.join(work, case, "orvel")
    if not os.path.exists(os.path.join(root, "registry.reg")):
        subprocess.run([os.path.join(bin_dir, "orvel-sim"), "--root", root, "--seed", "7"] + arguments,
                       check=True, stdout=subprocess.DEVNULL)
    return root


def sorvik_run(case, root, passphrase_file=None, name="sorvik"):
    """One unattended archive run: a fresh program folder and archive folder each time."""
    base = os.path.join(work, case, name)
    shutil.rmtree(base, ignore_errors=True)
    for folder in ("program", "archive", "config/Sorvik"):
        os.makedirs(os.path.join(base, folder))
    for program in ("Sorvik", "sorvik-diag-formatter"):
        shutil.copy(os.path.join(bin_dir, program), os.path.join(base, "program"))
    with open(os.path.join(base, "config/Sorvik/Sorvik.ini"), "w") as ini:
        ini.write(f"[frmMain]\nArchiveFolderPath={base}/archive/\n")
        if passphrase_file:
            ini.write(f"[Archive]\nPassphraseFile={passphrase_file}\n")
    os.environ["SORVIK_REGISTRY"] = os.path.join(root, "registry.reg")
    os.environ["XDG_CONFIG_HOME"] = os.path.join(base, "config")
    wall, cpu, rss, code = measure([os.path.join(base, "program", "Sorvik"), "/Silent"])
    archives = os.listdir(os.path.join(base, "archive"))
    size = os.path.getsize(os.path.join(base, "archive", archives[0])) if archives else 0
    if code != 0 or not archives:
        print(f"  (the archive run ended with status {code}; see {base}/program/logs)")
    return wall, cpu, rss, size


def zip_run(case, root):
    target = os.path.join(work, case, "zip6.zip")
    if os.path.exists(target):
        os.remove(target)
    logs = os.path.join(root, "logs")
    files = sorted(os.path.join(logs, f) for f in os.listdir(logs) if os.path.isfile(os.path.join(logs, f)))
    listing = os.path.join(work, case, "zip6.list")
    with open(listing, "w") as out:
        out.write("\n".join(files) + "\n")
    wall, cpu, rss, _ = measure(["sh", "-c", f"zip -q -6 -j '{target}' -@ < '{listing}'"])
    return wall, cpu, rss, os.path.getsize(target)


def sevenzip_run(case, root):
    target = os.path.join(work, case, "7z5.zip")
    if os.path.exists(target):
        os.remove(target)
    wall, cpu, rss, _ = measure(["7z", "a", "-bd", "-tzip", "-mx5", target, os.path.join(root, "logs") + "/*"])
    return wall, cpu, rss, os.path.getsize(target)


def verify(case):
    """The delivered archive, read back by Python's zipfile (CRCs) and by unzip -t."""
    folder = os.path.join(work, case, "sorvik", "archive")
    archive = os.path.join(folder, os.listdir(folder)[0])
    import zipfile
    with zipfile.ZipFile(archive) as z:
        entries = len(z.infolist())
        bad = z.testzip()
    tested = subprocess.run(["unzip", "-tqq", archive], capture_output=True).returncode == 0
    print(f"  archive read back: {entries} entries, zipfile {'OK' if bad is None else 'BAD ' + bad}, "
          f"unzip -t {'OK' if tested else 'FAILED'}")


def bench(case, arguments, contenders, rounds=ROUNDS):
    root = simulate(case, arguments)
    data = sum(os.path.getsize(os.path.join(root, "logs", f)) for f in os.listdir(os.path.join(root, "logs")))
    print(f"== {case}: {len(os.listdir(os.path.join(root, 'logs')))} files, {data / 2**20:.0f} MiB"
          f"{'' if rounds == ROUNDS else f', {rounds} run each'}")
    # Every contender finds the logs in the page cache, written back: the first one timed must
    # not pay for reading them from disk or for the writes that made them.
    os.sync()
    for name in os.listdir(os.path.join(root, "logs")):
        with open(os.path.join(root, "logs", name), "rb") as log:
            while log.read(1 << 20):
                pass
    results = {name: [] for name, _ in contenders}
    for _ in range(rounds):
        for name, run in contenders:
            results[name].append(run(case, root))
    medians = {}
    for name, runs in results.items():
        wall, cpu, rss, size = (statistics.median(r[i] for r in runs) for i in range(4))
        medians[name] = (wall, cpu, rss, size)
        print(f"  {name:12} wall {wall:8.2f} s  cpu {cpu:8.2f} s  peak-rss {rss:7.1f} MiB  size {size / 2**20:9.2f} MiB")
    verify(case)
    print(f"{case} {ratio(medians)}")
    return medians


def ratio(medians):
    a, z = medians["archive-run"], medians["zip-6"]
    return f"ratio archive-run/zip-6 wall: {a[0] / z[0]:.2f}  size: {a[3] / z[3]:.2f}  peak-rss-MiB: {a[2]:.0f}"


def encrypted(rounds=7):
    """The main case with a passphrase against the same run without; the encrypted archive is
    read back by 7-Zip with the passphrase."""
    case = "main"
    root = simulate(case, main_arguments)
    secret = os.path.join(work, case, "passphrase")
    with open(os.open(secret, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as out:
        out.write("bench passphrase\n")
    os.chmod(secret, 0o600)
    contenders = [("plain", lambda: sorvik_run(case, root)),
                  ("encrypted", lambda: sorvik_run(case, root, secret, "sorvik-encrypted"))]
    results = {name: [] for name, _ in contenders}
    print(f"== encrypted: the main case with a passphrase, {rounds} runs each")
    for _ in range(rounds):
        for name, run in contenders:
            results[name].append(run())
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


everyone = [("archive-run", sorvik_run), ("zip-6", zip_run), ("7z-zip-5", sevenzip_run)]
main_arguments = ["--data", "40", "--data-size", str(8 << 20), "--diag", "40",
                  "--diag-size", str(4 << 20), "--other", "4"]
if only_encrypted:
    encrypted()
    sys.exit(0)
main = bench("main", main_arguments, everyone)
formatting = subprocess.run([os.path.join(bin_dir, "bench_format"), os.path.join(work, "main", "orvel", "logs"),
                             os.path.join(work, "main", "format")], check=True, capture_output=True, text=True)
print("  " + formatting.stdout.strip())
summary = ratio(main)
encrypted()

if extended:
    # The large cases take minutes a run: one run each.
    bench("many-small-files", ["--data", "10000", "--data-size", "1024", "--diag", "10000",
                               "--diag-size", "1024", "--other", "0"], everyone, 1)
    bench("70000-files-zip64", ["--data", "70000", "--data-size", "200", "--diag", "0", "--other", "0"],
          [("archive-run", sorvik_run), ("zip-6", zip_run)], 1)
    bench("one-1GiB-line", ["--data", "0", "--diag", "0", "--other", "0",
                            "--long-line", str(1 << 30)], [("archive-run", sorvik_run), ("zip-6", zip_run)], 1)
    bench("5GiB-data-file", ["--data", "1", "--data-size", str(5 << 30), "--diag", "0", "--other", "0"],
          [("archive-run", sorvik_run), ("zip-6", zip_run)], 1)

print(summary)
