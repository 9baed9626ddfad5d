"""The pictures of BENCHMARKS.md, drawn with matplotlib (Debian's python3-matplotlib) from the figures
scripts/bench.py collected. draw() writes PNGs into a folder and returns the Markdown that shows them."""
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402 (after the back end is chosen)


def _save(figure, folder, name):
    figure.tight_layout()
    figure.savefig(os.path.join(folder, name), dpi=110)
    plt.close(figure)
    return name


def turnaround(overhead, folder):
    """Per device count, the devices' p50 and p99 turnaround as box plots, floor beside host."""
    figure, axes = plt.subplots(1, 2, figsize=(10, 4), sharey=True)
    for axis, key, title in ((axes[0], "p50s", "p50 per device"), (axes[1], "p99s", "p99 per device")):
        data, labels, colours = [], [], []
        for floor, host in overhead:
            data += [[v / 1000 for v in floor[key]] or [0], [v / 1000 for v in host[key]] or [0]]
            labels += [f"{floor['devices']} floor", f"{host['devices']} host"]
            colours += ["#9aa", "#c63"]
        boxes = axis.boxplot(data, patch_artist=True, widths=0.6)
        for patch, colour in zip(boxes["boxes"], colours):
            patch.set_facecolor(colour)
        axis.set_xticks(range(1, len(labels) + 1), labels, rotation=45, ha="right")
        axis.set_title(f"Turnaround, {title}")
        axis.set_ylabel("ms")
        axis.grid(axis="y", alpha=0.3)
    return _save(figure, folder, "turnaround.png")


def cpu(overhead, scale, folder):
    figure, axis = plt.subplots(figsize=(6, 4))
    if overhead:
        counts = [host["devices"] for _, host in overhead]
        axis.plot(counts, [f["cpuMsPerDeviceSecond"] for f, _ in overhead], "o-", color="#699", label="floor")
        axis.plot(counts, [h["cpuMsPerDeviceSecond"] for _, h in overhead], "o-", color="#c63", label="host")
        axis.plot(counts, [1.25 * f["cpuMsPerDeviceSecond"] for f, _ in overhead], ":", color="#699",
                  label="1.25 x floor")
    if scale:
        axis.plot([h["devices"] for h in scale], [h["cpuMsPerDeviceSecond"] for h in scale], "s--", color="#e96",
                  label="host (scale runs)")
    axis.set_xlabel("devices")
    axis.set_ylabel("CPU ms per device-second")
    axis.set_ylim(bottom=0)
    axis.set_title("CPU per device (process user + system)")
    axis.grid(alpha=0.3)
    axis.legend()
    return _save(figure, folder, "cpu.png")


def late(overhead, scale, folder):
    figure, axis = plt.subplots(figsize=(6, 4))
    if overhead:
        counts = [host["devices"] for _, host in overhead]
        axis.plot(counts, [f["late"] for f, _ in overhead], "o-", color="#699", label="floor")
        axis.plot(counts, [h["late"] for _, h in overhead], "o-", color="#c63", label="host")
    if scale:
        axis.plot([h["devices"] for h in scale], [h["late"] for h in scale], "s--", color="#e96",
                  label="host (scale runs, longer)")
    axis.set_xlabel("devices")
    axis.set_ylabel("late blocks in the run")
    axis.set_title("Late blocks against device count")
    axis.grid(alpha=0.3)
    axis.legend()
    return _save(figure, folder, "late.png")


def arrival(steps, folder):
    names = [name for name, values in steps.items() if values]
    p50 = [sorted(steps[n])[len(steps[n]) // 2] for n in names]
    worst = [max(steps[n]) for n in names]
    figure, axis = plt.subplots(figsize=(8, 4.5))
    rows = range(len(names))
    axis.barh(rows, worst, color="#ecb", label="max")
    axis.barh(rows, p50, color="#c63", height=0.5, label="p50")
    axis.set_yticks(rows, names)
    axis.invert_yaxis()
    axis.set_xlabel("ms")
    axis.set_title("Arrival to first checked block, step by step")
    axis.grid(axis="x", alpha=0.3)
    axis.legend()
    return _save(figure, folder, "arrival.png")


def dropouts(rows, folder):
    figure, axis = plt.subplots(figsize=(8, 3.5))
    labels = [label.replace("`", "") for label, _ in rows]
    axis.barh(range(len(rows)), [blocks for _, blocks in rows], color="#c63")
    axis.set_yticks(range(len(rows)), labels)
    axis.invert_yaxis()
    axis.set_xlabel("blocks of silence or glitch (10 ms each), worst run")
    axis.set_title("Dropout per administrator action")
    axis.grid(axis="x", alpha=0.3)
    return _save(figure, folder, "dropouts.png")


def draw(figures, folder):
    os.makedirs(folder, exist_ok=True)
    shown = []
    if figures["overhead"]:
        shown.append(("Turnaround per device, floor and host", turnaround(figures["overhead"], folder)))
    if figures["overhead"] or figures["scale"]:
        shown.append(("CPU per device", cpu(figures["overhead"], figures["scale"], folder)))
        shown.append(("Late blocks", late(figures["overhead"], figures["scale"], folder)))
    if figures["arrival"]:
        shown.append(("Arrival breakdown", arrival(figures["arrival"], folder)))
    if figures["dropouts"]:
        shown.append(("Dropouts", dropouts(figures["dropouts"], folder)))
    if not shown:
        return []
    return ["### Plots\n"] + [f"![{title}](bench/{name})\n" for title, name in shown]
