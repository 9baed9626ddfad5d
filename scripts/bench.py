"""Benchmarks of the host on the simulated device world, each figure against a floor measured in the
same run (these machines are shared and noisy). Called by scripts/bench with the build folder.
Writes BENCHMARKS.md's tables to standard output and to build/benchmarks.md."""
import datetime
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import time

BUILD = sys.argv[1]
QUICK = "--quick" in sys.argv
BIN = os.path.join(BUILD, "bin")
TICK = os.sysconf("SC_CLK_TCK")


def wine(*args, timeout=60):
    return subprocess.run(["wine", os.path.join(BIN, args[0]), *args[1:]], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=timeout)


def spawn(*args, log):
    return subprocess.Popen(["wine", os.path.join(BIN, args[0]), *args[1:]], stdin=subprocess.DEVNULL,
                            stdout=log, stderr=subprocess.STDOUT)


def cpu(pid):
    """User + system seconds of a process so far (Linux accounting of the Wine process)."""
    try:
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK
    except OSError:
        return 0.0


def wineserver_pid():
    prefix = os.environ["WINEPREFIX"]
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            if b"wineserver" in open(f"/proc/{pid}/cmdline", "rb").read() and \
                    f"WINEPREFIX={prefix}".encode() in open(f"/proc/{pid}/environ", "rb").read():
                return int(pid)
        except OSError:
            pass
    return None


class World:
    def __init__(self, devices):
        wine("orvane-vdev.exe", "reset")
        self.log = open(os.path.join(BUILD, "bench-vdev.log"), "w")
        self.process = spawn("orvane-vdev.exe", "start", str(devices), log=self.log)
        deadline = time.time() + 30
        while time.time() < deadline and "Serving" not in open(self.log.name).read():
            time.sleep(0.1)
        self.ids = [line.split()[0] for line in wine("orvane-vdev.exe", "list").stdout.splitlines()
                    if line.startswith("ROOT\\MEDIA\\") and " started " in line]

    def stats(self):
        return [json.loads(line) for line in wine("orvane-vdev.exe", "stats", "--json").stdout.splitlines()
                if line.startswith("{")]

    def reset_stats(self):
        wine("orvane-vdev.exe", "reset-stats")

    def stop(self):
        wine("orvane-vdev.exe", "stop")
        self.process.wait(timeout=30)
        self.log.close()


def wait_streaming(world, limit=60):
    deadline = time.time() + limit
    while time.time() < deadline:
        figures = world.stats()
        if len(figures) == len(world.ids) and all(f["blocksChecked"] > 20 for f in figures):
            return True
        time.sleep(0.5)
    return False


def measure(kind, devices, seconds):
    """One run of the host (or the floor) on a fresh world: figures over `seconds` after a warm-up."""
    world = World(devices)
    log = open(os.path.join(BUILD, f"bench-{kind}.log"), "w")
    if kind == "floor":
        client = spawn("orvane-floor.exe", str(seconds + 30), *world.ids, log=log)
    else:
        client = spawn("orvane-sim.exe", log=log)
    streaming = wait_streaming(world)
    world.reset_stats()
    server = wineserver_pid()
    cpu0, server0, t0 = cpu(client.pid), cpu(server) if server else 0.0, time.time()
    time.sleep(seconds)
    figures = world.stats()
    cpu1, server1, t1 = cpu(client.pid), cpu(server) if server else 0.0, time.time()
    if kind == "floor":
        client.kill()
    else:
        client.send_signal(signal.SIGINT)
    try:
        client.wait(timeout=30)
    except subprocess.TimeoutExpired:
        client.kill()
    log.close()
    world.stop()
    elapsed = t1 - t0
    return {
        "devices": devices,
        "streaming": streaming,
        "p50": statistics.median(f["turnaroundP50Us"] for f in figures) if figures else 0,
        "p99": max((f["turnaroundP99Us"] for f in figures), default=0),
        "max": max((f["turnaroundMaxUs"] for f in figures), default=0),
        "late": sum(f["lateBlocks"] for f in figures),
        "mismatches": sum(f["mismatches"] for f in figures),
        "checked": sum(f["blocksChecked"] for f in figures),
        "worldLateMax": max((f["worldLateMaxUs"] for f in figures), default=0),
        "cpuMsPerDeviceSecond": 1000 * (cpu1 - cpu0) / (devices * elapsed),
        "serverMsPerDeviceSecond": 1000 * (server1 - server0) / (devices * elapsed),
    }


def ratio(a, b):
    return f"{a / b:.2f}" if b else "n/a"


