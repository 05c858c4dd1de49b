#!/usr/bin/python3
"""Tries decoder settings and a second pass on the development set of
bench/accuracy.py, decoding each file the way the helper does: a fresh
decoder per file, 100 ms chunks, an utterance closed at each pause, digital
silence before speech dropped. One process, no host: fast enough to compare
settings, not a measure of the helper itself (bench/accuracy.py is).

usage: live_passes.py --cache DIR [--only SUBSETS] [--second-pass-s S]
                      [--name NAME] [-- DECODER ARGS...]

--second-pass-s S decodes each utterance again, as a new utterance, once it
has ended, while the decoder has heard less than S seconds before it (the
cepstral mean has then settled on the utterance itself); 0 never does.
Decoder arguments follow "--", e.g. `-- -lw 8 -wip 0.5`. Needs
python3-pocketsphinx (Debian's /usr/bin/python3). Prints one line: the
name, the word error rate per subset and overall, and CPU seconds per
second of audio.
"""
import argparse
import array
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import accuracy  # noqa: E402
from pocketsphinx import Decoder  # noqa: E402

INT_ARGS = {"-seed", "-vad_prespeech", "-vad_postspeech", "-vad_startspeech", "-maxhmmpf", "-maxwpf", "-ds",
            "-topn", "-pl_window"}
FLOAT_ARGS = {"-lw", "-wip", "-beam", "-wbeam", "-pbeam", "-silprob", "-fillprob", "-vad_threshold", "-pip",
              "-nwpen", "-lpbeam", "-lponlybeam", "-fwdflatbeam", "-fwdflatwbeam", "-fwdflatlw", "-bestpathlw",
              "-ascale", "-fwdflatsfwin"}
HELPER_ARGS = ["-dither", "yes", "-seed", "1", "-fwdflat", "no", "-bestpath", "yes"]


def make_decoder(extra):
    config = Decoder.default_config()
    args = accuracy.model_args() + ["-logfn", "/dev/null", "-mmap", "no"] + HELPER_ARGS + extra
    # The bindings' setter must match the argument's type, or they crash.
    for name, value in zip(args[::2], args[1::2]):
        if value in ("yes", "no"):
            config.set_boolean(name, value == "yes")
        elif name in INT_ARGS:
            config.set_int(name, int(value))
        elif name in FLOAT_ARGS:
            config.set_float(name, float(value))
        else:
            config.set_string(name, value)
    return Decoder(config)


def decode_file(pcm, extra, second_pass_s):
    decoder = make_decoder(extra)
    samples = array.array("h")
    samples.frombytes(pcm)
    texts, kept, heard_before = [], [], 0
    decoder.start_utt()
    speech = False

    def close():
        nonlocal heard_before, kept
        decoder.end_utt()
        hyp = decoder.hyp()
        text = hyp.hypstr if hyp else ""
        if speech and second_pass_s > 0 and heard_before < second_pass_s * 16000 and kept:
            decoder.start_utt()
            decoder.process_raw(array.array("h", kept).tobytes(), False, True)
            decoder.end_utt()
            hyp = decoder.hyp()
            text = hyp.hypstr if hyp else ""
        heard_before += len(kept)
        kept = []
        if text:
            texts.append(text)

    for at in range(0, len(samples), 1600):
        chunk = samples[at:at + 1600]
        if not decoder.get_in_speech():
            drop = accuracy.digital_silence_prefix(chunk)
            chunk = chunk[drop:]
        if len(chunk):
            decoder.process_raw(chunk.tobytes(), False, False)
            kept.extend(chunk)
        if decoder.get_in_speech():
            speech = True
        elif speech:
            close()
            speech = False
            decoder.start_utt()
    close()
    return " ".join(texts)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--cache", required=True, help="bench/accuracy.py's cache folder (the set is built there)")
    ap.add_argument("--only", default="asterisk,librivox,cards,tts,silence")
    ap.add_argument("--second-pass-s", type=float, default=0)
    ap.add_argument("--name", default="")
    ap.add_argument("extra", nargs="*")
    args = ap.parse_args()
    items, _ = accuracy.build_set(args.cache, False, set(args.only.split(",")))
    errors, words, audio = {}, {}, 0.0
    cpu0 = time.process_time()
    for subset, _, wav, ref in items:
        pcm = accuracy.read_pcm(wav)
        audio += len(pcm) / 32000
        hyp = decode_file(pcm, args.extra, args.second_pass_s)
        errors[subset] = errors.get(subset, 0) + accuracy.edit_distance(ref, accuracy.normalize(hyp))
        words[subset] = words.get(subset, 0) + len(ref)
    cpu = time.process_time() - cpu0
    cells = " ".join(f"{s}={100 * errors[s] / words[s]:.1f}" for s in errors)
    total = 100 * sum(errors.values()) / sum(words.values())
    print(f"{args.name or ' '.join(args.extra) or 'default'} second-pass-s={args.second_pass_s:g}: "
          f"all={total:.1f} {cells} rtf={cpu / audio:.3f}", flush=True)


if __name__ == "__main__":
    main()
