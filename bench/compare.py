#!/usr/bin/env python3
"""Compares the helper with the raw PocketSphinx engine on the librivox clips
of pocketsphinx-testdata, side by side in one run, and prints one table.

usage: compare.py --build DIR [--runs N] [--latency-runs N] [--long-minutes M]
                  [--fullspeed-runs N] [--fullspeed-realtime-runs N]
                  [--json FILE] [--only SECTION,...]

Sections (all by default):
  accuracy+speed  every clip through `olvek-transcribe` (as fast as the helper
                  takes it) and through `pocketsphinx_continuous -infile`,
                  interleaved, N runs each: word error rate, wall and CPU
                  seconds (median and spread), peak resident set.
  fullspeed       full speed, no word lost: three files of sentences joined
                  by low-noise quiet, as fast as the helper takes them and at
                  real-time pace, on the machine as it is and with two busy
                  processes: words lost against the real-time run, word error
                  rate, finals per pause, wall time against the raw engine,
                  "__END__" to the last final.
  latency         the helper driven at real-time pacing by a host in this
                  script: launch to "ready", start of speech to the first
                  "partial", last speech of an utterance to its "final",
                  "__END__" to the last "final".
  memory          M minutes of audio streamed as fast as the helper takes it,
                  the helper's resident set sampled all along.
  hostlink        the scripted test helper (no speech engine): CPU seconds
                  per hour of audio spent on transport, base64 and events.
  micro           the Google Benchmark micro-benchmarks of the host link.
  startup         launch to "ready" and to the first "partial" of a host that
                  streams right after "hello", beside the raw engine's
                  start-up; the model load alone (bench/startup.py).
  devset          word error rate on the development set of bench/accuracy.py
                  (helper, pocketsphinx_continuous, batch decode), cached
                  per configuration in BUILD/accuracy.

Times are taken with time.monotonic(); CPU and peak memory come from
wait4(2) of the child, which includes the children it reaped (the helper,
for olvek-transcribe).
"""
import argparse
import array
import base64
import bisect
import json
import math
import os
import platform
import random
import re
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
import wave

import startup  # bench/startup.py: the start-up section
from accuracy import edit_distance  # bench/accuracy.py: word errors, one definition

DATA = "/usr/share/pocketsphinx/test/data/librivox"
MODEL = "/usr/share/pocketsphinx/model/en-us"
RATE = 16000
LINE_MS = 100
LINE_BYTES = RATE * 2 * LINE_MS // 1000


# --------------------------------------------------------------------------
# Audio and transcripts


def read_pcm(path):
    with wave.open(path, "rb") as w:
        if (w.getframerate(), w.getnchannels(), w.getsampwidth()) != (RATE, 1, 2):
            raise SystemExit(f"{path}: not 16 kHz mono 16-bit")
        return w.readframes(w.getnframes())


