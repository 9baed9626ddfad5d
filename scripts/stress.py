"""Reliability storm of the service on the simulated device world. Called by scripts/stress with the build
folder. Four devices stream while the host runs as the service under Wine's service control manager;
a seeded random series of steps adds and removes devices (the product's -a and -r, the world's orderly,
vetoed and surprise removals), injects short, failed and stalled transfers, changes the instances' Name,
HttpPort and AdminPassword and the global parameters, and stops and starts the service. Every step must
end within its deadline. After every phase (default 50 steps) the device set is brought back to four
and these must hold: the service is running; its handle and thread counts are back near the first
phase's baseline; every present device streams again with 0 mismatches after the figures were reset;
every status page answers with its instance's account; every removed device is gone and streams no
more, and a device removed with -r has no instance key left. A table of steps, faults and figures ends
the run; the exit code is 1 when any check failed."""
import argparse
import base64
import json
import os
import random
import re
import subprocess
import sys
import time
import zlib
import urllib.error
import urllib.request

BUILD = sys.argv[1]
parser = argparse.ArgumentParser(prog="scripts/stress")
parser.add_argument("--steps", type=int, default=1000)
parser.add_argument("--phase", type=int, default=50)
parser.add_argument("--seed", type=int, default=13)
parser.add_argument("--endless-stall", action="store_true",
                    help="also stalls that last until the host gives up (it cancels after a second and reopens)")
OPTIONS = parser.parse_args(sys.argv[2:])
BIN = os.path.join(BUILD, "bin")
SERVICE = "VELMAR ORVANE.CL drv"
# Storms of other build trees on this machine (other worlds, the same network) use ports of their own.
BASE_PORT = 18200 + zlib.crc32(os.path.abspath(BUILD).encode()) % 40 * 400
PRODUCT = r"HKLM\SOFTWARE\VELMAR\ORVANE.CL.drv"
INSTANCES = PRODUCT + r"\instances"
PARAMETERS = PRODUCT + r"\parameters"
DEVICES = 4
STEP_DEADLINE = 30      # seconds for one command of a step
SERVICE_DEADLINE = 60   # seconds for the service to stop or to run again
STOP_WAIT_HINT = 5      # seconds: the wait hint the service reports with STOP_PENDING
STREAM_DEADLINE = 60    # seconds for every present device to stream again after a phase
HANDLE_SLACK = 24       # handles above the baseline still counted as "back"
THREAD_SLACK = 2


class Failure(Exception):
    pass


def backtraces():
    """Every thread of every process in the prefix, as Wine's debugger sees them, with the frames of our
    own programs resolved to functions and lines; written beside the step journal for a hang."""
    try:
        done = subprocess.run(["winedbg"], input="bt all\nquit\n", capture_output=True, text=True, timeout=120)
    except (OSError, subprocess.TimeoutExpired) as error:
        return f"no backtraces: {error}"
    images = {"orvane-sim": "orvane-sim.exe", "orvane-vdev": "orvane-vdev.exe",
              "velmar.orvane.cl": "velmar.orvane.cl.dll"}
    lines = []
    for line in done.stdout.splitlines():
        match = re.search(r" in ([\w.-]+) \(\+0x([0-9a-f]+)\)", line)
        if match and match.group(1) in images:
            image = os.path.join(BIN, images[match.group(1)])
            base = 0x140000000 if image.endswith(".exe") else None
            if base is None:
                dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", image], capture_output=True, text=True)
                base = int(re.search(r"ImageBase\s+([0-9a-fA-F]+)", dump.stdout).group(1), 16)
            where = subprocess.run(["x86_64-w64-mingw32-addr2line", "-f", "-C", "-p", "-e", image,
                                    hex(base + int(match.group(2), 16))], capture_output=True, text=True)
            line += "   " + where.stdout.strip()
        lines.append(line)
    path = os.path.join(BUILD, "stress-backtraces.log")
    with open(path, "w") as out:
        out.write("\n".join(lines) + "\n")
    return f"backtraces in {path}"


