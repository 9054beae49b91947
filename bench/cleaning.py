"""The obfuscation's benchmarks, run by run.py.

obfuscated: the main case's unattended run with Obfuscate=true against the same run without
(medians of 5 runs each, A B A B), the stand-ins kept from one run to the next as on a site; the
ratio must stay within 1.25. Before it, the first run of a site (no stand-ins yet) once, and
bench_clean's scanning speed on one core over a data_ file of each kind of text.

sos: a small folder of orvel-sim's planted identifiers (--plant-identifiers) cleaned by the run and
by `sos clean` (Debian's sosreport, installed here when missing), given the same words and the
same readable files, with a time bound; the ratio of their times and the recall of each (and the
near-misses each kept), counted by tests/support/planted.py.
"""
import glob
import os
import shutil
import statistics
import subprocess
import sys
import time
import zipfile

here = os.path.dirname(os.path.abspath(__file__))
PLANTED = os.path.join(here, "..", "tests", "support", "planted.py")
SOS_LIMIT = 900


def _medians(runs):
    return [statistics.median(r[i] for r in runs) for i in range(4)]


def obfuscated(work, bin_dir, main, simulate, program_run, rounds=5):
    case = "main"
    root = simulate(case, main)
    kept = os.path.join(work, case, "obfuscation-kept")
    shutil.rmtree(kept, ignore_errors=True)
    os.makedirs(kept)
    first = program_run(bin_dir, "sorvik-obfuscated", archive_settings="Obfuscate=true\n", kept=kept)
    print(f"== obfuscated: the main case cleaned, {rounds} runs each")
    cold = first(case, root)
    with open(os.path.join(kept, "obfuscation.map"), "rb") as stand_ins:
        values = sum(1 for line in stand_ins if not line.startswith(b"#"))
    map_size = os.path.getsize(os.path.join(kept, "obfuscation.map"))
    print(f"  first run of a site (no stand-ins yet): wall {cold[0]:.2f} s  cpu {cold[1]:.2f} s  peak-rss "
          f"{cold[2]:.1f} MiB; {values} values kept, {map_size / values:.0f} bytes a value in the map file")
    contenders = [("plain", program_run(bin_dir, "archive-run")),
                  ("obfuscated", program_run(bin_dir, "sorvik-obfuscated",
                                             archive_settings="Obfuscate=true\n", kept=kept))]
    results = {name: [] for name, _ in contenders}
    for _ in range(rounds):
        for name, run in contenders:
            results[name].append(run(case, root))
    medians = {name: _medians(runs) for name, runs in results.items()}
    for name, (wall, cpu, rss, size) in medians.items():
        walls = " ".join(f"{r[0]:.2f}" for r in results[name])
        print(f"  {name:12} wall {wall:8.2f} s  cpu {cpu:8.2f} s  peak-rss {rss:7.1f} MiB  size "
              f"{size / 2**20:9.2f} MiB  (walls {walls})")
    archive = glob.glob(os.path.join(work, case, "sorvik-obfuscated", "archive", "*.ZIP"))[0]
    with zipfile.ZipFile(archive) as z:
        print(f"  cleaned archive read back: {len(z.infolist())} entries, zipfile "
              f"{'OK' if z.testzip() is None else 'BAD'}")
    logs = sorted(glob.glob(os.path.join(root, "logs", "data_*")))[:2]
    for sample in logs + sorted(glob.glob(os.path.join(work, "varied-text", "orvel", "logs", "data_*")))[:1]:
        speed = subprocess.run([os.path.join(bin_dir, "bench_clean"), sample, sample, sample],
                               capture_output=True, text=True).stdout.splitlines()[0]
        print(f"  bench_clean {os.path.relpath(sample, work)}: {speed}")
    plain, cleaned = medians["plain"], medians["obfuscated"]
    return (f"obfuscated ratio obfuscated/plain wall: {cleaned[0] / plain[0]:.2f}  cpu: {cleaned[1] / plain[1]:.2f}"
            f"  peak-rss-MiB: {cleaned[2]:.0f} vs {plain[2]:.0f}  (limit 1.25)")


def _recall(listing, where):
    out = subprocess.run([sys.executable, PLANTED, listing, where], capture_output=True, text=True).stdout
    return out.splitlines()[0], out.splitlines()[1]


def versus_sos(work, bin_dir, program_run):
    case = "sos"
    root = os.path.join(work, case, "orvel")
    listing = os.path.join(work, case, "planted.tsv")
    if not os.path.exists(listing):
        subprocess.run([os.path.join(bin_dir, "orvel-sim"), "--root", root, "--seed", "7", "--text-style",
                        "varied", "--data", "2", "--data-size", str(3 << 20), "--diag", "2", "--diag-size",
                        str(1 << 20), "--other", "0", "--plant-identifiers", listing], check=True,
                       stdout=subprocess.DEVNULL)
    if not shutil.which("sos"):
        subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", "sosreport"],
                       check=True, stdout=subprocess.DEVNULL, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    words = os.path.join(root, "obfuscate-words.txt")
    ours = program_run(bin_dir, "sorvik-obfuscated",
                       archive_settings=f"Obfuscate=true\nObfuscateWords={words}\n")(case, root)
    ours_archive = glob.glob(os.path.join(work, case, "sorvik-obfuscated", "archive", "*.ZIP"))[0]
    program_run(bin_dir, "archive-run")(case, root)
    # sos clean is given what the archive holds, readable, in a folder it takes for one of its own.
    target = os.path.join(work, case, "sos-target")
    scratch = os.path.join(work, case, "sos-tmp")
    for folder in (target, scratch):
        shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(target, "sos_logs"))
    os.makedirs(scratch)
    with zipfile.ZipFile(glob.glob(os.path.join(work, case, "archive-run", "archive", "*.ZIP"))[0]) as z:
        z.extractall(target)
    size = sum(os.path.getsize(p) for p in glob.glob(os.path.join(target, "*")) if os.path.isfile(p))
    keywords = ",".join(line.strip() for line in open(words) if line.strip() and not line.startswith(("#", "re:")))
    start = time.monotonic()
    try:
        subprocess.run(["sos", "clean", "--batch", "--keywords", keywords, "--tmp-dir", scratch, target],
                       timeout=SOS_LIMIT, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sos_wall = time.monotonic() - start
        sos_recall = _recall(listing, os.path.join(scratch, "sos-target"))
    except subprocess.TimeoutExpired:
        sos_wall, sos_recall = None, ("did not finish", "")
    our_recall = _recall(listing, ours_archive)
    print(f"== sos: {size / 2**20:.1f} MiB of readable logs with planted identifiers")
    print(f"  sorvik /Silent (Obfuscate)  wall {ours[0]:7.2f} s  {our_recall[0]}; {our_recall[1]}")
    print(f"  sos clean                   wall " + (f"{sos_wall:7.2f} s" if sos_wall else f"> {SOS_LIMIT} s")
          + f"  {sos_recall[0]}; {sos_recall[1]}")
    ratio = f"{sos_wall / ours[0]:.1f}" if sos_wall else f"more than {SOS_LIMIT / ours[0]:.0f}"
    return f"sos ratio sos-clean/sorvik wall: {ratio}  sorvik {our_recall[0]}  sos {sos_recall[0]}"
