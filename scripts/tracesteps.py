"""The steps of an instance's life, read from the Chrome trace that orvane-sim.exe writes with
ORVANE_TRACE_FILE set: one list of events per instance thread (from its "WDM thread" start), the steps
from that start to the first processed block, and the steps of its end."""
import json

# From the instance thread's start to the first processed block the world receives: (step, from, to),
# each point an event of the first pass (see Point).
ARRIVAL_STEPS = [
    ("instance thread to pass", ("WDM thread", "B"), ("Loop", "B")),
    ("pass setup", ("Loop", "B"), ("Creating instance", "B")),
    ("library process", ("Creating instance", "B"), ("Creating instance", "E")),
    ("web server", ("Creating instance", "E"), ("Web server started", "i")),
    ("naming", ("Web server started", "i"), ("Device named", "i")),
    ("account setup", ("Device named", "i"), ("Account set up", "i")),
    ("channel open", ("Account set up", "i"), ("Opening driver", "E")),
    ("first read", ("Opening driver", "E"), ("Reading audio", "E", 0)),
    ("first processed block written", ("Reading audio", "E", 0), ("Writing audio", "E", 1)),
]


def load(path):
    with open(path) as trace:
        return json.load(trace)["traceEvents"]


def lives(events):
    """The events of every instance thread, from its "WDM thread" start on, in time order."""
    open_lives, result = {}, []
    for event in sorted((e for e in events if e.get("ph") != "M"), key=lambda e: e["ts"]):
        tid = event["tid"]
        if event["name"] == "WDM thread" and event["ph"] == "B":
            open_lives[tid] = [event]
            result.append(open_lives[tid])
        elif tid in open_lives:
            open_lives[tid].append(event)
    return result


def point(life, name, phase, counter=None, after=0.0):
    """Time (µs) of the first event of that name and phase (and counter) at or after `after`."""
    for event in life:
        if event["ts"] >= after and event["name"] == name and event["ph"] == phase and \
                (counter is None or event.get("args", {}).get("counter") == counter):
            return event["ts"]
    return None


def arrival(life):
    """{step: ms} from the thread's start to its first processed block, or None when it has none."""
    times, steps, after = {}, {}, 0.0
    for step, start, end in ARRIVAL_STEPS:
        for mark in (start, end):
            if mark not in times:
                found = point(life, mark[0], mark[1], mark[2] if len(mark) > 2 else None, after)
                if found is None:
                    return None
                times[mark] = found
                after = found
        steps[step] = (times[end] - times[start]) / 1000
    return steps


def removal(life):
    """{step: ms} of a thread's end after its device was removed while streaming, or None.
    The removal reaches the thread as a transfer that fails: the last audio step's start."""
    chunks = [e for e in life if e["name"] == "Audio Loop" and e["ph"] == "B"]
    end = point(life, "WDM thread", "E") or point(life, "ActivityStoppedAutomatically", "E", after=life[-1]["ts"])
    if not chunks or end is None:
        return None
    last = chunks[-1]["ts"]
    steps_in_chunk = [e["ts"] for e in life if e["ts"] >= last and e["ph"] == "B" and
                      e["name"] in ("Writing audio", "Reading audio")]
    failed = steps_in_chunk[-1] if steps_in_chunk else last
    outcome = point(life, "Audio Loop", "E", after=last)
    stop = point(life, "Closing driver", "i", after=failed)
    stopping = point(life, "Stopping instance", "i", after=failed)
    stopped = point(life, "Stopped instance", "i", after=failed)
    if None in (outcome, stop, stopping, stopped):
        return None
    return {
        "channel released, removal outcome": (outcome - failed) / 1000,
        "waiting for the interface removal": (stop - outcome) / 1000,
        "channel cancel": (stopping - stop) / 1000,
        "library teardown": (stopped - stopping) / 1000,
        "thread end": (end - stopped) / 1000,
    }


def chunk(life, counter):
    """[(step, start ms, end ms)] of one chunk of the first audio phase, relative to its start."""
    start = point(life, "Audio Loop", "B", counter)
    if start is None:
        return []
    result, open_steps = [], {}
    for event in life:
        if event["ts"] < start or event.get("args", {}).get("counter") != counter:
            continue
        if event["ph"] == "B":
            open_steps[event["name"]] = event["ts"]
        elif event["ph"] == "E" and event["name"] in open_steps:
            begin = open_steps.pop(event["name"])
            result.append((event["name"], (begin - start) / 1000, (event["ts"] - start) / 1000))
            if event["name"] == "Audio Loop":
                break
    return result
