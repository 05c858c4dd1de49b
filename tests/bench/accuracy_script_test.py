#!/usr/bin/env python3
"""Checks bench/accuracy.py, the development-set scorer, on small fixtures:
its text normalisation, its word errors on two files whose errors are known
(through a per-file contender and a batch one), its cache, and the split of
the Asterisk prompts into the development part and the held-out part.

Usage: accuracy_script_test.py [unittest arguments...]
"""
import gzip
import os
import stat
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import accuracy  # noqa: E402

# Two files with known errors: one substitution; one substitution and one
# insertion.
FILES = [
    ("press 1 to record", "press one two record", 1),
    ("Agent logged off.", "agent log off the", 2),
]


def write_script(path, body):
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)


class Normalize(unittest.TestCase):
    def test_cases(self):
        cases = [
            ("LowerCaseAndPunctuationOut", "Hello, World!", ["hello", "world"]),
            ("DigitsSpoken", "press 1", ["press", "one"]),
            ("NumberRunsAsOneNumber", "room 215", ["room", "two", "hundred", "fifteen"]),
            ("Thousands", "2000 dollars", ["two", "thousand", "dollars"]),
            ("PhoneKeys", "press * or #", ["press", "star", "or", "pound"]),
            ("ApostropheInsideKept", "party's 'quoted'", ["party's", "quoted"]),
            ("HyphenSplits", "de-activated", ["de", "activated"]),
            ("Empty", "...", []),
        ]
        for name, text, words in cases:
            with self.subTest(name):
                self.assertEqual(accuracy.normalize(text), words)


class KnownErrors(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.items = []
        for k, (ref, _, _) in enumerate(FILES):
            wav = os.path.join(self.dir, f"clip{k}.wav")
            accuracy.write_wav(wav, b"\x01\x00" * 16000 * (k + 1))
            self.items.append(("fixture", f"fixture/clip{k}", wav, accuracy.normalize(ref)))

    def tearDown(self):
        self.tmp.cleanup()

    def check(self, scores):
        for (ref, hyp, errors), item in zip(FILES, self.items):
            with self.subTest(item[1]):
                self.assertEqual(scores[item[1]]["hyp"], hyp)
                self.assertEqual(scores[item[1]]["errors"], errors)
                self.assertTrue(scores[item[1]]["ok"])
        rows = accuracy.summarize(self.items, {"fake": scores})
        self.assertEqual(len(rows), 1)
        subset, files, audio, words, per = rows[0]
        self.assertEqual((subset, files, words), ("fixture", 2, 4 + 3))
        self.assertAlmostEqual(audio, 3.0)
        self.assertAlmostEqual(per["fake"][0], 3 / 7)

    def test_a_command_per_file_is_scored_and_cached(self):
        calls = os.path.join(self.dir, "calls")
        fake = os.path.join(self.dir, "fake-recognizer")
        # Prints the known hypothesis of the file it is given, as
        # olvek-transcribe --json would, and counts its calls.
        write_script(fake, f"""echo x >> {calls}
case "$2" in
  *clip0.wav) echo '{{"type":"partial","text":"press"}}'; echo '{{"type":"final","text":"press one two"}}';
              echo '{{"type":"final","text":"record"}}' ;;
  *clip1.wav) echo '{{"type":"final","text":"agent log off the"}}'; echo '{{"type":"final","text":""}}' ;;
esac
""")
        contender = accuracy.FileContender("fake", [fake, "--json"], accuracy.finals_of)
        cache = os.path.join(self.dir, "cache")
        self.check(accuracy.score(self.items, contender, cache))
        # A second run decodes nothing again.
        self.check(accuracy.score(self.items, contender, cache))
        with open(calls) as f:
            self.assertEqual(len(f.read().split()), 2)

    def test_a_failing_command_counts_every_word_as_an_error(self):
        fake = os.path.join(self.dir, "broken")
        write_script(fake, "exit 3\n")
        scores = accuracy.score(self.items, accuracy.FileContender("broken", [fake], accuracy.finals_of),
                                os.path.join(self.dir, "cache"))
        self.assertEqual([scores[it[1]]["errors"] for it in self.items], [4, 3])
        self.assertFalse(any(scores[it[1]]["ok"] for it in self.items))

    def test_a_batch_decode_is_matched_back_to_its_files(self):
        fake = os.path.join(self.dir, "fake-batch")
        # Answers in the hypothesis file, in the batch tool's format, in
        # reverse order: the ids, not the order, match them up.
        write_script(fake, """while [ $# -gt 0 ]; do
  case "$1" in -hyp) hyp=$2 ;; esac
  shift
done
echo 'agent log off the (f00001 -2345)' > "$hyp"
echo 'press one two record (f00000 -1234)' >> "$hyp"
""")
        self.check(accuracy.score(self.items, accuracy.BatchContender("fake", fake, []),
                                  os.path.join(self.dir, "cache")))


class AsteriskSplit(unittest.TestCase):
    def test_prompts_from_m_to_z_are_kept_out_of_the_development_set(self):
        with tempfile.TemporaryDirectory() as d:
            voice = os.path.join(d, "voice")
            os.makedirs(os.path.join(voice, "dictate"))
            prompts = {"agent-pass": "Please enter your password.", "dictate/paused": "paused",
                       "vm-intro": "Please leave your message.", "queue-thankyou": "Thank you.",
                       "beep": "[this is a simple beep tone]", "Lost": "Lost."}
            for name in prompts:
                if name != "Lost":
                    open(os.path.join(voice, name + ".g722"), "wb").close()
            text = os.path.join(d, "core-sounds-en.txt.gz")
            with gzip.open(text, "wt") as f:
                f.write("; a comment: not a prompt\n")
                for name, said in prompts.items():
                    f.write(f"{name}: {said}\n")
            saved = accuracy.ASTERISK_VOICE, accuracy.ASTERISK_TEXT, accuracy.decode_g722
            accuracy.ASTERISK_VOICE, accuracy.ASTERISK_TEXT = voice, text
            accuracy.decode_g722 = lambda path: b"\x00\x00" * 160
            try:
                dev, _ = accuracy.asterisk_items(os.path.join(d, "cache"), held_out=False)
                held, _ = accuracy.asterisk_items(os.path.join(d, "cache"), held_out=True)
            finally:
                accuracy.ASTERISK_VOICE, accuracy.ASTERISK_TEXT, accuracy.decode_g722 = saved
            self.assertEqual(sorted(it[1] for it in dev), ["asterisk/agent-pass", "asterisk/dictate/paused"])
            self.assertEqual(sorted(it[1] for it in held), ["asterisk/queue-thankyou", "asterisk/vm-intro"])
            self.assertEqual(dict((it[1], it[3]) for it in held)["asterisk/vm-intro"],
                             ["please", "leave", "your", "message"])


if __name__ == "__main__":
    unittest.main()
