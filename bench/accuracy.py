#!/usr/bin/env python3
"""Word error rate of the helper beside the raw PocketSphinx engine on a
development set built from installed packages, in one run, with one text
normalisation (lower case, digits to words, punctuation out).

usage: accuracy.py --build DIR [--set dev|heldout] [--only SUBSET,...]
                   [--contenders helper,continuous,batch] [--extra NAME=ARGS]
                   [--cache DIR] [--json FILE] [--list]

The sets (built into the cache folder on first use, no audio is committed):
  asterisk   the Asterisk English prompts (asterisk-core-sounds-en-g722, 16 kHz
             G.722, decoded with libspandsp2; transcripts from
             asterisk-core-sounds-en). `--set dev` takes only the prompts whose
             path under the voice's folder begins with a to l; `--set heldout`
             only those from m to z, kept for one independent check and never
             used to choose a setting.
  librivox   the five LibriVox clips of pocketsphinx-testdata.
  cards      the five card-name clips of pocketsphinx-testdata.
  tts        sentences written here, spoken by festival's HTS voice
             (festvox-us-slt-hts) and by espeak-ng.
  silence    the LibriVox clips with 1 s of digital silence (+-1) before and
             after: a gated microphone.

Contenders:
  helper      `olvek-transcribe --json FILE` (a real host, as fast as the
              helper takes the audio); the finals joined.
  continuous  `pocketsphinx_continuous -infile FILE`, the engine live.
  batch       `pocketsphinx_batch` over every file, cepstral mean over the
              whole utterance: what the engine does seeing all of it at once.
  `--extra NAME=ARGS` adds `continuous` and `batch` runs with extra decoder
  arguments, e.g. `--extra lw8="-lw 8"`, to try settings.

Each file's result is cached per contender and configuration (the command,
its arguments and the binaries' modification times), so a configuration is
decoded once. Real-time factor: CPU seconds (user+sys, model load included
for the helper and continuous, which load once per file) per second of audio.
"""
import argparse
import ctypes
import gzip
import hashlib
import json
import os
import re
import resource
import shlex
import shutil
import subprocess
import sys
import time
import wave

MODEL = "/usr/share/pocketsphinx/model/en-us"
TESTDATA = "/usr/share/pocketsphinx/test/data"
ASTERISK_VOICE = "/usr/share/asterisk/sounds/en_US_f_Allison"
ASTERISK_TEXT = "/usr/share/doc/asterisk-core-sounds-en/core-sounds-en.txt.gz"
RATE = 16000

# Written for this set: everyday dictation, numbers, names, questions. Never
# tuned on alone; they are a third of the set at most.
SENTENCES = [
    "please send the report to the whole team before noon tomorrow",
    "the meeting has been moved to three thirty on thursday afternoon",
    "i would like to book a table for four people at seven",
    "remind me to call my sister when i get home tonight",
    "the weather will be cold and windy with some rain in the evening",
    "we need two dozen eggs a loaf of bread and some fresh milk",
    "can you tell me how to get to the nearest train station",
    "the quarterly results were better than anyone had expected",
    "she opened the window and listened to the birds in the garden",
    "turn left at the next corner and keep going for two miles",
    "my flight leaves at nine in the morning from gate twelve",
    "the children played in the park until it was dark",
    "he wrote a long letter to his grandmother about the summer",
    "please add a new paragraph after the second heading",
    "the price of the house went up by ten thousand dollars",
    "do you know where i left my keys and my phone",
    "the doctor said that i should rest for a few more days",
    "our new office is on the fifth floor of the tall building",
    "it was the best of times it was the worst of times",
    "the committee will review every application next month",
    "open the file and save a copy in the shared folder",
    "thank you very much for your help with the project",
    "the river runs through the middle of the old town",
    "let us meet for lunch at the small cafe near the library",
    "the train was late again because of the heavy snow",
    "write down the phone number before you forget it",
    "he has been working at the same company for twenty years",
    "the music was so loud that nobody could hear a word",
    "please check your spelling before you send the message",
    "the museum is closed on mondays and open late on fridays",
]

UNITS = ("zero one two three four five six seven eight nine ten eleven twelve thirteen fourteen fifteen "
         "sixteen seventeen eighteen nineteen").split()
TENS = "_ _ twenty thirty forty fifty sixty seventy eighty ninety".split()
SYMBOLS = {"*": " star ", "#": " pound ", "&": " and ", "%": " percent ", "+": " plus "}


