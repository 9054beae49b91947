#!/usr/bin/env python3
"""The delivery to a Windows share against `smbclient put`, over the same 500 MB archive, to a
private smbd on 127.0.0.1 (its own configuration, account and share under WORK_DIR; nothing of
the machine's Samba is read or changed). Needs root, as smbd does.

    smb.py BIN_DIR WORK_DIR [RATE]

RATE (as `tc` reads it: 1gbit, 2500mbit) puts a link of that speed each way between the clients
and this smbd, shaped with `tc` on the loopback for the measurement only (a class each way, so
the copy and its read-back do not share one): the network, not the two processors, is then the
limit, as it is for a real share. Without it, the loopback's own speed.

Prints wall time and throughput of each (medians of 9 runs, taken in pairs, A B B A A B ...: the
machine is shared, so each run of one has a run of the other beside it), the median of the pairs'
own ratios, and
    smb ratio delivery/smbclient-put throughput: X.XX (at least 0.85 wanted)
The delivery is the program's whole stage: copy under a temporary name, read back through a second
connection while it is written and compared (size and CRC from the server), moved to its name.
"""
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time

bin_dir, work = os.path.abspath(sys.argv[1]), os.path.abspath(os.path.join(sys.argv[2], "smb"))
rate = sys.argv[3] if len(sys.argv) > 3 else None
SIZE = 500 * 1000 * 1000
ROUNDS = 9
USER, PASSWORD = "root", "Bench-Pa55"

shutil.rmtree(os.path.join(work, "server"), ignore_errors=True)
server = os.path.join(work, "server")
share = os.path.join(server, "share")
for folder in ("private", "state", "lock", "cache", "pid", "ncalrpc", "log", "share", "home/.smb",
               "config/Sorvik"):
    os.makedirs(os.path.join(server, folder), exist_ok=True)
with socket.socket() as probe:
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
conf = os.path.join(server, "smb.conf")
with open(conf, "w") as f:
    f.write(f"""[global]
  server role = standalone server
  passdb backend = tdbsam:{server}/private/passdb.tdb
  private dir = {server}/private
  state directory = {server}/state
  lock directory = {server}/lock
  cache directory = {server}/cache
  pid directory = {server}/pid
  ncalrpc dir = {server}/ncalrpc
  log file = {server}/log/smbd.log
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = {port}
  disable netbios = yes
  load printers = no
  printcap name = /dev/null
  disable spoolss = yes
[logs]
  path = {share}
  read only = no
""")
subprocess.run(["smbpasswd", "-L", "-c", conf, "-a", "-s", USER], input=f"{PASSWORD}\n{PASSWORD}\n",
               text=True, check=True, capture_output=True)
client = os.path.join(server, "client.conf")
with open(client, "w") as f:
    f.write("[global]\n")
shutil.copy(client, os.path.join(server, "home/.smb/smb.conf"))
auth = os.path.join(server, "auth")
with open(os.open(auth, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
    f.write(f"username = {USER}\npassword = {PASSWORD}\n")
credentials = os.path.join(server, "config/Sorvik/smb-credentials")
with open(os.open(credentials, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
    f.write(f"username={USER}\npassword={PASSWORD}\n")



def shape(port):
    """A link of `rate` each way to and from `port` on the loopback; other traffic unshaped."""
    tc = ["tc", "qdisc", "replace", "dev", "lo", "root", "handle", "1:", "htb", "default", "99"]
    subprocess.run(tc, check=True)
    for classid, speed in (("1:10", rate), ("1:20", rate), ("1:99", "100gbit")):
        subprocess.run(["tc", "class", "add", "dev", "lo", "parent", "1:", "classid", classid,
                        "htb", "rate", speed, "ceil", speed], check=True, capture_output=True)
    for direction, classid in (("dport", "1:10"), ("sport", "1:20")):
        subprocess.run(["tc", "filter", "add", "dev", "lo", "parent", "1:", "protocol", "ip",
                        "u32", "match", "ip", direction, str(port), "0xffff", "flowid", classid],
                       check=True)


if rate and not shutil.which("tc"):
    sys.exit("smb.py: a RATE needs tc (Debian's iproute2)")
smbd = subprocess.Popen(["smbd", "--foreground", "--no-process-group", f"--configfile={conf}"],
                        stdout=subprocess.DEVNULL, start_new_session=True)
try:
    for _ in range(300):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            break
        except OSError:
            time.sleep(0.1)
    if rate:
        shape(port)

    archive = os.path.join(work, "LOG_Archive_BENCH_261204_14_05_09.ZIP")
    if not os.path.exists(archive) or os.path.getsize(archive) != SIZE:
        with open(archive, "wb") as f:
            for _ in range(SIZE // (1 << 20)):
                f.write(os.urandom(1 << 20))
            f.write(os.urandom(SIZE % (1 << 20)))
    with open(archive, "rb") as f:  # both read it from the page cache
        while f.read(1 << 20):
            pass
    os.sync()

    environment = dict(os.environ, HOME=os.path.join(server, "home"),
                       XDG_CONFIG_HOME=os.path.join(server, "config"))

    def deliver():
        subprocess.run([os.path.join(bin_dir, "bench_deliver"), archive,
                        f"smb://127.0.0.1:{port}/logs/"], env=environment, check=True)

    def put():
        subprocess.run(["smbclient", "-s", client, "-p", str(port), "//127.0.0.1/logs", "-A", auth,
                        "-c", f"put {archive} put.bin"], check=True, capture_output=True)

    def busy():
        """Processor time spent by the whole machine (every client and smbd), in seconds."""
        with open("/proc/stat") as f:
            fields = [int(v) for v in f.readline().split()[1:]]
        return (sum(fields[:8]) - fields[3] - fields[4]) / os.sysconf("SC_CLK_TCK")

    def timed(name, run):
        for left in os.listdir(share):
            os.remove(os.path.join(share, left))
        os.sync()
        start, cpu = time.monotonic(), busy()
        run()
        times[name].append(time.monotonic() - start)
        cpus[name].append(busy() - cpu)

    contenders = (("delivery", deliver), ("smbclient-put", put))
    times = {name: [] for name, _ in contenders}
    cpus = {name: [] for name, _ in contenders}
    for round in range(ROUNDS):
        for name, run in contenders if round % 2 == 0 else reversed(contenders):
            timed(name, run)
    link = f", a link of {rate} each way" if rate else ""
    print(f"== smb: {SIZE / 1e6:.0f} MB to a share on 127.0.0.1 (port {port}){link}")
    medians = {}
    for name, runs in times.items():
        medians[name] = statistics.median(runs)
        print(f"  {name:14} wall {medians[name]:6.2f} s  {SIZE / medians[name] / 1e6:7.1f} MB/s"
              f"  machine cpu {statistics.median(cpus[name]):5.2f} s"
              f"  (runs: {', '.join(f'{t:.2f}' for t in runs)})")
    pairs = statistics.median(p / d for p, d in zip(times["smbclient-put"], times["delivery"]))
    print(f"  median of the pairs' ratios: {pairs:.2f}")
    ratio = medians["smbclient-put"] / medians["delivery"]
    print(f"smb ratio delivery/smbclient-put throughput: {ratio:.2f} (at least 0.85 wanted)")
finally:
    if rate:
        subprocess.run(["tc", "qdisc", "del", "dev", "lo", "root"], capture_output=True)
    os.killpg(smbd.pid, signal.SIGKILL)
    smbd.wait()
