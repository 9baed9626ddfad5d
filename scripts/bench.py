"""Benchmarks of the host on the simulated device world, each figure against a floor measured in the
same run (these machines are shared and noisy). Called by scripts/bench with the build folder.
Writes BENCHMARKS.md's tables to standard output and to build/benchmarks.md, and the plots to
build/bench/*.png (copied next to BENCHMARKS.md by hand with the tables)."""
import datetime
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import time

import benchplots
import tracesteps

BUILD = sys.argv[1]
QUICK = "--quick" in sys.argv
BIN = os.path.join(BUILD, "bin")
TICK = os.sysconf("SC_CLK_TCK")
PLOTS = os.path.join(BUILD, "bench")
PRODUCT = "HKLM\\SOFTWARE\\VELMAR\\ORVANE.CL.drv"
# Everything the plots are drawn from, filled by the tables as they run.
FIGURES = {"overhead": [], "scale": [], "arrival": {}, "dropouts": []}


def wine(*args, timeout=60):
    return subprocess.run(["wine", os.path.join(BIN, args[0]), *args[1:]], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=timeout)


def spawn(*args, log, env=None):
    return subprocess.Popen(["wine", os.path.join(BIN, args[0]), *args[1:]], stdin=subprocess.DEVNULL,
                            stdout=log, stderr=subprocess.STDOUT, env=env)


def reg(*args):
    subprocess.run(["wine", "reg", *args, "/f"], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)


def wine_path(path):
    return "Z:" + path.replace("/", "\\")


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
        "p50s": [f["turnaroundP50Us"] for f in figures],
        "p99s": [f["turnaroundP99Us"] for f in figures],
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
        FIGURES["overhead"].append((floor, host))
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
        FIGURES["scale"].append(host)
        out.append(f"| {devices} | {host['checked']} | {host['late']} | {host['mismatches']} "
                   f"| {host['p99']}/{host['max']} | {host['cpuMsPerDeviceSecond']:.2f} |")
        print(out[-1], flush=True)
    out.append("")


def percentile_row(label, values, unit_scale=1.0):
    return f"| {label} | {unit_scale * statistics.median(values):.1f} | {unit_scale * max(values):.1f} |"


def lifecycle_table(out):
    """Device arrival to its first checked block and removal to 'Instance removed', over 20 devices, with
    each step from the instance's own trace activities."""
    count = 5 if QUICK else 20
    world = World(1)
    log_path = os.path.join(BUILD, "bench-lifecycle.log")
    trace_path = os.path.join(BUILD, "bench-lifecycle-trace.json")
    if os.path.exists(trace_path):
        os.remove(trace_path)
    log = open(log_path, "w")
    host = spawn("orvane-sim.exe", "-v", log=log, env=dict(os.environ, ORVANE_TRACE_FILE=wine_path(trace_path)))
    wait_streaming(world)
    first_checks, removals = [], []
    for _ in range(count):
        device = wine("orvane-vdev.exe", "add").stdout.split()[0]
        while True:
            figures = [f for f in world.stats() if f["id"] == device]
            if figures and figures[0]["firstCheckUs"] > 0:
                first_checks.append(figures[0]["firstCheckUs"] / 1000)
                break
            time.sleep(0.05)
        # The link's letter case differs between the list and the notifications (as Windows allows).
        instance = device.replace("\\", "#").lower()
        seen = open(log_path, errors="replace").read().lower().count(f"instance removed: {instance}")
        started = time.time()
        wine("orvane-vdev.exe", "remove", device)
        while open(log_path, errors="replace").read().lower().count(f"instance removed: {instance}") <= seen:
            time.sleep(0.02)
        removals.append(1000 * (time.time() - started))
    host.send_signal(signal.SIGINT)
    host.wait(timeout=60)
    log.close()
    world.stop()

    lives = tracesteps.lives(tracesteps.load(trace_path))[1:]  # the first is the device present at start
    arrivals = [a for a in map(tracesteps.arrival, lives) if a]
    ends = [r for r in map(tracesteps.removal, lives) if r]
    steps = {name: [a[name] for a in arrivals] for name, _, _ in tracesteps.ARRIVAL_STEPS}
    in_thread = [sum(a.values()) for a in arrivals]
    rest = [total - host_part for total, host_part in zip(first_checks, in_thread)]
    FIGURES["arrival"] = {"notification and instance start": rest, **steps}
    out.append(f"### Device arrival and removal ({count} devices, with the reference library)\n")
    out.append(f"Arrival: from the device's start in the world to its first checked block (the world's figure "
               f"`firstCheckUs`), and each step from the instance's trace ({len(arrivals)} of {count} arrivals "
               f"traced). \"Notification and instance start\" is the world's figure less the traced steps: "
               f"the interface notification, the instance's record and storage, its thread's start.\n")
    out.append("| step | p50 ms | max ms |")
    out.append("|---|---|---|")
    out.append(percentile_row("**arrival to first checked block**", first_checks))
    for name, values in FIGURES["arrival"].items():
        if values:
            out.append(percentile_row(name, values))
    out.append("")
    out.append(f"Removal: `orvane-vdev remove` on a streaming device; the host's part from the trace "
               f"({len(ends)} of {count}), from the transfer the removal cancels to the end of the instance "
               f"thread (the join and \"Instance removed\" follow at once); the whole figure from the "
               f"command's start (a Wine process start included) to the log line.\n")
    out.append("| step | p50 ms | max ms |")
    out.append("|---|---|---|")
    out.append(percentile_row("**removal command to \"Instance removed\"**", removals))
    if ends:
        out.append(percentile_row("**host: cancelled transfer to instance thread end**", [sum(e.values()) for e in ends]))
        for name in ends[0]:
            out.append(percentile_row(name, [e[name] for e in ends]))
    out.append("")
    FIGURES["removal"] = ends
    print("\n".join(out[-30:]), flush=True)