def run(*args, timeout=STEP_DEADLINE):
    """A Wine program from the build's bin folder or one of Wine's own tools (reg)."""
    program = args[0] if args[0] in ("reg",) else os.path.join(BIN, args[0])
    started = time.time()
    with subprocess.Popen(["wine", program, *args[1:]], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, cwd=BIN) as process:
        try:
            stdout, stderr = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            # The stacks are taken while the program still hangs, then it is ended.
            where = backtraces()
            process.kill()
            process.communicate()
            raise Failure(f"hang: {' '.join(args)} did not end within {timeout} s ({where})")
    done = subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr)
    done.elapsed = time.time() - started
    return done


def expect(done, code, what):
    if done.returncode != code:
        # Where every thread stood and the world's devices, for a step that went wrong.
        devices = run("orvane-vdev.exe", "list")
        with open(os.path.join(BUILD, "stress-devices.log"), "w") as out:
            out.write(devices.stdout + devices.stderr)
        raise Failure(f"{what}: exit {done.returncode}, expected {code}: {(done.stdout + done.stderr).strip()} "
                      f"(devices in stress-devices.log, {backtraces()})")
    return done


def stats():
    """The world's figures of every device it has, by id. A query that fails is asked again (a Wine
    program can fail to start on a loaded machine); the third failure ends the storm with its output."""
    for attempt in range(3):
        done = run("orvane-vdev.exe", "stats", "--json")
        if done.returncode == 0 or attempt == 2:
            break
        time.sleep(0.5)
    expect(done, 0, "orvane-vdev stats")
    return {d["id"]: d for d in map(json.loads, (line for line in done.stdout.splitlines() if line.startswith("{")))}


def service():
    """(state, Windows pid, handles, threads) of the service's process."""
    for attempt in range(5):
        done = run("orvane-counts.exe", SERVICE)
        if done.returncode == 0 or attempt == 4:
            break
        time.sleep(0.5)  # a service just created or deleted is not always found at once
    out = expect(done, 0, "orvane-counts").stdout.split()
    values = dict(zip(out[0::2], map(int, out[1::2])))
    return values["state"], values["pid"], values["handles"], values["threads"]


def linux_tasks():
    """Threads of the service's Wine process as Linux sees them (Wine's own threads included)."""
    prefix = f"WINEPREFIX={os.environ['WINEPREFIX']}".encode()
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            command = open(f"/proc/{pid}/cmdline", "rb").read()
            if b"orvane-sim.exe" in command and b"--service" in command and \
                    prefix in open(f"/proc/{pid}/environ", "rb").read():
                return len(os.listdir(f"/proc/{pid}/task"))
        except OSError:
            pass
    return 0


def wait_state(state, limit=SERVICE_DEADLINE):
    deadline = time.time() + limit
    while time.time() < deadline:
        if service()[0] == state:
            return
        time.sleep(0.3)
    raise Failure(f"hang: the service did not reach state {state} within {limit} s (now {service()[0]}; "
                  f"{backtraces()})")


def reg_add(key, name, kind, data):
    expect(run("reg", "add", key, "/v", name, "/t", kind, "/d", str(data), "/f"), 0, f"reg add {name}")


def key_name(device):
    return device.replace("\\", "#")


