#!/usr/bin/env python3
"""Word times: how far the helper's final times lie from the speech, and what
asking for them ("--olvek-timings") costs in CPU and in latency.

    python3 bench/timings.py --helper BUILD/olvek-macos-speech-helper [--runs N]

The recording is the five LibriVox clips of pocketsphinx-testdata, with 1.5 s
of quiet before the first, 2 s between them and 0.7 s after the last (quiet
is +-30 noise, as in the speech tests). Where each clip's speech lies is
found from its energy (compare.py's speech_span). Each run streams the
recording in 0.1 s lines, at full speed or at the pace of speech.
"""
import argparse
import base64
import json
import os
import random
import resource
import socket
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare import DATA, RATE, load_clips, speech_span  # noqa: E402

LINE = RATE // 10 * 2  # bytes in a 0.1 s line


def quiet(seconds, rng):
    return b"".join(rng.randint(-30, 30).to_bytes(2, "little", signed=True) for _ in range(int(seconds * RATE)))


def recording(clips):
    """(pcm, [(speech start s, speech end s)] per clip)."""
    rng = random.Random(1)
    pcm = quiet(1.5, rng)
    spans = []
    for i, (_, clip, _) in enumerate(clips):
        if i > 0:
            pcm += quiet(2.0, rng)
        offset = len(pcm) / 2 / RATE
        first, last = speech_span(clip)
        spans.append((offset + first, offset + last))
        pcm += clip
    return pcm + quiet(0.7, rng), spans


def run(helper, pcm, timed, paced):
    """One run: (finals as parsed events, helper CPU s, "__END__" to the last
    final in s)."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    server.settimeout(30)
    argv = [helper, "en", "--olvek-socket-port", str(server.getsockname()[1]), "--olvek-socket-token", "bench"]
    if timed:
        argv.append("--olvek-timings")
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    conn, _ = server.accept()
    events = []
    ready = threading.Event()

    def read():
        for line in conn.makefile("rb"):
            event = json.loads(line)
            event["_t"] = time.monotonic()
            events.append(event)
            if event["type"] == "ready":
                ready.set()
        ready.set()

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    ready.wait(30)
    start = time.monotonic()
    for index, at in enumerate(range(0, len(pcm), LINE)):
        if paced:
            delay = start + index * 0.1 - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        conn.sendall(base64.b64encode(pcm[at:at + LINE]) + b"\n")
    end_at = time.monotonic()
    conn.sendall(b"__END__\n")
    _, _, usage = os.wait4(child.pid, 0)
    reader.join(30)
    conn.close()
    server.close()
    finals = [e for e in events if e["type"] == "final"]
    latency = max((e["_t"] for e in finals), default=end_at) - end_at
    return [e for e in finals if e["text"]], usage.ru_utime + usage.ru_stime, latency


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--helper", required=True)
    ap.add_argument("--data", default=DATA)
    ap.add_argument("--runs", type=int, default=3, help="runs of each kind, interleaved")
    args = ap.parse_args()
    pcm, spans = recording(load_clips(args.data))
    print(f"recording: {len(pcm) / 2 / RATE:.1f} s, {len(spans)} sentences, speech at " +
          ", ".join(f"{a:.2f}-{b:.2f}" for a, b in spans))

    gaps = {"full": [], "paced": []}
    cpu = {False: [], True: []}
    latency = {False: [], True: []}
    same_times = True
    for r in range(args.runs):
        per_pace = {}
        for paced in (False, True):
            for timed in (False, True):
                finals, cpu_s, late = run(args.helper, pcm, timed, paced)
                if paced:
                    latency[timed].append(late)
                else:
                    cpu[timed].append(cpu_s)
                if not timed:
                    continue
                label = "paced" if paced else "full"
                per_pace[label] = [(f["text"], f["start"], f["end"]) for f in finals]
                if len(finals) != len(spans):
                    print(f"run {r + 1} {label}: {len(finals)} finals for {len(spans)} sentences; not matched")
                    continue
                for f, (a, b) in zip(finals, spans):
                    gaps[label] += [abs(float(f["start"]) - a), abs(float(f["end"]) - b)]
        same_times = same_times and per_pace.get("full") == per_pace.get("paced")

    for label, values in gaps.items():
        if values:
            print(f"{label}: final start/end against the speech: median {statistics.median(values):.3f} s, "
                  f"largest {max(values):.3f} s ({len(values)} edges)")
    print(f"full speed and paced runs give the same finals and times: {same_times}")
    print(f"helper CPU at full speed: without {statistics.median(cpu[False]):.2f} s, "
          f"with {statistics.median(cpu[True]):.2f} s (medians of {args.runs}; "
          f"{', '.join(f'{x:.2f}' for x in cpu[False])} / {', '.join(f'{x:.2f}' for x in cpu[True])})")
    print(f"__END__ to the last final at speech pace: without {statistics.median(latency[False]):.3f} s, "
          f"with {statistics.median(latency[True]):.3f} s (medians of {args.runs})")


if __name__ == "__main__":
    main()