def dropout_table(out):
    """Silence and glitches on a streaming device caused by each administrator action (world figures)."""
    repeats = 1 if QUICK else 3
    world = World(1)
    device = world.ids[0]
    instance_key = PRODUCT + "\\instances\\" + device.replace("\\", "#")
    port = 20000 + sum(BUILD.encode()) % 4000
    reg("add", instance_key, "/v", "Name", "/t", "REG_SZ", "/d", "Bench")
    reg("add", instance_key, "/v", "HttpPort", "/t", "REG_DWORD", "/d", str(port))
    envelope = wine("orvane-envelope.exe", "secret-0").stdout.strip()
    reg("add", instance_key, "/v", "AdminPassword", "/t", "REG_SZ", "/d", envelope)
    log = open(os.path.join(BUILD, "bench-dropouts.log"), "w")
    host = spawn("orvane-sim.exe", log=log)
    wait_streaming(world)
    time.sleep(2)
    step = [0]

    def next_value():
        step[0] += 1
        return step[0]

    actions = [
        ("none (the same time without an action)", lambda: None),
        ("global change (`AdminPassword` in parameters)",
         lambda: reg("add", PRODUCT + "\\parameters", "/v", "AdminPassword", "/t", "REG_SZ", "/d",
                     f"global-{next_value()}")),
        ("`Name`", lambda: reg("add", instance_key, "/v", "Name", "/t", "REG_SZ", "/d", f"Bench {next_value()}")),
        ("`HttpPort`", lambda: reg("add", instance_key, "/v", "HttpPort", "/t", "REG_DWORD", "/d",
                                   str(port + next_value() % 2))),
        ("`AdminPassword`", lambda: reg("add", instance_key, "/v", "AdminPassword", "/t", "REG_SZ", "/d",
                                        wine("orvane-envelope.exe", f"secret-{next_value()}").stdout.strip())),
        ("vetoed removal (`remove --veto`)", lambda: wine("orvane-vdev.exe", "remove", device, "--veto")),
    ]
    rows = []
    for label, action in actions:
        runs = []
        for _ in range(repeats):
            world.reset_stats()
            time.sleep(0.5)
            action()
            time.sleep(4)
            figures = [f for f in world.stats() if f["id"] == device][0]
            runs.append(figures)
        rows.append((label, runs))
    host.send_signal(signal.SIGINT)
    try:
        host.wait(timeout=60)
    except subprocess.TimeoutExpired:
        host.kill()
    log.close()
    world.stop()
    reg("delete", PRODUCT)

    out.append(f"### Dropouts per administrator action (one streaming device, {repeats} times each)\n")
    out.append("Each action on a fresh figure window (reset, 0.5 s, the action, 4 s). Silence: audio time without "
               "the host between two connections; glitch: audio time skipped after late blocks; a block is 10 ms. "
               "Worst of the runs.\n")
    out.append("| action | new connections | silence ms | glitch ms | dropout blocks | late blocks | mismatches |")
    out.append("|---|---|---|---|---|---|---|")
    for label, runs in rows:
        worst = max(runs, key=lambda f: f["silenceUs"] + f["glitchUs"])
        blocks = (worst["silenceUs"] + worst["glitchUs"]) / 10000
        out.append(f"| {label} | {max(f['connections'] for f in runs)} | {worst['silenceUs'] / 1000:.1f} "
                   f"| {worst['glitchUs'] / 1000:.1f} | {blocks:.1f} | {max(f['lateBlocks'] for f in runs)} "
                   f"| {max(f['mismatches'] for f in runs)} |")
        FIGURES["dropouts"].append((label, blocks))
    out.append("")
    print("\n".join(out[-len(rows) - 4:]), flush=True)


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
    only = [a for a in sys.argv[2:] if not a.startswith("--")]
    tables = {"overhead": overhead_table, "scale": scale_table, "lifecycle": lifecycle_table,
              "dropouts": dropout_table}
    for name, table in tables.items():
        if not only or name in only:
            table(out)
    if not only and os.path.exists(os.path.join(BIN, "orvane-logbench.exe")):
        log_table(out)
    out.extend(benchplots.draw(FIGURES, PLOTS))
    text = "\n".join(out)
    open(os.path.join(BUILD, "benchmarks.md"), "w").write(text + "\n")
    print(text)


main()