def write_wav(path, pcm):
    """pcm (16 kHz mono 16-bit) as a WAV file; makes the folder."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm)


def load_clips(data):
    """[(id, pcm bytes, reference words)] in the order of the transcription file."""
    clips = []
    with open(os.path.join(data, "transcription")) as f:
        for line in f:
            m = re.match(r"\s*(.*?)\s*\(([^)]+)\)\s*$", line)
            if not m:
                continue
            words = [w for w in m.group(1).lower().split() if w not in ("<s>", "</s>", "<sil>")]
            clip_id = m.group(2)
            clips.append((clip_id, read_pcm(os.path.join(data, clip_id + ".wav")), words))
    if not clips:
        raise SystemExit(f"no clips in {data}/transcription")
    return clips


def speech_span(pcm):
    """(first, last) second of speech: 10 ms frames at least 15 dB above the
    clip's noise floor (its 10th-percentile frame), runs of 50 ms or more."""
    samples = array.array("h")
    samples.frombytes(pcm)
    frame = RATE // 100
    levels = []
    for i in range(0, len(samples) - frame + 1, frame):
        chunk = samples[i:i + frame]
        energy = sum(s * s for s in chunk) / frame
        levels.append(10 * math.log10(energy + 1.0))
    floor = sorted(levels)[len(levels) // 10]
    loud = [lv >= floor + 15 for lv in levels]
    runs, start = [], None
    for i, on in enumerate(loud + [False]):
        if on and start is None:
            start = i
        elif not on and start is not None:
            if i - start >= 5:
                runs.append((start, i))
            start = None
    if not runs:
        return None
    return runs[0][0] / 100.0, runs[-1][1] / 100.0


def words_of(text):
    return [w for w in re.sub(r"[^a-z' ]", " ", text.lower()).split() if w]


# --------------------------------------------------------------------------
# Small statistics


def median(xs):
    return statistics.median(xs) if xs else float("nan")


def spread(xs):
    """min..max as text, or '' for fewer than two values."""
    return f"{min(xs):.3f}..{max(xs):.3f}" if len(xs) > 1 else ""


def fmt(x, digits=3):
    return "n/a" if x is None or (isinstance(x, float) and math.isnan(x)) else f"{x:.{digits}f}"


# --------------------------------------------------------------------------
# Running a child with its resource use


def run_timed(argv, timeout, stdin=subprocess.DEVNULL):
    """Runs argv; returns (wall s, cpu s, peak RSS KiB, exit code, stdout)."""
    t0 = time.monotonic()
    child = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = []
    reader = threading.Thread(target=lambda: out.append(child.stdout.read()), daemon=True)
    reader.start()
    deadline = t0 + timeout
    while True:
        pid, status, usage = os.wait4(child.pid, os.WNOHANG)
        if pid:
            break
        if time.monotonic() > deadline:
            child.kill()
            pid, status, usage = os.wait4(child.pid, 0)
            break
        time.sleep(0.002)
    wall = time.monotonic() - t0
    reader.join(5)
    child.returncode = os.waitstatus_to_exitcode(status)
    return (wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, child.returncode,
            out[0].decode(errors="replace") if out else "")


class HelperRun:
    """One run of a helper executable against a host in this process: listens
    on loopback, starts the helper, records every event with its arrival time
    (seconds since the launch), and sends lines on request."""

    def __init__(self, helper, language="en", env=None, sample_rss=False):
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(1)
        self.server.settimeout(20)
        port = self.server.getsockname()[1]
        self.events = []
        self.rss = []  # (seconds since launch, lines sent, VmRSS KiB)
        self.lines_sent = 0
        self.sent_at = []  # seconds since launch of each audio line
        self.t0 = time.monotonic()
        self.child = subprocess.Popen(
            [helper, language, "--olvek-socket-port", str(port), "--olvek-socket-token", "bench"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        self.conn, _ = self.server.accept()
        self.conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.ready = threading.Event()
        self.closed = threading.Event()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        if sample_rss:
            threading.Thread(target=self._sample_rss, daemon=True).start()

    def now(self):
        return time.monotonic() - self.t0

    def _read(self):
        stream = self.conn.makefile("rb")
        for line in stream:
            event = json.loads(line)
            event["_t"] = self.now()
            self.events.append(event)
            if event.get("type") == "ready":
                self.ready.set()
        self.closed.set()
        self.ready.set()

    def _sample_rss(self):
        path = f"/proc/{self.child.pid}/status"
        while not self.closed.is_set():
            try:
                with open(path) as f:
                    for line in f:
                        if line.startswith("VmRSS:"):
                            self.rss.append((self.now(), self.lines_sent, int(line.split()[1])))
            except OSError:
                return
            time.sleep(0.25)

    def wait_ready(self, timeout=20):
        self.ready.wait(timeout)
        ready = [e for e in self.events if e["type"] == "ready"]
        if not ready:
            raise RuntimeError("the helper sent no ready")
        return ready[0]["_t"]

    def send(self, data):
        self.conn.sendall(data)

    def send_pcm_line(self, pcm):
        data = base64.b64encode(pcm) + b"\n"
        # Stamped before the send: the reader thread may see the helper's
        # answer before sendall returns here.
        self.sent_at.append(self.now())
        self.conn.sendall(data)
        self.lines_sent += 1

    def end(self, timeout=60):
        """Sends "__END__", waits for the helper's exit; returns (exit code,
        cpu s, peak RSS KiB) and the time "__END__" went out."""
        t_end = self.now()
        self.conn.sendall(b"__END__\n")
        deadline = time.monotonic() + timeout
        while True:
            pid, status, usage = os.wait4(self.child.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() > deadline:
                self.child.kill()
                pid, status, usage = os.wait4(self.child.pid, 0)
                break
            time.sleep(0.002)
        self.closed.wait(5)
        self.conn.close()
        self.server.close()
        return t_end, os.waitstatus_to_exitcode(status), usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def paced_send(run, pcm, start, offset_s):
    """Sends pcm in 100 ms lines as a microphone delivers them: each line
    when the last of its samples has been spoken, `start` + audio time."""
    for i in range(0, len(pcm), LINE_BYTES):
        line = pcm[i:i + LINE_BYTES]
        due = start + offset_s + (i + len(line)) / (2 * RATE)
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        run.send_pcm_line(line)


# --------------------------------------------------------------------------
# Sections


def final_texts(json_lines):
    """The text of every "final" in olvek-transcribe --json output, in order."""
    finals = []
    for line in json_lines.splitlines():
        try:
            event = json.loads(line)
        except ValueError:
            continue
        if event.get("type") == "final":
            finals.append(event.get("text", ""))
    return finals


def transcript_of(json_lines):
    """(hypothesis, number of finals) from olvek-transcribe --json output."""
    finals = final_texts(json_lines)
    return " ".join(t for t in finals if t), len(finals)


def stream_helper(helper, pcm, paced=False, timeout=120):
    """The helper driven by this script's host: 100 ms lines, either every
    line as fast as the connection takes it or paced as spoken, then
    "__END__" right after the last one. Returns the finished HelperRun and a
    dict: wall s (launch to exit), cpu s, peak RSS KiB, exit code, the time
    "__END__" went out (s since launch)."""
    r = HelperRun(helper)
    r.wait_ready()
    if paced:
        paced_send(r, pcm, time.monotonic() + 0.05, 0.0)
    else:
        for i in range(0, len(pcm), LINE_BYTES):
            r.send_pcm_line(pcm[i:i + LINE_BYTES])
    t_end, code, cpu, rss = r.end(timeout)
    return r, {"wall": r.now(), "cpu": cpu, "rss": rss, "code": code, "t_end": t_end}


def direct_run(helper, pcm, timeout=120):
    """The helper driven by this script's host: every line as fast as the
    connection takes it, then "__END__" at once, without the catch-up that
    olvek-transcribe adds. Returns (wall s, cpu s, peak RSS KiB, exit code,
    the events as --json lines)."""
    r, x = stream_helper(helper, pcm, timeout=timeout)
    out = "\n".join(json.dumps({k: v for k, v in e.items() if k != "_t"}) for e in r.events)
    return x["wall"], x["cpu"], x["rss"], x["code"], out


def raw_engine_argv(continuous):
    """pocketsphinx_continuous with the helper's model; the file goes last."""
    return [continuous, "-hmm", f"{MODEL}/en-us", "-lm", f"{MODEL}/en-us.lm.bin",
            "-dict", f"{MODEL}/cmudict-en-us.dict", "-logfn", "/dev/null", "-infile"]


def section_accuracy_speed(args, clips, results):
    transcribe = os.path.join(args.build, "olvek-transcribe")
    helper = os.path.join(args.build, "olvek-macos-speech-helper")
    continuous = shutil.which("pocketsphinx_continuous")
    if not os.access(transcribe, os.X_OK) or not continuous:
        results["notes"].append("accuracy+speed skipped: olvek-transcribe or pocketsphinx_continuous missing")
        return
    raw_argv = raw_engine_argv(continuous)
    # (name, kind, how): kind "argv" runs a command on the WAV file, kind
    # "direct" streams the PCM from this script.
    contenders = [("helper", "argv", [transcribe, "--json"]),
                  ("helper, direct", "direct", helper),
                  ("raw", "argv", raw_argv)]
    names = [c[0] for c in contenders]

    # The five clips, and all five joined into one longer file.
    items = [(cid, os.path.join(args.data, cid + ".wav"), pcm, ref) for cid, pcm, ref in clips]
    joined_path = os.path.join(args.build, "bench", "librivox-joined.wav")
    joined = b"".join(c[1] for c in clips)
    write_wav(joined_path, joined)
    items.append(("joined", joined_path, joined, [w for c in clips for w in c[2]]))

    per = {n: {it[0]: {"wall": [], "cpu": [], "rss": [], "errors": [], "hyps": [], "lost": 0} for it in items}
           for n in names}
    for run in range(args.runs):
        for k, (item_id, wav, pcm, ref) in enumerate(items):
            # Rotate who goes first, so a busy neighbour hurts all alike.
            shift = (run + k) % len(contenders)
            for name, kind, how in contenders[shift:] + contenders[:shift]:
                if kind == "direct":
                    wall, cpu, rss, code, out = direct_run(how, pcm)
                else:
                    wall, cpu, rss, code, out = run_timed(how + [wav], timeout=120)
                rec = per[name][item_id]
                if name == "raw":
                    hyp = " ".join(out.split()) if code == 0 else ""
                else:
                    hyp, finals = transcript_of(out)
                    # The last final missing: the helper's 3 s finishing limit
                    # cut the decoding of what was still queued.
                    if code != 0 or finals == 0 or not json_ends_with_final(out):
                        rec["lost"] += 1
                rec["wall"].append(wall)
                rec["cpu"].append(cpu)
                rec["rss"].append(rss)
                rec["hyps"].append(hyp)
                rec["errors"].append(edit_distance(ref, words_of(hyp)))
        print(f"  accuracy+speed: run {run + 1}/{args.runs} done", file=sys.stderr)

    rows = []
    for item_id, _, pcm, ref in items:
        row = {"clip": item_id[-4:] if item_id != "joined" else "all 5 joined", "audio_s": len(pcm) / (2 * RATE),
               "ref_words": len(ref)}
        for name in names:
            rec = per[name][item_id]
            row[name] = {"wer": median(rec["errors"]) / len(ref), "wer_varies": len(set(rec["errors"])) > 1,
                         "wall": median(rec["wall"]), "cpu": median(rec["cpu"]), "hyp": rec["hyps"][0],
                         "lost": rec["lost"]}
        rows.append(row)

    def totals_over(ids):
        ref_words = sum(len(it[3]) for it in items if it[0] in ids)
        out = {}
        raw_walls = [sum(per["raw"][i]["wall"][r] for i in ids) for r in range(args.runs)]
        for name in names:
            walls = [sum(per[name][i]["wall"][r] for i in ids) for r in range(args.runs)]
            cpus = [sum(per[name][i]["cpu"][r] for i in ids) for r in range(args.runs)]
            errors = [sum(per[name][i]["errors"][r] for i in ids) for r in range(args.runs)]
            out[name] = {"wer": median(errors) / ref_words, "wer_min": min(errors) / ref_words,
                         "wer_max": max(errors) / ref_words,
                         "wall": median(walls), "wall_spread": spread(walls),
                         "cpu": median(cpus), "cpu_spread": spread(cpus),
                         "rss_mib": max(max(per[name][i]["rss"]) for i in ids) / 1024,
                         "lost": sum(per[name][i]["lost"] for i in ids),
                         "wall_ratio": [w / r for w, r in zip(walls, raw_walls)]}
        return out

    # Once, longer than the helper can decode between reading "__END__" and
    # its 3 s finishing limit: does the last final survive without the
    # host's catch-up?
    long_runs = []
    long_pcm = joined * 2
    long_path = os.path.join(args.build, "bench", "librivox-joined-twice.wav")
    write_wav(long_path, long_pcm)
    long_ref = items[-1][3] * 2
    for name, kind, how in contenders:
        if kind == "direct":
            wall, cpu, _, code, out = direct_run(how, long_pcm)
        else:
            wall, cpu, _, code, out = run_timed(how + [long_path], timeout=180)
        if name == "raw":
            hyp, lost = " ".join(out.split()), code != 0
        else:
            hyp, lost = transcript_of(out)[0], code != 0 or not json_ends_with_final(out)
        long_runs.append({"name": name, "audio_s": len(long_pcm) / (2 * RATE), "wall": wall, "cpu": cpu,
                          "final_lost": lost, "wer": edit_distance(long_ref, words_of(hyp)) / len(long_ref)})

    results["accuracy_speed"] = {"clips": rows, "runs": args.runs, "names": names, "long": long_runs,
                                 "total": totals_over([c[0] for c in clips]), "joined": totals_over(["joined"])}


def json_ends_with_final(out):
    """True when the last transcript event before "stopped" is a final."""
    last = None
    for line in out.splitlines():
        try:
            t = json.loads(line).get("type")
        except ValueError:
            continue
        if t in ("partial", "final"):
            last = t
    return last == "final"


def latency_round(helper, clips, spans, out, label):
    """One helper run per clip k: clip k, 1.5 s of silence, clip k+1, then
    "__END__" right after the last sample, all paced as spoken."""
    gap = b"\0" * (2 * RATE * 3 // 2)
    for k in range(len(clips)):
        pair = [k, (k + 1) % len(clips)]
        r = HelperRun(helper)
        out["launch_to_ready"].append(r.wait_ready())
        out["launch_to_hello"].append(next(e["_t"] for e in r.events if e["type"] == "hello"))
        start = time.monotonic() + 0.05
        marks = []  # (speech on, speech off), seconds since launch
        offset = 0.0
        for n, c in enumerate(pair):
            pcm = clips[c][1]
            on, off = spans[c]
            marks.append((start - r.t0 + offset + on, start - r.t0 + offset + off))
            paced_send(r, pcm, start, offset)
            offset += len(pcm) / (2 * RATE)
            if n == 0:
                paced_send(r, gap, start, offset)
                offset += len(gap) / (2 * RATE)
        t_end, code, _, _ = r.end()
        events = r.events
        for n, (on, off) in enumerate(marks):
            nxt = marks[n + 1][0] if n + 1 < len(marks) else float("inf")
            partials = [e["_t"] for e in events if e["type"] == "partial" and on <= e["_t"] < nxt]
            if partials:
                out["speech_to_partial"].append(partials[0] - on)
            else:
                out["missing"].append(f"{label} clip {pair[n] + 1}: no partial")
        finals = [e["_t"] for e in events if e["type"] == "final" and marks[0][1] <= e["_t"] < marks[1][0]]
        if finals:
            out["utterance_end_to_final"].append(finals[0] - marks[0][1])
        else:
            out["missing"].append(f"{label} clip {pair[0] + 1}: no final in the silence after it")
        finals = [e["_t"] for e in events if e["type"] == "final"]
        if finals and finals[-1] >= t_end:
            out["end_to_final"].append(finals[-1] - t_end)
        else:
            out["missing"].append(f"{label} clips {pair[0] + 1}+{pair[1] + 1}: no final after __END__ (exit {code})")
        # How long before each transcript event the last line went out: the
        # helper sends results only in the turn after an appended line.
        for e in events:
            if e["type"] in ("partial", "final") and e["_t"] < t_end:
                i = bisect.bisect_right(r.sent_at, e["_t"])
                if i:
                    out["after_line"].append(e["_t"] - r.sent_at[i - 1])
        ref = clips[pair[0]][2] + clips[pair[1]][2]
        hyp = words_of(" ".join(e.get("text", "") for e in events if e["type"] == "final"))
        out["errors"] += edit_distance(ref, hyp)
        out["ref_words"] += len(ref)


def section_latency(args, clips, results):
    helper = os.path.join(args.build, "olvek-macos-speech-helper")
    if not os.access(helper, os.X_OK):
        results["notes"].append("latency skipped: the helper is not built")
        return
    spans = [speech_span(pcm) for _, pcm, _ in clips]
    contenders = [("helper", helper, args.latency_runs)]
    variant = os.path.join(args.build, "bench", "olvek-bench-helper-noflat")
    if os.access(variant, os.X_OK) and args.variant_latency_runs > 0:
        contenders.append(("helper, no flat pass", variant, args.variant_latency_runs))
    table = {}
    raw_start = raw_startup(args, args.latency_runs * len(clips))
    for name, exe, rounds in contenders:
        out = {"launch_to_hello": [], "launch_to_ready": [], "speech_to_partial": [], "utterance_end_to_final": [], "end_to_final": [],
               "missing": [], "errors": 0, "ref_words": 0, "runs": rounds * len(clips), "after_line": []}
        for rnd in range(rounds):
            latency_round(exe, clips, spans, out, f"{name} round {rnd + 1}")
            print(f"  latency: {name} round {rnd + 1}/{rounds} done", file=sys.stderr)
        table[name] = out
    results["latency"] = table
    results["raw_startup"] = raw_start


def raw_startup(args, count):
    """Wall seconds of pocketsphinx_continuous on 0.1 s of silence: the raw
    engine's own model load, to set beside launch to "ready"."""
    continuous = shutil.which("pocketsphinx_continuous")
    if not continuous:
        return []
    path = os.path.join(args.build, "bench", "silence-100ms.wav")
    write_wav(path, b"\0" * (RATE // 5))
    argv = raw_engine_argv(continuous) + [path]
    return [run_timed(argv, timeout=60)[0] for _ in range(count)]


# --------------------------------------------------------------------------
# Full speed: no word lost

SOMETHING = "/usr/share/pocketsphinx/test/data/something.raw"
SOMETHING_WORDS = "go somewhere and do something".split()
QUIET_AMPLITUDE = 30  # the "quiet" between sentences: low random noise, not digital zeros
BUSY_LOOP = ("import os\n"
             "parent = os.getppid()\n"
             "while os.getppid() == parent:\n"
             "    for _ in range(1000000):\n"
             "        pass\n")
FULLSPEED_HOSTS = (("olvek-transcribe FILE", False), ("direct, full speed", False),
                   ("olvek-transcribe --realtime", True), ("direct, real time", True),
                   ("pocketsphinx_continuous -infile", False))
YARDSTICK = "olvek-transcribe --realtime"


def matched_ref_words(ref, hyp):
    """Indices of the reference words that a minimal word alignment with hyp
    (the one behind edit_distance) pairs with the same word."""
    rows = [list(range(len(hyp) + 1))]
    for i, r in enumerate(ref, 1):
        prev, cur = rows[-1], [i] + [0] * len(hyp)
        for j, h in enumerate(hyp, 1):
            cur[j] = min(prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (r != h))
        rows.append(cur)
    hits, i, j = set(), len(ref), len(hyp)
    while i and j:
        if ref[i - 1] == hyp[j - 1] and rows[i][j] == rows[i - 1][j - 1]:
            hits.add(i - 1)
            i, j = i - 1, j - 1
        elif rows[i][j] == rows[i - 1][j - 1] + 1:
            i, j = i - 1, j - 1
        elif rows[i][j] == rows[i - 1][j] + 1:
            i -= 1
        else:
            j -= 1
    return hits


def quiet(seconds, rng):
    return array.array("h", (rng.randint(-QUIET_AMPLITUDE, QUIET_AMPLITUDE)
                             for _ in range(int(round(seconds * RATE))))).tobytes()


def fullspeed_cases(args, clips):
    """The three files: sentences joined by low-noise quiet. Pauses are the
    quiet put between them; "silences" are measured from the end of one
    sentence's speech to the start of the next (speech_span)."""
    by_id = {cid[-4:]: (pcm, ref) for cid, pcm, ref in clips}
    with open(SOMETHING, "rb") as f:
        by_id["something"] = (f.read(), SOMETHING_WORDS)
    plans = (("a", "0870, 0880, 0890 1 s apart, 0.55 s, something.raw",
              [("0870", 1.0), ("0880", 1.0), ("0890", 0.55), ("something", None)]),
             ("b", "the five clips 1 s apart", [(c[0][-4:], 1.0) for c in clips[:-1]] + [(clips[-1][0][-4:], None)]),
             ("c", "0880 alone", [("0880", None)]))
    cases = []
    for name, label, plan in plans:
        rng = random.Random(name)
        pcm, ref, pauses, silences = b"", [], [], []
        for piece, gap in plan:
            audio, words = by_id[piece]
            span = speech_span(audio)
            if pcm:
                silences[-1] += span[0]
            if gap is not None:
                pauses.append(gap)
                silences.append(len(audio) / (2 * RATE) - span[1] + gap)
            pcm += audio + (quiet(gap, rng) if gap is not None else b"")
            ref += words
        path = os.path.join(args.build, "bench", f"fullspeed-{name}.wav")
        write_wav(path, pcm)
        cases.append({"name": name, "label": label, "path": path, "pcm": pcm, "ref": ref,
                      "audio_s": len(pcm) / (2 * RATE), "pauses": pauses, "silences": silences,
                      "expected_finals": sum(1 for g in pauses if g >= 1.0) + 1,
                      "expected_measured": sum(1 for g in silences if g >= 1.0) + 1})
    return cases


def fullspeed_run(host, paced, case, transcribe, helper, continuous):
    """One run of one host on one case: wall s, cpu s, exit code, the
    non-empty finals (raw engine: its output lines), "__END__" to the last
    final (hosts of this script only)."""
    timeout = case["audio_s"] + 120
    if host.startswith("direct"):
        r, x = stream_helper(helper, case["pcm"], paced=paced, timeout=timeout)
        finals = [e for e in r.events if e["type"] == "final"]
        x["finals"] = [e.get("text", "") for e in finals if e.get("text")]
        x["end_to_final"] = finals[-1]["_t"] - x["t_end"] if finals and finals[-1]["_t"] >= x["t_end"] else None
        x["unfinished"] = unfinished_partial(r.events)
        return x
    if host == "pocketsphinx_continuous -infile":
        argv = raw_engine_argv(continuous) + [case["path"]]
    else:
        argv = [transcribe, "--json"] + (["--realtime"] if paced else []) + [case["path"]]
    wall, cpu, _, code, out = run_timed(argv, timeout=timeout)
    if host.startswith("pocketsphinx"):
        finals = [" ".join(line.split()) for line in out.splitlines() if line.strip()] if code == 0 else []
    else:
        finals = [t for t in final_texts(out) if t]
    events = []
    for line in out.splitlines():
        try:
            events.append(json.loads(line))
        except ValueError:
            pass
    return {"wall": wall, "cpu": cpu, "code": code, "finals": finals, "end_to_final": None,
            "unfinished": unfinished_partial(events)}


def unfinished_partial(events):
    """The text of the last partial when no final followed it, else ""."""
    text = ""
    for e in events:
        if e.get("type") == "partial":
            text = e.get("text", "")
        elif e.get("type") == "final":
            text = ""
    return text


def cpu_busy_share(seconds):
    """The share of the machine's CPU time not idle over the next seconds."""
    def sample():
        with open("/proc/stat") as f:
            fields = [int(v) for v in f.readline().split()[1:]]
        return sum(fields), fields[3] + fields[4]  # idle + iowait
    total0, idle0 = sample()
    time.sleep(seconds)
    total1, idle1 = sample()
    return 1 - (idle1 - idle0) / max(1, total1 - total0)


def wait_for_quiet(limit_s):
    """Waits, up to limit_s, until the machine is at least 80% idle over 3 s;
    returns the seconds waited (None when the limit ran out)."""
    t0 = time.monotonic()
    while time.monotonic() - t0 < limit_s:
        if cpu_busy_share(3) < 0.2:
            return time.monotonic() - t0
    return None if limit_s > 0 else 0.0


def start_busy(count):
    """count processes that spin on the CPU until stop_busy (or this
    script's end: each stops once its parent is gone)."""
    return [subprocess.Popen([sys.executable, "-c", BUSY_LOOP], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for _ in range(count)]


def stop_busy(busy):
    for child in busy:
        if child.poll() is None:
            child.kill()
        child.wait()


def fullspeed_state(args, cases, tools):
    """Every case through every host, rotating who goes first; the
    real-time hosts only in the first --fullspeed-realtime-runs runs."""
    runs = {c["name"]: {h: [] for h, _ in FULLSPEED_HOSTS} for c in cases}
    loads, done = [], threading.Event()

    def sample_load():
        while not done.wait(2):
            loads.append(os.getloadavg()[0])

    loads.append(os.getloadavg()[0])
    threading.Thread(target=sample_load, daemon=True).start()
    try:
        for run in range(max(args.fullspeed_runs, args.fullspeed_realtime_runs)):
            for k, case in enumerate(cases):
                hosts = [(h, paced) for h, paced in FULLSPEED_HOSTS
                         if run < (args.fullspeed_realtime_runs if paced else args.fullspeed_runs)]
                shift = (run + k) % len(hosts)
                for host, paced in hosts[shift:] + hosts[:shift]:
                    x = fullspeed_run(host, paced, case, *tools)
                    x["run"] = run
                    runs[case["name"]][host].append(x)
    finally:
        done.set()
    return runs, loads


def summarize_fullspeed(cases, runs):
    """Per case and host: words lost against the real-time runs of
    olvek-transcribe (the reference words they got and this run did not),
    word error rate, non-empty finals, wall time and its ratio to the raw
    engine's in the same run, "__END__" to the last final."""
    table = {}
    for case in cases:
        ref = case["ref"]
        per_host = runs[case["name"]]
        yard = set()
        for x in per_host[YARDSTICK]:
            yard |= matched_ref_words(ref, words_of(" ".join(x["finals"])))
        raw_wall = {x["run"]: x["wall"] for x in per_host["pocketsphinx_continuous -infile"]}
        rows = {}
        for host, paced in FULLSPEED_HOSTS:
            xs = per_host[host]
            if not xs:
                continue
            lost, errors = [], []
            for x in xs:
                hyp = words_of(" ".join(x["finals"]))
                x["lost_words"] = [ref[i] for i in sorted(yard - matched_ref_words(ref, hyp))]
                lost.append(len(x["lost_words"]))
                errors.append(edit_distance(ref, hyp))
            ratios = [] if paced else [x["wall"] / raw_wall[x["run"]] for x in xs if x["run"] in raw_wall]
            ends = [x["end_to_final"] for x in xs if x["end_to_final"] is not None]
            rows[host] = {"runs": len(xs), "lost": lost, "wer": median(errors) / len(ref),
                          "wer_min": min(errors) / len(ref), "wer_max": max(errors) / len(ref),
                          "finals": [len(x["finals"]) for x in xs], "wall": median([x["wall"] for x in xs]),
                          "cpu": median([x["cpu"] for x in xs]), "ratio": median(ratios) if ratios else None,
                          "ratio_min": min(ratios, default=None), "ratio_max": max(ratios, default=None),
                          "end_to_final": ends,
                          "no_final_after_end": sum(1 for x in xs if host.startswith("direct")
                                                    and x["end_to_final"] is None),
                          "failed": sum(1 for x in xs if x["code"] != 0),
                          "transcripts": [" | ".join(x["finals"]) for x in xs],
                          "lost_runs": [x["lost_words"] for x in xs],
                          "unfinished": [x["unfinished"] for x in xs]}
        table[case["name"]] = rows
    return table


def section_fullspeed(args, clips, results):
    transcribe = os.path.join(args.build, "olvek-transcribe")
    helper = os.path.join(args.build, "olvek-macos-speech-helper")
    continuous = shutil.which("pocketsphinx_continuous")
    if not (os.access(transcribe, os.X_OK) and os.access(helper, os.X_OK) and continuous
            and os.access(SOMETHING, os.R_OK)):
        results["notes"].append("fullspeed skipped: olvek-transcribe, the helper, pocketsphinx_continuous "
                                f"or {SOMETHING} missing")
        return
    if args.fullspeed_realtime_runs < 1:
        results["notes"].append("fullspeed skipped: words lost need at least one real-time run")
        return
    cases = fullspeed_cases(args, clips)
    out = {"runs": args.fullspeed_runs, "realtime_runs": args.fullspeed_realtime_runs,
           "cases": [{k: v for k, v in c.items() if k != "pcm"} for c in cases], "states": {}}
    results["fullspeed"] = out

    def terminate(signum, frame):
        raise SystemExit(128 + signum)

    previous = signal.signal(signal.SIGTERM, terminate)
    try:
        for state in ("quiet", "loaded"):
            busy = []
            try:
                if state == "quiet":
                    out["quiet_wait_s"] = wait_for_quiet(args.fullspeed_quiet_wait)
                if state == "loaded":
                    busy = start_busy(2)
                    time.sleep(1)
                runs, loads = fullspeed_state(args, cases, (transcribe, helper, continuous))
            finally:
                stop_busy(busy)
            out["states"][state] = {"loads": loads, "busy": 2 if state == "loaded" else 0,
                                    "table": summarize_fullspeed(cases, runs)}
            print(f"  fullspeed: {state} machine done", file=sys.stderr)
    finally:
        signal.signal(signal.SIGTERM, previous)


def section_memory(args, clips, results):
    helper = os.path.join(args.build, "olvek-macos-speech-helper")
    if not os.access(helper, os.X_OK):
        results["notes"].append("memory skipped: the helper is not built")
        return
    gap = b"\0" * (2 * RATE)
    one_pass = b"".join(pcm + gap for _, pcm, _ in clips)
    total_bytes = int(args.long_minutes * 60 * 2 * RATE) // 2 * 2
    stream = (one_pass * (total_bytes // len(one_pass) + 1))[:total_bytes]
    r = HelperRun(helper, sample_rss=True)
    r.wait_ready()
    t_start = r.now()
    for i in range(0, len(stream), LINE_BYTES):
        r.send_pcm_line(stream[i:i + LINE_BYTES])
    # The helper holds a backlog, and events only go out in the turns after
    # appended lines: keep sending silence at real time until it has gone
    # 3 s without a transcript event, so that all the speech is decoded
    # before "__END__" (whose finishing limit would otherwise cut it).
    silence = b"\0" * LINE_BYTES
    deadline = time.monotonic() + 600
    while time.monotonic() < deadline:
        last = max((e["_t"] for e in r.events if e["type"] in ("partial", "final")), default=0)
        if r.now() - last > 3:
            break
        r.send_pcm_line(silence)
        time.sleep(LINE_MS / 1000)
    t_caught_up = r.now()
    t_end, code, cpu, peak = r.end(timeout=60)
    span = t_caught_up - t_start
    # Whole windows of time, since the queue fills at once and stays full:
    # the second tenth of the run against the last tenth.
    def window(lo, hi):
        xs = [kib for t, _, kib in r.rss if t_start + lo * span <= t < t_start + hi * span]
        return max(xs) / 1024 if xs else float("nan")
    finals = [e for e in r.events if e["type"] == "final"]
    results["memory"] = {"audio_min": len(stream) / (2 * RATE) / 60, "peak_mib": peak / 1024,
                         "early_mib": window(0.1, 0.2), "late_mib": window(0.9, 1.0),
                         "wall_s": span, "cpu_s": cpu, "finals": len(finals), "exit": code,
                         "samples": len(r.rss)}


def scripted_helper(build):
    for path in (os.path.join(build, "tests", "olvek-scripted-helper"), os.path.join(build, "olvek-scripted-helper")):
        if os.access(path, os.X_OK):
            return path
    return None


def script_line(command):
    """An audio line whose samples carry a command of the scripted engine."""
    samples = array.array("h", [0x7ABC, 0x7ABD] + [ord(c) for c in command])
    return base64.b64encode(samples.tobytes()) + b"\n"


def hostlink_stream(run, seconds, paced, clips):
    """100 ms audio lines of real speech; after every 5th a partial ("W:"),
    after every 50th a final ("F"), about what the engine sends for speech."""
    start = time.monotonic()
    pcm = b"".join(c[1] for c in clips)
    audio_lines = int(seconds * 1000 / LINE_MS)
    for k in range(audio_lines):
        i = (k * LINE_BYTES) % (len(pcm) - LINE_BYTES)
        if paced:
            delay = start + (k + 1) * LINE_MS / 1000 - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        run.send_pcm_line(pcm[i:i + LINE_BYTES])
        if k % 5 == 4:
            run.send(script_line("W:word%d" % k))
        if k % 50 == 49:
            run.send(script_line("F"))


def section_hostlink(args, clips, results):
    helper = scripted_helper(args.build)
    if not helper:
        results["notes"].append("hostlink skipped: olvek-scripted-helper is not built (configure with tests on)")
        return
    env = dict(os.environ, OLVEK_TEST_PLATFORM="end=final")
    base = []
    for _ in range(3):
        r = HelperRun(helper, env=env)
        r.wait_ready()
        base.append(r.end()[2])
    cpu0 = median(base)
    out = {"baseline_cpu_s": cpu0}
    for name, seconds, paced in (("fast", args.hostlink_fast_s, False), ("realtime", args.hostlink_realtime_s, True)):
        cpus, walls, events = [], [], []
        for _ in range(1 if paced else 3):
            r = HelperRun(helper, env=env)
            r.wait_ready()
            t0 = r.now()
            hostlink_stream(r, seconds, paced, clips)
            t_end, code, cpu, _ = r.end()
            cpus.append(cpu)
            walls.append(t_end - t0)
            events.append(len(r.events))
        per_hour = (median(cpus) - cpu0) * 3600 / seconds
        out[name] = {"audio_s": seconds, "cpu_s": median(cpus), "cpu_spread": spread(cpus), "wall_s": median(walls),
                     "events": median(events), "cpu_s_per_audio_hour": per_hour,
                     "core_percent_at_realtime": per_hour / 3600 * 100}
    results["hostlink"] = out


def section_micro(args, results):
    exe = os.path.join(args.build, "bench", "olvek_hostlink_bench")
    if not os.access(exe, os.X_OK):
        results["notes"].append("micro skipped: bench/olvek_hostlink_bench is not built (Google Benchmark missing?)")
        return
    proc = subprocess.run([exe, "--benchmark_format=json", "--benchmark_repetitions=3",
                           "--benchmark_report_aggregates_only=true", "--benchmark_min_time=0.2"],
                          capture_output=True, text=True, timeout=300)
    if proc.returncode != 0:
        results["notes"].append("micro failed: " + proc.stderr[-300:])
        return
    report = json.loads(proc.stdout)
    rows = {}
    for b in report["benchmarks"]:
        if b.get("aggregate_name") not in ("median", "stddev"):
            continue
        rec = rows.setdefault(b["run_name"], {})
        rec[b["aggregate_name"]] = b
    results["micro"] = [
        {"name": name, "mib_s": rec["median"].get("bytes_per_second", 0) / 2**20,
         "items_s": rec["median"].get("items_per_second"),
         "lines_s": rec["median"].get("lines/s"),
         "cpu_ns": rec["median"]["cpu_time"], "cpu_ns_sd": rec.get("stddev", {}).get("cpu_time")}
        for name, rec in rows.items()]


# --------------------------------------------------------------------------
# The table


def machine():
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "")
    except OSError:
        pass
    load = os.getloadavg()[0]
    return f"{cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}, load {load:.1f} at the end"


def print_fullspeed(fs):
    p = print
    p("")
    p("Full speed: no word lost. Each file as fast as the helper takes it (olvek-transcribe FILE; the helper driven "
      "directly by this script's host, every 100 ms line as fast as the helper takes it) and at real-time pace "
      "(olvek-transcribe --realtime, the yardstick; this script's latency host, lines sent as spoken); on the machine "
      "as it is and with two busy processes; "
      f"runs: {fs['runs']} at full speed, {fs['realtime_runs']} at real time; median")
    p("")
    for c in fs["cases"]:
        quiet_in = (f"quiet put between sentences {', '.join(f'{g:.2f}' for g in c['pauses'])} s (from speech to "
                    f"speech {', '.join(f'{g:.2f}' for g in c['silences'])} s)" if c["pauses"] else "one sentence")
        p(f"- {c['name']}: {c['label']}; {c['audio_s']:.2f} s, {len(c['ref'])} reference words; {quiet_in}; "
          f"pauses of 1 s or more + 1: {c['expected_finals']} put in, {c['expected_measured']} measured")
    p("")
    p("| case | machine | host | words lost: median (max) | WER (min..max) | non-empty finals / pauses + 1 | wall s | "
      "wall / raw (min..max) | \"__END__\" to last final s (min..max) |")
    p("|---|---|---|---|---|---|---|---|---|")
    expected = {c["name"]: f"{c['expected_finals']}" + (
        f" ({c['expected_measured']} measured)" if c["expected_measured"] != c["expected_finals"] else "")
        for c in fs["cases"]}
    for c in fs["cases"]:
        for state, st in fs["states"].items():
            for host, x in st["table"][c["name"]].items():
                raw = host.startswith("pocketsphinx")
                lost = "" if raw else f"{median(x['lost']):.0f} ({max(x['lost'])})"
                counts = sorted(set(x["finals"]))
                finals = ", ".join(f"{n}" + (f" ×{x['finals'].count(n)}" if len(counts) > 1 else "") for n in counts)
                ratio = "" if x["ratio"] is None else f"{x['ratio']:.2f}" + (
                    f" ({x['ratio_min']:.2f}..{x['ratio_max']:.2f})" if x["runs"] > 1 else "")
                ends = x["end_to_final"]
                end = f"{median(ends):.3f}" + (f" ({spread(ends)})" if len(ends) > 1 else "") if ends else ""
                if x["no_final_after_end"]:
                    end += f" ({x['no_final_after_end']} without)"
                failed = f" ({x['failed']} failed)" if x["failed"] else ""
                p(f"| {c['name']} | {state} | {host}{failed} | {lost} | {x['wer']:.1%} ({x['wer_min']:.1%}.."
                  f"{x['wer_max']:.1%}) | {finals} / {expected[c['name']]} | {x['wall']:.2f} | {ratio} | {end} |")
    p("")
    for state, st in fs["states"].items():
        loads = st["loads"]
        waited = ""
        if state == "quiet" and "quiet_wait_s" in fs:
            w = fs["quiet_wait_s"]
            waited = ("; the machine never was 80% idle within the wait" if w is None else
                      f"; started once the machine was 80% idle, after {w:.0f} s" if w else "")
        p(f"- {state}: {st['busy']} busy processes started by this script; 1-minute load average "
          f"{min(loads):.1f} to {max(loads):.1f} during the runs{waited}")
    p("- words lost: reference words that a real-time run of olvek-transcribe got (a minimal word alignment pairs "
      "them with the same word) and this run did not; WER: plain word error rate against the references, median")
    p("- finals: finals with text (the raw engine: its output lines) against the pauses of 1 s or more + 1, as "
      "put in (quiet between sentences) and, where it differs, as measured (silence from speech to speech)")
    p("- wall / raw: median over the runs of the wall time over pocketsphinx_continuous -infile's on the same file "
      "in the same run (goal <= 1.05); real-time runs last as long as their audio")
    p("- \"__END__\" to the last final: this script's hosts only; goal <= 0.100 at real-time pace; at full speed, "
      "how long the helper took to finish what it still held")
    p("")
    p("Transcripts (finals separated by |); the real-time run of olvek-transcribe, then every other transcript that "
      "differs from it:")
    p("")
    for c in fs["cases"]:
        for state, st in fs["states"].items():
            rows = st["table"][c["name"]]
            yard = rows[YARDSTICK]["transcripts"]
            for t in sorted(set(yard), key=yard.index):
                p(f"- {c['name']}, {state}, {YARDSTICK}: {t or '(no final with text)'}")
            for host, x in rows.items():
                if host == YARDSTICK or host.startswith("pocketsphinx"):
                    continue
                for t in sorted(set(x["transcripts"]), key=x["transcripts"].index):
                    if t in yard:
                        continue
                    which = [i + 1 for i, u in enumerate(x["transcripts"]) if u == t]
                    lost = [x["lost_runs"][i - 1] for i in which]
                    pending = sorted({x["unfinished"][i - 1] for i in which} - {""})
                    p(f"- {c['name']}, {state}, {host} (run {', '.join(map(str, which))}): "
                      f"{t or '(no final with text)'}" +
                      (f" — lost: {' '.join(lost[0])}" if lost[0] else "") +
                      (f" — last partial, no final after it: {' / '.join(pending)}" if pending else ""))


def print_table(results):
    p = print
    p("Olvek speech helper against the raw PocketSphinx engine")
    p(f"Machine: {results['machine']}")
    p(f"Ran in {results['elapsed_s']:.0f} s on {results['date']}")
    a = results.get("accuracy_speed")
    if a:
        names = a["names"]
        p("")
        p(f"Accuracy and speed: the 5 librivox clips one by one, olvek-transcribe (as fast as the helper takes it) "
          f"against pocketsphinx_continuous -infile, {a['runs']} runs interleaved, median")
        p("")
        p("| clip | audio s | words | " + " | ".join(f"WER {n}" for n in names) + " |")
        p("|---|---|---|" + "---|" * len(names))
        for row in a["clips"]:
            cells = []
            for n in names:
                x = row[n]
                cells.append(f"{x['wer']:.1%}" + ("*" if x["wer_varies"] else "") +
                             (f" ({x['lost']} lost)" if x["lost"] else ""))
            p(f"| {row['clip']} | {row['audio_s']:.2f} | {row['ref_words']} | " + " | ".join(cells) + " |")
        p("")
        raw = a["total"]["raw"]
        for key, title in (("total", "the 5 clips, one run each"), ("joined", "the 5 clips joined, 24.7 s in one run")):
            p("")
            p(f"| {title} | WER (min..max) | wall s | CPU s | wall / raw | CPU / raw | peak RSS MiB | final lost |")
            p("|---|---|---|---|---|---|---|---|")
            raw = a[key]["raw"]
            for n in names:
                x = a[key][n]
                ratio = f"{x['wall'] / raw['wall']:.2f}" + (
                    f" ({min(x['wall_ratio']):.2f}..{max(x['wall_ratio']):.2f})" if len(x["wall_ratio"]) > 1 else "")
                p(f"| {n} | {x['wer']:.1%} ({x['wer_min']:.1%}..{x['wer_max']:.1%}) | {x['wall']:.2f} "
                  f"({x['wall_spread']}) | {x['cpu']:.2f} ({x['cpu_spread']}) | {ratio} | {x['cpu'] / raw['cpu']:.2f} | "
                  f"{x['rss_mib']:.0f} | {x['lost'] if n != 'raw' else ''} |")
        if a.get("long"):
            p("")
            p("| the joined clips twice, 49.5 s in one run, once | wall s | CPU s | WER | last final |")
            p("|---|---|---|---|---|")
            for x in a["long"]:
                last = "" if x["name"] == "raw" else ("lost" if x["final_lost"] else "received")
                p(f"| {x['name']} | {x['wall']:.2f} | {x['cpu']:.2f} | {x['wer']:.1%} | {last} |")
        p("")
        p("- helper: olvek-transcribe FILE --json; \"direct\": the helper driven by this script's host, every line as "
          "fast as the helper takes it and \"__END__\" right after the audio; raw: pocketsphinx_continuous -infile "
          "with the same model")
        p("- wall and CPU: median (min..max) over the runs of the sum over the clips; WER: median; goal wall / raw <= 1.05")
        p("- final lost: runs whose last transcript event was not a final (the helper's 3 s finishing limit ran "
          "out with audio still undecoded), so words are missing")
        if any(row[n]["wer_varies"] for row in a["clips"] for n in names):
            p("- * the word errors differed between runs")
    if results.get("fullspeed", {}).get("states"):
        print_fullspeed(results["fullspeed"])
    lat = results.get("latency")
    if lat:
        names = list(lat)
        p("")
        p("Latency at real-time pacing: per run clip k, 1.5 s of silence, clip k+1, \"__END__\" right after it; "
          "100 ms lines sent as spoken; " + ", ".join(f"{lat[n]['runs']} runs {n}" for n in names))
        p("")
        p("| measure, s | " + " | ".join(f"{n}: median (min..max) n" for n in names) + " | goal |")
        p("|---|" + "---|" * len(names) + "---|")
        for key, label, goal in (("launch_to_hello", 'launch to "hello" (connected, no model yet)', ""),
                                 ("launch_to_ready", 'launch to "ready"', "<= 0.400"),
                                 ("speech_to_partial", 'start of speech to first "partial"', ""),
                                 ("utterance_end_to_final", 'last speech to its "final"', ""),
                                 ("end_to_final", '"__END__" to the last "final"', "<= 0.100")):
            cells = [f"{fmt(median(lat[n][key]))} ({spread(lat[n][key]) or 'n/a'}) {len(lat[n][key])}" for n in names]
            p(f"| {label} | " + " | ".join(cells) + f" | {goal} |")
        raw = results.get("raw_startup") or []
        if raw:
            p(f"| raw engine start-up: pocketsphinx_continuous on 0.1 s of silence, wall | {fmt(median(raw))} "
              f"({spread(raw)}) {len(raw)} |" + " |" * (len(names) - 1) + " |")
        p("| WER of the finals at this pacing | " +
          " | ".join(f"{lat[n]['errors'] / max(1, lat[n]['ref_words']):.1%}" for n in names) + " | |")
        for n in names:
            gaps = lat[n]["after_line"]
            if gaps:
                within = sum(1 for g in gaps if g <= 0.010) / len(gaps)
                p(f"- {n}: {within:.0%} of {len(gaps)} partials and finals before \"__END__\" arrived within 10 ms of "
                  f"an audio line (median {median(gaps) * 1000:.1f} ms after it): results wait for the turn after the "
                  f"next line, up to {LINE_MS} ms")
        for n in names:
            for m in lat[n]["missing"]:
                p(f"- missing: {m}")
    mem = results.get("memory")
    if mem:
        p("")
        p(f"Memory over a long stream ({mem['audio_min']:.0f} min of the clips over and over, 1 s apart, as fast as "
          f"the helper takes them; decoded in {mem['wall_s']:.0f} s, {mem['cpu_s']:.0f} CPU s, {mem['finals']} finals, "
          f"exit {mem['exit']}; RSS sampled every 0.25 s)")
        p("")
        p("| peak RSS MiB | RSS MiB at 10-20% of the stream | RSS MiB at 90-100% | growth MiB |")
        p("|---|---|---|---|")
        p(f"| {mem['peak_mib']:.1f} | {mem['early_mib']:.1f} | {mem['late_mib']:.1f} | "
          f"{mem['late_mib'] - mem['early_mib']:+.1f} |")
    hl = results.get("hostlink")
    if hl:
        p("")
        p("Host link alone (olvek-scripted-helper: 100 ms audio lines, a partial every 5 lines, a final every 50; "
          f"start-up CPU {hl['baseline_cpu_s']:.3f} s taken off)")
        p("")
        p("| input | audio s | events | helper CPU s | CPU s per audio hour | % of one core at real time | goal |")
        p("|---|---|---|---|---|---|---|")
        for name in ("fast", "realtime"):
            x = hl[name]
            p(f"| {name} | {x['audio_s']:.0f} | {x['events']:.0f} | {x['cpu_s']:.3f} {('(' + x['cpu_spread'] + ')') if x['cpu_spread'] else ''} | "
              f"{x['cpu_s_per_audio_hour']:.2f} | {x['core_percent_at_realtime']:.3f} | <= 1 |")
    mi = results.get("micro")
    if mi:
        p("")
        p("Micro-benchmarks (Google Benchmark, median of 3)")
        p("")
        p("| benchmark | CPU ns per call | MiB/s | per second |")
        p("|---|---|---|---|")
        for b in mi:
            per = b["items_s"] or b["lines_s"]
            unit = " events" if b["items_s"] else (" lines" if b["lines_s"] else "")
            p(f"| {b['name']} | {b['cpu_ns']:.0f} | {b['mib_s']:.1f} | {('%.0f' % per + unit) if per else ''} |")
    for line in results.get("devset", []):
        p(line)
    for n in results["notes"]:
        p(f"- {n}")


def section_devset(args, results):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import accuracy
    results["devset"] = accuracy.table_lines(args.build)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True, help="the build folder")
    ap.add_argument("--data", default=DATA)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--latency-runs", type=int, default=2, help="rounds of the 5 clip pairs")
    ap.add_argument("--variant-latency-runs", type=int, default=1)
    ap.add_argument("--long-minutes", type=float, default=10)
    ap.add_argument("--hostlink-fast-s", type=float, default=300)
    ap.add_argument("--hostlink-realtime-s", type=float, default=30)
    ap.add_argument("--fullspeed-runs", type=int, default=3, help="runs of each full-speed host per case")
    ap.add_argument("--fullspeed-realtime-runs", type=int, default=1,
                    help="runs of each real-time host per case (the yardstick)")
    ap.add_argument("--fullspeed-quiet-wait", type=float, default=0, metavar="S",
                    help="wait up to S seconds for the machine to be 80%% idle before the quiet runs")
    startup.add_arguments(ap)
    ap.add_argument("--only", default="accuracy+speed,fullspeed,latency,memory,hostlink,micro,startup,devset")
    ap.add_argument("--json", help="also write the raw results here")
    args = ap.parse_args()
    sections = set(args.only.split(","))
    clips = load_clips(args.data)
    t0 = time.monotonic()
    results = {"notes": [], "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}
    for name, run in (("accuracy+speed", lambda: section_accuracy_speed(args, clips, results)),
                      ("fullspeed", lambda: section_fullspeed(args, clips, results)),
                      ("latency", lambda: section_latency(args, clips, results)),
                      ("memory", lambda: section_memory(args, clips, results)),
                      ("hostlink", lambda: section_hostlink(args, clips, results)),
                      ("micro", lambda: section_micro(args, results)),
                      ("startup", lambda: startup.section(args, clips, results, sys.modules[__name__])),
                      ("devset", lambda: section_devset(args, results))):
        if name not in sections:
            continue
        try:
            run()
        except Exception as error:  # one broken part must not cost the others
            results["notes"].append(f"{name} failed: {type(error).__name__}: {error}")
    results["elapsed_s"] = time.monotonic() - t0
    results["machine"] = machine()
    print_table(results)
    startup.print_section(results)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