def number_words(n):
    if n < 20:
        return UNITS[n]
    if n < 100:
        return TENS[n // 10] + ("" if n % 10 == 0 else " " + UNITS[n % 10])
    if n < 1000:
        return UNITS[n // 100] + " hundred" + ("" if n % 100 == 0 else " " + number_words(n % 100))
    if n < 1000000:
        return number_words(n // 1000) + " thousand" + ("" if n % 1000 == 0 else " " + number_words(n % 1000))
    return " ".join(UNITS[int(d)] for d in str(n))


def normalize(text):
    """Words of `text` as both sides are scored: lower case, digits spoken
    (each run of digits as one number), symbols spoken, punctuation out,
    apostrophes inside words kept."""
    text = text.lower()
    for symbol, spoken in SYMBOLS.items():
        text = text.replace(symbol, spoken)
    text = re.sub(r"\d+", lambda m: " " + number_words(int(m.group())) + " ", text)
    text = re.sub(r"[^a-z']+", " ", text)
    return [w.strip("'") for w in text.split() if w.strip("'")]


def edit_distance(ref, hyp):
    prev = list(range(len(hyp) + 1))
    for i, r in enumerate(ref, 1):
        cur = [i] + [0] * len(hyp)
        for j, h in enumerate(hyp, 1):
            cur[j] = min(prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (r != h))
        prev = cur
    return prev[-1]


# --------------------------------------------------------------------------
# Audio


def write_wav(path, pcm):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".tmp"
    with wave.open(tmp, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm)
    os.replace(tmp, path)


def read_pcm(path):
    with wave.open(path, "rb") as w:
        if w.getframerate() != RATE or w.getnchannels() != 1 or w.getsampwidth() != 2:
            raise SystemExit(f"{path}: not 16 kHz mono 16-bit")
        return w.readframes(w.getnframes())


def decode_g722(path):
    """16 kHz PCM of a 64 kbit/s G.722 file, through libspandsp2."""
    lib = ctypes.CDLL("libspandsp.so.2")
    lib.g722_decode_init.restype = ctypes.c_void_p
    lib.g722_decode_init.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
    lib.g722_decode.restype = ctypes.c_int
    lib.g722_decode.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    lib.g722_decode_free.argtypes = [ctypes.c_void_p]
    with open(path, "rb") as f:
        data = f.read()
    state = lib.g722_decode_init(None, 64000, 0)
    out = (ctypes.c_int16 * (2 * len(data) + 16))()
    n = lib.g722_decode(state, out, data, len(data))
    lib.g722_decode_free(state)
    return bytes(out)[: 2 * n]


def digital_silence(seconds):
    """Samples of +-1, as a gated or muted microphone sends."""
    n = int(seconds * RATE)
    return b"".join((1 if (i * 7919) % 3 else -1).to_bytes(2, "little", signed=True) for i in range(n))


def digital_silence_prefix(samples, level=2):
    """How many of the first samples are within +-level, as the helper's
    digital-silence gate counts them."""
    n = 0
    for value in samples:
        if value > level or value < -level:
            break
        n += 1
    return n


# --------------------------------------------------------------------------
# The set


def asterisk_items(cache, held_out):
    if not (os.path.isfile(ASTERISK_TEXT) and os.path.isdir(ASTERISK_VOICE)):
        return [], "asterisk: asterisk-core-sounds-en and -en-g722 not installed"
    items = []
    with gzip.open(ASTERISK_TEXT, "rt", encoding="utf-8", errors="replace") as f:
        for line in f:
            m = re.match(r"^([A-Za-z0-9_/.-]+):\s*(.*\S)\s*$", line)
            if not m:
                continue
            name, text = m.groups()
            # Tones, notes and spellings whose reading is unclear are out.
            if re.search(r"[\[\]()<>=@\"$;]", text):
                continue
            first = name[0].lower()
            if not first.isalpha() or (first >= "m") != held_out:
                continue
            source = os.path.join(ASTERISK_VOICE, name + ".g722")
            if not os.path.isfile(source):
                continue
            wav = os.path.join(cache, "audio", "asterisk", name.replace("/", "__") + ".wav")
            if not os.path.isfile(wav):
                write_wav(wav, decode_g722(source))
            ref = normalize(text)
            if ref:
                items.append(("asterisk", "asterisk/" + name, wav, ref))
    return items, None


def transcription_items(subset, folder, filename):
    path = os.path.join(folder, filename)
    if not os.path.isfile(path):
        return [], f"{subset}: pocketsphinx-testdata not installed"
    items = []
    with open(path) as f:
        for line in f:
            m = re.match(r"\s*(.*?)\s*\(([^)]+)\)\s*$", line)
            if not m:
                continue
            words = normalize(re.sub(r"</?s>|<sil>", " ", m.group(1)))
            items.append((subset, f"{subset}/{m.group(2)}", os.path.join(folder, m.group(2) + ".wav"), words))
    return items, None


def tts_items(cache):
    items, notes = [], []
    text2wave = shutil.which("text2wave")
    espeak = shutil.which("espeak-ng")
    sox = shutil.which("sox")
    if not sox:
        return [], "tts: sox missing"
    for k, sentence in enumerate(SENTENCES):
        for voice, tool in (("slt", text2wave), ("espeak", espeak)):
            if not tool:
                continue
            wav = os.path.join(cache, "audio", "tts", f"{voice}-{k:02d}.wav")
            if not os.path.isfile(wav):
                os.makedirs(os.path.dirname(wav), exist_ok=True)
                raw = wav + ".src.wav"
                if voice == "slt":
                    argv = [tool, "-eval", "(voice_cmu_us_slt_arctic_hts)", "-o", raw]
                    made = subprocess.run(argv, input=sentence, text=True, capture_output=True)
                else:
                    made = subprocess.run([tool, "-w", raw, sentence], capture_output=True)
                if made.returncode != 0 or not os.path.isfile(raw):
                    notes.append(f"tts: {voice} failed")
                    continue
                subprocess.run([sox, raw, "-r", str(RATE), "-c", "1", "-b", "16", wav], check=True)
                os.remove(raw)
            items.append(("tts", f"tts/{voice}-{k:02d}", wav, normalize(sentence)))
    missing = [n for n, t in (("festival", text2wave), ("espeak-ng", espeak)) if not t]
    if missing:
        notes.append("tts: " + ", ".join(missing) + " missing")
    return items, "; ".join(dict.fromkeys(notes)) or None


def silence_items(cache, librivox):
    items = []
    pad = digital_silence(1.0)
    for _, item_id, wav, ref in librivox:
        out = os.path.join(cache, "audio", "silence", os.path.basename(wav))
        if not os.path.isfile(out):
            write_wav(out, pad + read_pcm(wav) + pad)
        items.append(("silence", "silence/" + item_id.split("/", 1)[1], out, ref))
    return items


def build_set(cache, held_out, subsets):
    items, notes = [], []
    def add(found):
        got, note = found
        items.extend(got)
        if note:
            notes.append(note)
    if "asterisk" in subsets:
        add(asterisk_items(cache, held_out))
    librivox, note = transcription_items("librivox", os.path.join(TESTDATA, "librivox"), "transcription")
    if note:
        notes.append(note)
    if not held_out:
        if "librivox" in subsets:
            items.extend(librivox)
        if "cards" in subsets:
            add(transcription_items("cards", os.path.join(TESTDATA, "cards"), "cards.transcription"))
        if "tts" in subsets:
            add(tts_items(cache))
        if "silence" in subsets:
            items.extend(silence_items(cache, librivox))
    return items, notes


def audio_seconds(wav):
    with wave.open(wav, "rb") as w:
        return w.getnframes() / w.getframerate()


# --------------------------------------------------------------------------
# Contenders


def run_measured(argv, timeout=300, cwd=None):
    """(exit code, stdout, CPU seconds of the child and what it reaped)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    try:
        done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                              timeout=timeout, cwd=cwd)
        code, out = done.returncode, done.stdout.decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        code, out = -1, ""
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return code, out, cpu


def finals_of(json_lines):
    texts = []
    for line in json_lines.splitlines():
        try:
            event = json.loads(line)
        except ValueError:
            continue
        if isinstance(event, dict) and event.get("type") == "final":
            texts.append(event.get("text", ""))
    return " ".join(t for t in texts if t)


def model_args():
    return ["-hmm", f"{MODEL}/en-us", "-lm", f"{MODEL}/en-us.lm.bin", "-dict", f"{MODEL}/cmudict-en-us.dict"]


class FileContender:
    """Runs a command once per file; `parse` turns its output into text."""

    def __init__(self, name, argv, parse):
        self.name, self.argv, self.parse = name, argv, parse

    def signature(self):
        stamps = [str(os.path.getmtime(a)) for a in self.argv if os.path.isfile(a)]
        return " ".join(self.argv + stamps)

    def decode(self, items):
        for _, item_id, wav, _ in items:
            code, out, cpu = run_measured(self.argv + [wav])
            yield item_id, (self.parse(out) if code == 0 else ""), cpu, code == 0


class BatchContender:
    """pocketsphinx_batch over all files at once; the CPU time is shared out
    by audio length."""

    def __init__(self, name, binary, extra):
        self.name, self.binary, self.extra = name, binary, extra

    def signature(self):
        return " ".join([self.binary, str(os.path.getmtime(self.binary))] + self.extra)

    def decode(self, items):
        if not items:
            return
        work = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"olvek-accuracy-batch-{os.getpid()}")
        os.makedirs(work, exist_ok=True)
        ids = {}
        with open(os.path.join(work, "ctl"), "w") as ctl:
            for k, (_, item_id, wav, _) in enumerate(items):
                link = os.path.join(work, f"f{k:05d}.wav")
                if os.path.lexists(link):
                    os.remove(link)
                os.symlink(os.path.abspath(wav), link)
                ctl.write(f"f{k:05d}\n")
                ids[f"f{k:05d}"] = item_id
        hyp = os.path.join(work, "hyp")
        argv = [self.binary] + model_args() + ["-ctl", os.path.join(work, "ctl"), "-cepdir", work,
                                               "-cepext", ".wav", "-adcin", "yes", "-adchdr", "44",
                                               "-hyp", hyp, "-logfn", "/dev/null"] + self.extra
        code, _, cpu = run_measured(argv, timeout=3600)
        texts = {}
        if code == 0 and os.path.isfile(hyp):
            with open(hyp) as f:
                for line in f:
                    m = re.match(r"^(.*?)\s*\((f\d+)(?:\s+[-\d]+)?\)\s*$", line)
                    if m:
                        texts[m.group(2)] = m.group(1)
        total = sum(audio_seconds(wav) for _, _, wav, _ in items) or 1.0
        for k, (_, item_id, wav, _) in enumerate(items):
            key = f"f{k:05d}"
            yield item_id, texts.get(key, ""), cpu * audio_seconds(wav) / total, key in texts
        shutil.rmtree(work, ignore_errors=True)


def contenders_for(args):
    wanted = args.contenders.split(",")
    found, notes = [], []
    transcribe = os.path.join(args.build, "olvek-transcribe")
    continuous = shutil.which("pocketsphinx_continuous")
    batch = shutil.which("pocketsphinx_batch")
    if "helper" in wanted:
        if os.access(transcribe, os.X_OK):
            helper = os.path.join(args.build, "olvek-macos-speech-helper")
            c = FileContender("helper", [transcribe, "--json"], finals_of)
            c.signature = lambda: " ".join([transcribe, str(os.path.getmtime(transcribe)),
                                            str(os.path.getmtime(helper)) if os.path.exists(helper) else ""])
            found.append(c)
        else:
            notes.append(f"helper left out: {transcribe} not built")
    extras = [("", [])] + [(n, shlex.split(a)) for n, a in (e.split("=", 1) for e in args.extra)]
    for suffix, extra in extras:
        tag = f" {suffix}" if suffix else ""
        if "continuous" in wanted:
            if continuous:
                argv = [continuous] + model_args() + extra + ["-logfn", "/dev/null", "-infile"]
                found.append(FileContender("continuous" + tag, argv, lambda out: " ".join(out.split())))
            elif not suffix:
                notes.append("continuous left out: pocketsphinx_continuous missing")
        if "batch" in wanted:
            if batch:
                found.append(BatchContender("batch" + tag, batch, extra))
            elif not suffix:
                notes.append("batch left out: pocketsphinx_batch missing")
    return found, notes


# --------------------------------------------------------------------------
# Scoring


def score(items, contender, cache):
    """{item id: {"hyp", "errors", "cpu", "ok"}}, decoding only what the cache
    does not hold for this configuration."""
    key = hashlib.sha1(contender.signature().encode()).hexdigest()[:16]
    path = os.path.join(cache, "results", f"{contender.name.replace(' ', '_')}-{key}.json")
    stored = {}
    if os.path.isfile(path):
        with open(path) as f:
            stored = json.load(f)
    todo = [it for it in items if it[1] not in stored]
    if todo:
        print(f"  accuracy: {contender.name}: decoding {len(todo)} files", file=sys.stderr)
        for n, (item_id, hyp, cpu, ok) in enumerate(contender.decode(todo), 1):
            stored[item_id] = {"hyp": hyp, "cpu": cpu, "ok": ok}
            if n % 50 == 0:
                save_json(path, stored)
        save_json(path, stored)
    out = {}
    for _, item_id, _, ref in items:
        rec = dict(stored[item_id])
        rec["errors"] = edit_distance(ref, normalize(rec["hyp"]))
        out[item_id] = rec
    return out


def save_json(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".tmp", "w") as f:
        json.dump(data, f, indent=0)
    os.replace(path + ".tmp", path)


def summarize(items, scores):
    """[(subset, files, audio s, ref words, {contender: (wer, rtf, failed)})],
    one row per subset and one for all."""
    subsets = list(dict.fromkeys(it[0] for it in items))
    rows = []
    for subset in subsets + ["all"]:
        chosen = [it for it in items if subset == "all" or it[0] == subset]
        if subset == "all" and len(subsets) < 2:
            continue
        audio = sum(audio_seconds(it[2]) for it in chosen)
        words = sum(len(it[3]) for it in chosen)
        per = {}
        for name, result in scores.items():
            errors = sum(result[it[1]]["errors"] for it in chosen)
            cpu = sum(result[it[1]]["cpu"] for it in chosen)
            failed = sum(not result[it[1]]["ok"] for it in chosen)
            per[name] = (errors / max(words, 1), cpu / max(audio, 1e-9), failed)
        rows.append((subset, len(chosen), audio, words, per))
    return rows


def print_table(rows, names, title, out=sys.stdout):
    p = lambda s="": print(s, file=out)
    p(f"### {title}")
    p()
    p("| subset | files | audio | words | " + " | ".join(f"{n} WER (RTF)" for n in names) + " |")
    p("|---|---|---|---|" + "---|" * len(names))
    for subset, files, audio, words, per in rows:
        cells = []
        for n in names:
            wer, rtf, failed = per[n]
            cells.append(f"{100 * wer:.1f} % ({rtf:.2f})" + (f", {failed} failed" if failed else ""))
        p(f"| {subset} | {files} | {audio / 60:.1f} min | {words} | " + " | ".join(cells) + " |")
    p()


def table_lines(build):
    """The development-set table as lines of Markdown, for compare.py."""
    import io
    out = io.StringIO()
    args = parser().parse_args(["--build", build])
    rows, names, notes = run(args)
    print_table(rows, names, "Development set (bench/accuracy.py)", out)
    for n in notes:
        print(f"- {n}", file=out)
    return out.getvalue().splitlines()


def run(args):
    cache = args.cache or os.path.join(args.build, "accuracy")
    items, notes = build_set(cache, args.set == "heldout", set(args.only.split(",")))
    contenders, more = contenders_for(args)
    notes += more
    scores = {c.name: score(items, c, cache) for c in contenders}
    names = [c.name for c in contenders]
    rows = summarize(items, scores)
    if args.json:
        save_json(args.json, {"rows": rows, "names": names, "notes": notes,
                              "hyps": {n: {k: v["hyp"] for k, v in s.items()} for n, s in scores.items()},
                              "refs": {it[1]: " ".join(it[3]) for it in items}})
    return rows, names, notes


def parser():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True, help="the build folder (olvek-transcribe and the helper)")
    ap.add_argument("--set", choices=("dev", "heldout"), default="dev")
    ap.add_argument("--only", default="asterisk,librivox,cards,tts,silence", help="subsets to score")
    ap.add_argument("--contenders", default="helper,continuous,batch")
    ap.add_argument("--extra", action="append", default=[], metavar="NAME=ARGS")
    ap.add_argument("--cache", help="where the set and the results are kept (default BUILD/accuracy)")
    ap.add_argument("--json", help="also write the rows and every hypothesis here")
    ap.add_argument("--list", action="store_true", help="list the set's files and references, decode nothing")
    return ap


def main(argv=None):
    args = parser().parse_args(argv)
    if args.list:
        cache = args.cache or os.path.join(args.build, "accuracy")
        items, _ = build_set(cache, args.set == "heldout", set(args.only.split(",")))
        for subset, item_id, wav, ref in items:
            print(f"{item_id}\t{audio_seconds(wav):.2f}\t{' '.join(ref)}")
        return 0
    rows, names, notes = run(args)
    title = "Development set" if args.set == "dev" else "Held-out set (asterisk prompts m to z)"
    print_table(rows, names, title)
    for n in notes:
        print(f"- {n}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
