#!/usr/bin/env python3
"""Streams 16 kHz mono 16-bit WAV files to the helper as a host would and
reports what came back, with times.

usage: stream_clip.py HELPER [--pace X] [--line-ms N] [--repeat N] WAV...

--pace 1 sends one 100 ms line every 100 ms (a live host); 0 sends as fast as
the connection takes them. The files are sent one after another in one run.
Prints one JSON object: launch-to-ready, end-to-final latency, the events,
the helper's wall and CPU time, peak memory (ru_maxrss of the child, KiB) and
whatever the helper wrote to stdout/stderr.
"""
import argparse, base64, json, os, resource, socket, subprocess, sys, time, wave


def read_pcm(path):
    with wave.open(path, "rb") as w:
        assert w.getframerate() == 16000 and w.getnchannels() == 1 and w.getsampwidth() == 2, path
        return w.readframes(w.getnframes())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("helper")
    ap.add_argument("wavs", nargs="+")
    ap.add_argument("--pace", type=float, default=1.0)
    ap.add_argument("--line-ms", type=int, default=100)
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--language", default="en")
    args = ap.parse_args()

    pcm = b"".join(read_pcm(p) for p in args.wavs) * args.repeat
    step = 16000 * 2 * args.line_ms // 1000

    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    port = server.getsockname()[1]
    token = "bench-token"
    t0 = time.monotonic()
    child = subprocess.Popen([args.helper, args.language, "--olvek-socket-port", str(port),
                              "--olvek-socket-token", token], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    conn, _ = server.accept()
    reader = conn.makefile("rb")
    events = []

    def read_event():
        line = reader.readline()
        if not line:
            return None
        ev = json.loads(line)
        ev["_t"] = time.monotonic() - t0
        events.append(ev)
        return ev

    hello = read_event()
    ready = read_event()
    assert ready and ready["type"] == "ready", ready

    import threading
    done = threading.Event()

    def pump():
        while read_event() is not None:
            pass
        done.set()

    th = threading.Thread(target=pump, daemon=True)
    th.start()
    start = time.monotonic()
    for i in range(0, len(pcm), step):
        conn.sendall(base64.b64encode(pcm[i:i + step]) + b"\n")
        if args.pace > 0:
            target = start + (i // step + 1) * args.line_ms / 1000.0 / args.pace
            delay = target - time.monotonic()
            if delay > 0:
                time.sleep(delay)
    t_end = time.monotonic() - t0
    conn.sendall(b"__END__\n")
    done.wait(60)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.monotonic() - t0
    out, err = child.stdout.read(), child.stderr.read()
    finals = [e for e in events if e["type"] == "final"]
    last_final = finals[-1]["_t"] if finals else None
    print(json.dumps({
        "launch_to_ready_s": round(ready["_t"], 3),
        "audio_s": round(len(pcm) / 32000, 2),
        "end_sent_s": round(t_end, 3),
        "end_to_last_final_s": round(last_final - t_end, 3) if last_final and last_final >= t_end else None,
        "exit_status": os.waitstatus_to_exitcode(status),
        "wall_s": round(wall, 3),
        "user_cpu_s": round(usage.ru_utime, 3), "sys_cpu_s": round(usage.ru_stime, 3),
        "max_rss_kib": usage.ru_maxrss,
        "finals": [f["text"] for f in finals],
        "partials": sum(1 for e in events if e["type"] == "partial"),
        "types": [e["type"] for e in events][:8] + ["..."] + [e["type"] for e in events][-3:],
        "timeline": [(round(e["_t"], 2), e["type"], e.get("text", "")[:30]) for e in events if e["type"] != "partial"],
        "stdout": out.decode(errors="replace"), "stderr": err.decode(errors="replace"),
    }, indent=1))


if __name__ == "__main__":
    main()
