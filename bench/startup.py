"""Start-up of the helper, beside the raw engine's own (the "startup" section
of compare.py).

Each round, interleaved:
  - the helper launched by this script's host, which starts streaming one
    clip (100 ms lines, as fast as the helper takes them) as soon as "hello"
    comes, without waiting for "ready": launch to "ready", launch to the
    first "partial", the helper's peak resident set;
  - pocketsphinx_continuous on 0.1 s of silence: the raw engine's start-up;
  - the model load alone (olvek_model_load), with the trimmed and with the
    whole dictionary.
The goal for the first partial is the raw engine's start-up (same round) plus
the clip's speech onset plus 0.25 s.
"""
import os
import statistics
import threading
import time

CLIP = "sense_and_sensibility_01_austen_64kb-0870"
GOAL_READY_S = 0.050
GOAL_PARTIAL_MARGIN_S = 0.25


def add_arguments(ap):
    ap.add_argument("--startup-runs", type=int, default=5, help="rounds of the start-up section")


def _median(xs):
    return statistics.median(xs) if xs else float("nan")


def _load_wall(c, tool, extra):
    wall, _, rss, code, _ = c.run_timed([tool] + extra, timeout=60)
    return (wall, rss) if code == 0 else (None, None)


def _raw_startup(c, args):
    """pocketsphinx_continuous on 0.1 s of silence, as compare.py's latency
    section runs it: (wall s, peak RSS KiB), or Nones without it."""
    continuous = c.shutil.which("pocketsphinx_continuous")
    if not continuous:
        return None, None
    path = os.path.join(args.build, "bench", "silence-100ms.wav")
    c.write_wav(path, b"\0" * (c.RATE // 5))
    wall, _, rss, code, _ = c.run_timed(c.raw_engine_argv(continuous) + [path], timeout=60)
    return (wall, rss) if code == 0 else (None, None)


def _helper_round(c, helper, pcm):
    r = c.HelperRun(helper)
    deadline = time.monotonic() + 20
    while not any(e["type"] == "hello" for e in r.events):
        if time.monotonic() > deadline:
            raise RuntimeError("the helper sent no hello")
        time.sleep(0.0005)
    hello = next(e["_t"] for e in r.events if e["type"] == "hello")

    def stream():
        for i in range(0, len(pcm), c.LINE_BYTES):
            r.send_pcm_line(pcm[i:i + c.LINE_BYTES])

    sender = threading.Thread(target=stream)
    sender.start()
    sender.join(120)
    _, code, _, rss = r.end(timeout=60)
    first = lambda kind: next((e["_t"] for e in r.events if e["type"] == kind), None)
    finals = " ".join(e.get("text", "") for e in r.events if e["type"] == "final" and e.get("text"))
    return {"hello": hello, "ready": first("ready"), "partial": first("partial"), "rss_kib": rss,
            "code": code, "errors": [e.get("message") for e in r.events if e["type"] == "error"],
            "text": finals}


def section(args, clips, results, c):
    helper = os.path.join(args.build, "olvek-macos-speech-helper")
    if not os.access(helper, os.X_OK):
        results["notes"].append("startup skipped: the helper is not built")
        return
    load_tool = os.path.join(args.build, "bench", "olvek_model_load")
    have_load_tool = os.access(load_tool, os.X_OK)
    by_id = {cid: pcm for cid, pcm, _ in clips}
    pcm = by_id.get(CLIP) or clips[0][1]
    onset = c.speech_span(pcm)[0]
    rounds = []
    for _ in range(args.startup_runs):
        row = _helper_round(c, helper, pcm)
        row["raw"], row["raw_rss"] = _raw_startup(c, args)
        if have_load_tool:
            row["load_trimmed"], row["load_trimmed_rss"] = _load_wall(c, load_tool, [])
            row["load_whole"], row["load_whole_rss"] = _load_wall(c, load_tool, ["--whole-dictionary"])
        rounds.append(row)
    pick = lambda key: [r[key] for r in rounds if r.get(key) is not None]
    partial_margin = [r["partial"] - (r["raw"] + onset) for r in rounds
                      if r.get("partial") is not None and r.get("raw") is not None]
    results["startup"] = {
        "runs": len(rounds), "clip": CLIP, "onset_s": onset,
        "hello_s": _median(pick("hello")), "ready_s": _median(pick("ready")),
        "ready_spread": c.spread(pick("ready")),
        "partial_s": _median(pick("partial")), "partial_spread": c.spread(pick("partial")),
        "raw_s": _median(pick("raw")), "raw_spread": c.spread(pick("raw")),
        "partial_margin_s": _median(partial_margin),
        "partial_margin_max_s": max(partial_margin) if partial_margin else float("nan"),
        "rss_mib": _median(pick("rss_kib")) / 1024, "raw_rss_mib": _median(pick("raw_rss")) / 1024,
        "load_trimmed_s": _median(pick("load_trimmed")), "load_whole_s": _median(pick("load_whole")),
        "load_trimmed_mib": _median(pick("load_trimmed_rss")) / 1024,
        "load_whole_mib": _median(pick("load_whole_rss")) / 1024,
        "codes": sorted({r["code"] for r in rounds}),
        "errors": sorted({m for r in rounds for m in r["errors"]}),
        # Every distinct transcript with its number of rounds: a word lost
        # in one round shows here.
        "texts": {t: sum(1 for r in rounds if r["text"] == t) for t in {r["text"] for r in rounds}},
    }


def print_section(results):
    s = results.get("startup")
    if not s:
        return
    f = lambda x: "n/a" if x != x else f"{x:.3f}"
    print("")
    print(f"Start-up: the host streams {s['clip']} (speech from {s['onset_s']:.2f} s) at full speed from \"hello\" on, "
          f"without waiting for \"ready\"; {s['runs']} rounds interleaved with the raw engine, median (min..max)")
    print("")
    print("| measure | seconds | goal |")
    print("|---|---|---|")
    print(f"| launch to \"hello\" | {f(s['hello_s'])} | |")
    print(f"| launch to \"ready\" | {f(s['ready_s'])} ({s['ready_spread']}) | <= {GOAL_READY_S:.3f} |")
    print(f"| pocketsphinx_continuous start-up (0.1 s of silence) | {f(s['raw_s'])} ({s['raw_spread']}) | |")
    print(f"| launch to the first \"partial\" | {f(s['partial_s'])} ({s['partial_spread']}) | "
          f"<= raw start-up + {s['onset_s']:.2f} + {GOAL_PARTIAL_MARGIN_S} |")
    print(f"| first \"partial\" minus (raw start-up + onset), same round | {f(s['partial_margin_s'])} "
          f"(worst {f(s['partial_margin_max_s'])}) | <= {GOAL_PARTIAL_MARGIN_S} |")
    print(f"| model load alone, trimmed dictionary | {f(s['load_trimmed_s'])} | |")
    print(f"| model load alone, whole dictionary | {f(s['load_whole_s'])} | |")
    print("")
    print(f"Peak resident set: helper {s['rss_mib']:.1f} MiB, pocketsphinx_continuous {s['raw_rss_mib']:.1f} MiB; "
          f"the load alone {s['load_trimmed_mib']:.1f} MiB trimmed, "
          f"{s['load_whole_mib']:.1f} MiB whole. Exit codes {s['codes']}, errors {s['errors'] or 'none'}. "
          f"Transcripts (rounds):")
    for text, count in sorted(s["texts"].items(), key=lambda item: -item[1]):
        print(f"- ({count}) {text}")