def overhead_table(out):
    seconds = 10 if QUICK else 30
    out.append(f"### Audio path against the floor ({seconds} s per run, after a warm-up)\n")
    out.append("| devices | floor p50/p99/max µs | host p50/p99/max µs | host/floor p50 | host/floor p99 | "
               "floor CPU ms/dev·s | host CPU ms/dev·s | host/floor CPU | wineserver ms/dev·s floor/host | "
               "late (floor/host) | mismatches (host) |")
    out.append("|---|---|---|---|---|---|---|---|---|---|---|")
    for devices in (1, 4, 8, 16):
        floor = measure("floor", devices, seconds)
        host = measure("host", devices, seconds)
        out.append(f"| {devices} | {floor['p50']}/{floor['p99']}/{floor['max']} | {host['p50']}/{host['p99']}/{host['max']} "
                   f"| {ratio(host['p50'], floor['p50'])} | {ratio(host['p99'], floor['p99'])} "
                   f"| {floor['cpuMsPerDeviceSecond']:.2f} | {host['cpuMsPerDeviceSecond']:.2f} "
                   f"| {ratio(host['cpuMsPerDeviceSecond'], floor['cpuMsPerDeviceSecond'])} "
                   f"| {floor['serverMsPerDeviceSecond']:.2f}/{host['serverMsPerDeviceSecond']:.2f} "
                   f"| {floor['late']}/{host['late']} | {host['mismatches']} |")
        print(out[-1], flush=True)
    out.append("")


def scale_table(out):
    seconds = 20 if QUICK else 60
    out.append(f"### Scale: the host alone, {seconds} s per run\n")
    out.append("| devices | blocks checked | late blocks | mismatches | turnaround p99/max µs | host CPU ms/dev·s |")
    out.append("|---|---|---|---|---|---|")
    for devices in (1, 4, 8, 16, 24, 32):
        host = measure("host", devices, seconds)
        out.append(f"| {devices} | {host['checked']} | {host['late']} | {host['mismatches']} "
                   f"| {host['p99']}/{host['max']} | {host['cpuMsPerDeviceSecond']:.2f} |")
        print(out[-1], flush=True)
    out.append("")


def lifecycle_table(out):
    """Device arrival to its first checked block, and removal to 'Instance removed', over 20 devices."""
    count = 5 if QUICK else 20
    world = World(1)
    log_path = os.path.join(BUILD, "bench-lifecycle.log")
    log = open(log_path, "w")
    host = spawn("orvane-sim.exe", "-v", log=log)
    wait_streaming(world)
    arrivals, removals = [], []
    for _ in range(count):
        started = time.time()
        device = wine("orvane-vdev.exe", "add").stdout.split()[0]
        while not any(f["id"] == device and f["blocksChecked"] > 0 for f in world.stats()):
            time.sleep(0.02)
        arrivals.append(time.time() - started)
        instance = device.replace("\\", "#")
        started = time.time()
        wine("orvane-vdev.exe", "remove", device)
        while f"Instance removed: {instance}" not in open(log_path, errors="replace").read():
            time.sleep(0.02)
        removals.append(time.time() - started)
    host.send_signal(signal.SIGINT)
    host.wait(timeout=30)
    log.close()
    world.stop()
    out.append(f"### Device arrival and removal ({count} devices, with the reference library)\n")
    out.append("| step | p50 ms | max ms |")
    out.append("|---|---|---|")
    out.append(f"| arrival to first checked block | {1000 * statistics.median(arrivals):.0f} | {1000 * max(arrivals):.0f} |")
    out.append(f"| removal request to instance gone | {1000 * statistics.median(removals):.0f} | {1000 * max(removals):.0f} |")
    out.append("")
    print("\n".join(out[-3:]), flush=True)


def log_table(out):
    result = wine("orvane-logbench.exe", timeout=300)
    out.append("### The log call (one VLOG_ASYNC call against a synchronous VLOG)\n")
    out.append(result.stdout.strip())
    out.append("")
    print(result.stdout, flush=True)


def main():
    out = [f"Run: `scripts/bench{' --quick' if QUICK else ''}` on {datetime.date.today()}, "
           f"{os.cpu_count()} cores, {os.uname().sysname} {os.uname().release}, "
           f"{subprocess.run(['wine', '--version'], capture_output=True, text=True).stdout.strip()}.\n"]
    overhead_table(out)
    scale_table(out)
    lifecycle_table(out)
    if os.path.exists(os.path.join(BIN, "orvane-logbench.exe")):
        log_table(out)
    text = "\n".join(out)
    open(os.path.join(BUILD, "benchmarks.md"), "w").write(text + "\n")
    print(text)


main()