class Storm:
    def __init__(self):
        self.random = random.Random(OPTIONS.seed)
        self.present = []          # device ids the world has and the storm expects streaming
        self.removed_by_product = set()
        self.removals = 0
        self.longest_stop = 0.0
        self.reused = 0
        self.removed_by_world = set()
        self.config = {}           # device -> (port, password index)
        self.next_port = 0
        self.counts = {}           # step kind -> done
        self.slowed = set()
        self.phases = []
        self.passwords = [run("orvane-envelope.exe", f"storm-{i}").stdout.strip() for i in range(4)]
        self.baseline = None
        self.longest = {}          # step kind -> longest seconds
        self.world = None
        self.number = 0
        self.target = ""
        # Every step with the device it acted on, to reproduce a failure.
        self.journal = open(os.path.join(BUILD, "stress-steps.log"), "w")

    # -- set-up and tear-down ------------------------------------------------------------------------
    def start(self):
        run("orvane-vdev.exe", "stop")
        run("orvane-sim.exe", "-U")
        run("orvane-vdev.exe", "reset")
        run("reg", "delete", PRODUCT, "/f")
        self.world_log = open(os.path.join(BUILD, "stress-vdev.log"), "w")
        self.world = subprocess.Popen(["wine", os.path.join(BIN, "orvane-vdev.exe"), "start", str(DEVICES)],
                                      stdin=subprocess.DEVNULL, stdout=self.world_log, stderr=subprocess.STDOUT)
        deadline = time.time() + 60
        while "Serving" not in open(self.world_log.name).read():
            if time.time() > deadline:
                raise Failure("the world did not start serving")
            time.sleep(0.2)
        self.present = sorted(stats())
        expect(run("orvane-sim.exe", "-D"), 0, "-D")
        for device in self.present:
            self.configure(device)
        expect(run("orvane-sim.exe", "-I", timeout=SERVICE_DEADLINE), 0, "-I")
        wait_state(4)
        self.settle()
        self.status_pages()
        _, _, handles, threads = service()
        self.baseline = (handles, threads, linux_tasks())

    def stop(self):
        run("orvane-sim.exe", "-U", timeout=SERVICE_DEADLINE)
        run("orvane-vdev.exe", "stop")
        if self.world:
            try:
                self.world.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.world.kill()
        run("orvane-vdev.exe", "reset")
        run("reg", "delete", PRODUCT, "/f")

    def configure(self, device):
        port = BASE_PORT + self.next_port % 400
        self.next_port += 1
        secret = self.random.randrange(len(self.passwords))
        key = INSTANCES + "\\" + key_name(device)
        reg_add(key, "Name", "REG_SZ", f"Storm {key_name(device)[-4:]} {self.next_port}")
        reg_add(key, "HttpPort", "REG_DWORD", port)
        reg_add(key, "AdminPassword", "REG_SZ", self.passwords[secret])
        self.config[device] = (port, secret)

    # -- steps ---------------------------------------------------------------------------------------
    def pick(self):
        self.target = self.random.choice(self.present)
        return self.target

    def add(self):
        done = expect(run("orvane-sim.exe", "-a"), 0, "-a")
        device = done.stdout.strip().splitlines()[-1].replace("#", "\\")
        # The world gives a removed device's number again, as the system does.
        if device in self.removed_by_product | self.removed_by_world:
            self.reused += 1
        self.removed_by_product.discard(device)
        self.removed_by_world.discard(device)
        self.present.append(device)
        self.configure(device)

    def remove_product(self):
        device = self.pick()
        expect(run("orvane-sim.exe", "-r", key_name(device)), 0, f"-r {device}")
        self.forget(device, self.removed_by_product)

    def remove_world(self):
        device = self.pick()
        expect(run("orvane-vdev.exe", "remove", device), 0, f"orderly removal of {device}")
        self.forget(device, self.removed_by_world)

    def remove_vetoed(self):
        expect(run("orvane-vdev.exe", "remove", self.pick(), "--veto"), 2, "vetoed removal")

    def remove_surprise(self):
        device = self.pick()
        expect(run("orvane-vdev.exe", "surprise-remove", device), 0, f"surprise removal of {device}")
        self.forget(device, self.removed_by_world)

    def forget(self, device, removed):
        self.present.remove(device)
        self.slowed.discard(device)
        self.config.pop(device, None)
        removed.add(device)
        self.removals += 1

    def short_read(self):
        expect(run("orvane-vdev.exe", "short-read", self.pick()), 0, "short-read")

    def fail_read(self):
        expect(run("orvane-vdev.exe", "fail-read", self.pick(), self.random.choice(["31", "1167", "995"])), 0,
               "fail-read")

    def fail_write(self):
        expect(run("orvane-vdev.exe", "fail-write", self.pick(), self.random.choice(["31", "1167", "995"])), 0,
               "fail-write")

    def stall(self):
        # With --endless-stall, also blocks held back until the host gives up (stall ID with no time): the
        # host cancels a transfer after a second and reopens the channel, and the device must stream again.
        held = self.random.choice(["50", "400", "2000"])
        if OPTIONS.endless_stall and self.random.random() < 0.25:
            held = "0"
        expect(run("orvane-vdev.exe", "stall", self.pick(), held), 0, "stall")

    def slow(self):
        device = self.pick()
        expect(run("orvane-vdev.exe", "slow", device, self.random.choice(["2", "5"])), 0, "slow")
        self.slowed.add(device)

    def rename(self):
        device = self.pick()
        reg_add(INSTANCES + "\\" + key_name(device), "Name", "REG_SZ", f"Renamed {self.random.randrange(10**6)}")

    def port(self):
        device = self.pick()
        port = BASE_PORT + self.next_port % 400
        self.next_port += 1
        reg_add(INSTANCES + "\\" + key_name(device), "HttpPort", "REG_DWORD", port)
        self.config[device] = (port, self.config[device][1])

    def password(self):
        device = self.pick()
        secret = self.random.randrange(len(self.passwords))
        reg_add(INSTANCES + "\\" + key_name(device), "AdminPassword", "REG_SZ", self.passwords[secret])
        self.config[device] = (self.config[device][0], secret)

    def globals(self):
        name = self.random.choice(["SSLCertificate", "SSLPrivate"])
        reg_add(PARAMETERS, name, "REG_SZ", f"C:\\storm\\{name}-{self.random.randrange(1000)}.pem")

    def restart(self):
        pid = service()[1]

        def control(option):
            started = time.time()
            done = run("orvane-sim.exe", option, timeout=SERVICE_DEADLINE)
            if done.returncode != 0:
                state = service()[0]
                raise Failure(f"{option}: exit {done.returncode} after {time.time() - started:.1f} s, service state "
                              f"now {state}: {(done.stdout + done.stderr).strip()} ({backtraces()})")

        if self.random.random() < 0.5:
            started = time.time()
            control("-K")
            wait_state(1)
            # The stop must keep within the wait hint the service reports while it stops.
            if time.time() - started > STOP_WAIT_HINT:
                raise Failure(f"-K: the service took {time.time() - started:.1f} s to stop, more than its "
                              f"wait hint of {STOP_WAIT_HINT} s")
            self.longest_stop = max(self.longest_stop, time.time() - started)
            control("-S")
        else:
            control("-R")
        wait_state(4)
        if service()[1] == pid:
            raise Failure("the service runs on in its old process after a stop and start")

    RESTART_EVERY = 20  # every twentieth step stops and starts the service: 50 in 1000 steps
    STEPS = [  # (kind, weight) of the other steps
        ("add", 9), ("remove -r", 4), ("remove orderly", 3), ("remove vetoed", 5), ("remove surprise", 3),
        ("short read", 8), ("failed read", 8), ("failed write", 8), ("stall", 8), ("slow clock", 3),
        ("Name", 8), ("HttpPort", 7), ("AdminPassword", 7), ("global parameter", 6), ("service restart", 0),
    ]
    ACTIONS = {"add": add, "remove -r": remove_product, "remove orderly": remove_world,
               "remove vetoed": remove_vetoed, "remove surprise": remove_surprise, "short read": short_read,
               "failed read": fail_read, "failed write": fail_write, "stall": stall, "slow clock": slow,
               "Name": rename, "HttpPort": port, "AdminPassword": password, "global parameter": globals,
               "service restart": restart}

    def step(self):
        self.number += 1
        if self.number % self.RESTART_EVERY == self.RESTART_EVERY // 2:
            kind = "service restart"
        else:
            kinds = [k for k, _ in self.STEPS if k != "service restart"
                     and not (k.startswith("remove ") and len(self.present) <= 2)
                     and not (k == "add" and len(self.present) >= 7)]
            weights = [w for k, w in self.STEPS if k in kinds]
            kind = self.random.choices(kinds, weights)[0]
        started = time.time()
        self.target = ""
        try:
            self.ACTIONS[kind](self)
        finally:
            self.journal.write(f"{time.strftime('%H:%M:%S')} step {self.number} {kind} {self.target}\n")
            self.journal.flush()
        self.counts[kind] = self.counts.get(kind, 0) + 1
        self.longest[kind] = max(self.longest.get(kind, 0), time.time() - started)

    # -- the checks after a phase --------------------------------------------------------------------
    def settle(self):
        """Every present device streams again, with 0 mismatches from a fresh start of the figures."""
        # A fault armed by the phase's last steps fires on the device's next transfer: let it pass before
        # the figures start again (a failed read loses its block, a mismatch the host cannot avoid).
        time.sleep(1)
        run("orvane-vdev.exe", "reset-stats")
        deadline = time.time() + STREAM_DEADLINE
        while True:
            figures = stats()
            missing = [d for d in self.present if d not in figures]
            if missing:
                raise Failure(f"wrong result: present devices missing from the world's figures: {missing}")
            if all(figures[d]["blocksChecked"] >= 100 for d in self.present):
                break
            if time.time() > deadline:
                slow = {d: figures[d]["blocksChecked"] for d in self.present if figures[d]["blocksChecked"] < 100}
                self.journal.write(json.dumps({d: figures[d] for d in slow}) + "\n")
                self.journal.flush()
                raise Failure(f"hang: devices not streaming again within {STREAM_DEADLINE} s: {slow} "
                              f"(figures and steps in {self.journal.name}; {backtraces()})")
            time.sleep(0.5)
        bad = {d: (figures[d]["mismatches"], figures[d]["firstMismatchBlock"], figures[d]["firstMismatchFrame"])
               for d in self.present if figures[d]["mismatches"]}
        if bad:
            raise Failure(f"wrong result: mismatches after the phase (count, block, frame): {bad}")
        gone = self.removed_by_product | self.removed_by_world
        streaming = [d for d in gone if d in figures and figures[d]["blocksRead"] > 0]
        if streaming:
            raise Failure(f"wrong result: removed devices still stream: {streaming}")
        return figures

    def restore(self):
        """Back to four devices, so that the counts compare with the baseline."""
        for device in self.slowed:
            run("orvane-vdev.exe", "slow", device, "1")
        self.slowed.clear()
        while len(self.present) < DEVICES:
            self.add()
        while len(self.present) > DEVICES:
            device = self.present[-1]
            expect(run("orvane-sim.exe", "-r", key_name(device)), 0, f"-r {device}")
            self.forget(device, self.removed_by_product)

    def status_pages(self):
        failed = {}
        for device in self.present:
            port, secret = self.config[device]
            deadline = time.time() + 20
            while True:
                token = base64.b64encode(f"admin:storm-{secret}".encode()).decode()
                request = urllib.request.Request(f"http://127.0.0.1:{port}/status",
                                                 headers={"Authorization": "Basic " + token})
                try:
                    code = urllib.request.urlopen(request, timeout=5).status
                except urllib.error.HTTPError as error:
                    code = error.code
                except (OSError, urllib.error.URLError):
                    code = 0
                if code == 200:
                    break
                if time.time() > deadline:
                    failed[device] = (port, code)
                    break
                time.sleep(0.5)
        if failed:
            raise Failure(f"wrong result: status pages not answering with their accounts (port, code): {failed}")

    def instance_keys(self):
        listing = run("reg", "query", INSTANCES).stdout
        keys = {line.strip().rsplit("\\", 1)[-1].upper() for line in listing.splitlines() if "\\" in line}
        left = sorted(d for d in self.removed_by_product if key_name(d).upper() in keys)
        if left:
            raise Failure(f"wrong result: instance keys left after -r: {left}")

    def check_phase(self, number, steps, started):
        self.restore()
        state, _, _, _ = service()
        if state != 4:
            done = run("orvane-counts.exe", SERVICE)
            raise Failure(f"crash: the service is in state {state}, not running ({done.stdout.strip()})")
        figures = self.settle()
        self.status_pages()
        self.instance_keys()
        # Threads and handles settle a moment after a restart of instances.
        deadline = time.time() + 20
        while True:
            state, pid, handles, threads = service()
            tasks = linux_tasks()
            # Wine reports no handle count (0): then the threads are the measure.
            back = (handles <= 0 or handles <= self.baseline[0] + HANDLE_SLACK) and \
                threads <= self.baseline[1] + THREAD_SLACK
            if back or time.time() > deadline:
                break
            time.sleep(1)
        self.phases.append((number, steps, len(self.present), handles, threads, tasks,
                            sum(figures[d]["blocksChecked"] for d in self.present), time.time() - started))
        if not back:
            raise Failure(f"leak: handles {handles} threads {threads} against the baseline "
                          f"{self.baseline[0]} / {self.baseline[1]} (+{HANDLE_SLACK} / +{THREAD_SLACK})")

    def totals(self):
        figures = stats().values()
        keys = ["blocksChecked", "mismatches", "connections", "lateBlocks", "failedTransfers",
                "cancelledTransfers", "shortReadsInjected", "failedReadsInjected", "failedWritesInjected",
                "stallsInjected", "vetoesOpenHandle", "vetoesWorld", "vetoesCallback", "lateRemovals",
                "unregisterInCallback"]
        return {k: sum(d[k] for d in figures) for k in keys}

    def report(self, failure, started):
        print()
        print("== steps")
        print(f"   {'step':<18} {'done':>6} {'longest s':>10}")
        for kind, _ in self.STEPS:
            print(f"   {kind:<18} {self.counts.get(kind, 0):>6} {self.longest.get(kind, 0):>10.1f}")
        print(f"   {'all':<18} {sum(self.counts.values()):>6}")
        if self.baseline:
            print()
            handles = self.baseline[0] if self.baseline[0] > 0 else "not reported by Wine"
            print(f"== phases (baseline: handles {handles}, threads {self.baseline[1]}, "
                  f"Linux tasks {self.baseline[2]})")
            print(f"   {'phase':>5} {'steps':>6} {'devices':>8} {'handles':>8} {'threads':>8} {'tasks':>6} "
                  f"{'checked':>8} {'seconds':>8}")
            for phase in self.phases:
                print("   %5d %6d %8d %8d %8d %6d %8d %8.0f" % phase)
        faults = sum(self.counts.get(k, 0) for k in ("remove -r", "remove orderly", "remove vetoed",
                                                       "remove surprise", "short read", "failed read",
                                                       "failed write", "stall", "slow clock", "service restart"))
        print()
        print(f"== {sum(self.counts.values())} steps, {faults} faults and removals survived, "
              f"{self.removals} devices removed ({self.reused} of their ids given again), "
              f"longest stop {self.longest_stop:.1f} s, "
              f"{time.time() - started:.0f} s")
        print("   world figures since the last phase's reset: " +
              ", ".join(f"{k} {v}" for k, v in self.world_totals.items()))
        if failure:
            print(f"FAILED: {failure}")
        else:
            print("every check passed")


def main():
    storm = Storm()
    started = time.time()
    failure = None
    storm.world_totals = {}
    print(f"== storm: {OPTIONS.steps} steps, a check after every {OPTIONS.phase}, seed {OPTIONS.seed}")
    try:
        storm.start()
        done = 0
        number = 0
        while done < OPTIONS.steps:
            phase_started = time.time()
            count = min(OPTIONS.phase, OPTIONS.steps - done)
            for _ in range(count):
                storm.step()
            done += count
            number += 1
            storm.check_phase(number, done, phase_started)
            print("   phase %d: %d steps, handles %d, threads %d, %.0f s" %
                  (number, done, storm.phases[-1][3], storm.phases[-1][4], storm.phases[-1][7]), flush=True)
        storm.world_totals = storm.totals()
    except Failure as error:
        failure = error
        try:
            storm.world_totals = storm.totals()
        except Exception:
            pass
    finally:
        try:
            storm.stop()
        except Failure as error:
            failure = failure or error
    storm.report(failure, started)
    return 1 if failure else 0


if __name__ == "__main__":
    sys.exit(main())
