#!/usr/bin/env python3
"""Checks the helper's bundle properties: the Info.plist embedded in the built
executable, the entitlements, and the build's check that CFBundleExecutable names
the executable.

Usage: bundle_properties_test.py --bundle-dir DIR --helper FILE
           --signing-identifier ID --cmake CMAKE [unittest arguments...]
"""
import argparse
import os
import plistlib
import re
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

ARGS = None

IDENTIFIER_SUFFIX = "olvek.macos-speech-helper"

# Key, type, value; None stands for a value that a test of its own checks.
INFO_PLIST_ENTRIES = [
    ("CFBundleIdentifier", str, None),
    ("CFBundleName", str, "Olvek Speech Helper"),
    ("CFBundleExecutable", str, "olvek-macos-speech-helper"),
    ("CFBundlePackageType", str, "APPL"),
    ("LSUIElement", bool, True),
    ("NSMicrophoneUsageDescription", str,
     "Olvek needs microphone access for voice input."),
    ("NSSpeechRecognitionUsageDescription", str,
     "Olvek uses speech recognition to transcribe your voice input into text."),
]

ENTITLEMENTS = [
    "com.apple.security.cs.allow-jit",
    "com.apple.security.cs.allow-unsigned-executable-memory",
    "com.apple.security.cs.disable-library-validation",
    "com.apple.security.cs.allow-dyld-environment-variables",
    "com.apple.security.device.audio-input",
    "com.apple.security.network.client",
    "com.apple.security.network.server",
    "com.apple.security.automation.apple-events",
    "com.apple.security.files.user-selected.read-write",
    "com.apple.security.files.downloads.read-write",
]

XML_DECLARATION = b'<?xml version="1.0" encoding="UTF-8"?>'


class _UniqueKeyDict(dict):
    """A plist dictionary that refuses a repeated key, which plistlib would
    otherwise resolve silently in favour of the last value."""

    def __setitem__(self, key, value):
        if key in self:
            raise ValueError("duplicate key %r" % key)
        super().__setitem__(key, value)


def load_plist(data):
    return plistlib.loads(data, fmt=plistlib.FMT_XML, dict_type=_UniqueKeyDict)


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def elf_sections(image):
    """Returns {name: [(type, flags, bytes), ...]} for the sections of an ELF
    image, or None when the image is not ELF."""
    if image[:4] != b"\x7fELF":
        return None
    is_64 = {1: False, 2: True}[image[4]]
    order = {1: "<", 2: ">"}[image[5]]
    if is_64:
        shoff, = struct.unpack_from(order + "Q", image, 0x28)
        shentsize, shnum, shstrndx = struct.unpack_from(order + "HHH", image, 0x3A)
        header = order + "IIQQQQIIQQ"
    else:
        shoff, = struct.unpack_from(order + "I", image, 0x20)
        shentsize, shnum, shstrndx = struct.unpack_from(order + "HHH", image, 0x2E)
        header = order + "IIIIIIIIII"
    headers = [struct.unpack_from(header, image, shoff + i * shentsize)
               for i in range(shnum)]
    names_offset = headers[shstrndx][4]
    sections = {}
    for name_index, kind, flags, _addr, offset, size, *_ in headers:
        start = names_offset + name_index
        name = image[start:image.index(b"\0", start)].decode("ascii")
        content = b"" if kind == SHT_NOBITS else image[offset:offset + size]
        sections.setdefault(name, []).append((kind, flags, content))
    return sections


SHT_PROGBITS = 1
SHT_NOBITS = 8
SHF_WRITE = 0x1
SHF_ALLOC = 0x2
SHF_EXECINSTR = 0x4


class PlistFormChecks:
    """Form shared by both property lists: an XML property list of version 1.0
    in UTF-8 whose root is one dictionary."""

    def assert_xml_plist_form(self, data):
        self.assertTrue(data.startswith(XML_DECLARATION),
                        "must open with %r, opens with %r"
                        % (XML_DECLARATION, data[:len(XML_DECLARATION)]))
        data.decode("utf-8")  # raises on anything that is not UTF-8
        root = ElementTree.fromstring(data)
        self.assertEqual(root.tag, "plist")
        self.assertEqual(root.attrib, {"version": "1.0"})
        self.assertEqual([child.tag for child in root], ["dict"])


class EmbeddedInfoPlistTest(PlistFormChecks, unittest.TestCase):
    """The property list as the operating system would find it: inside the
    built helper executable."""

    @classmethod
    def setUpClass(cls):
        cls.helper_path = ARGS.helper
        sections = elf_sections(read_file(cls.helper_path))
        if sections is None:
            raise AssertionError("%s is not an ELF file" % cls.helper_path)
        cls.sections = sections.get("__info_plist", [])
        cls.data = cls.sections[0][2] if len(cls.sections) == 1 else None

    def setUp(self):
        self.assertEqual(len(self.sections), 1,
                         "the helper must have exactly one __info_plist section")

    def test_section_is_read_only_data_that_is_loaded(self):
        kind, flags, _ = self.sections[0]
        self.assertEqual(kind, SHT_PROGBITS)
        self.assertTrue(flags & SHF_ALLOC, "not allocated: strip would drop it")
        self.assertFalse(flags & (SHF_WRITE | SHF_EXECINSTR),
                         "must be read-only data, flags 0x%x" % flags)

    def test_section_holds_the_info_plist_file_unchanged(self):
        source = read_file(os.path.join(ARGS.bundle_dir, "Info.plist"))
        self.assertEqual(self.data, source)

    def test_is_an_xml_property_list_of_one_dictionary(self):
        self.assert_xml_plist_form(self.data)
        self.assertIsInstance(load_plist(self.data), dict)

    def test_dictionary_holds_exactly_the_seven_keys_in_order(self):
        self.assertEqual(list(load_plist(self.data)),
                         [key for key, _, _ in INFO_PLIST_ENTRIES])

    def test_values_and_types(self):
        properties = load_plist(self.data)
        for key, kind, value in INFO_PLIST_ENTRIES:
            with self.subTest(key=key):
                # type() rather than isinstance(): True must not pass for a
                # string key, nor 1 for a Boolean one.
                self.assertIs(type(properties.get(key)), kind)
                if value is not None:
                    self.assertEqual(properties[key], value)

    def test_executable_name_is_the_built_file_name(self):
        self.assertEqual(load_plist(self.data)["CFBundleExecutable"],
                         os.path.basename(self.helper_path))

    def test_identifier_is_reverse_dns_ending_in_the_helper_name(self):
        identifier = load_plist(self.data)["CFBundleIdentifier"]
        self.assertTrue(identifier == IDENTIFIER_SUFFIX
                        or identifier.endswith("." + IDENTIFIER_SUFFIX),
                        identifier)
        for label in identifier.split("."):
            self.assertRegex(label, r"^[A-Za-z0-9-]+$", identifier)

    def test_signature_identifier_is_the_bundle_identifier(self):
        # The build reads the signing identifier out of Info.plist with a
        # pattern of its own; it must agree with a real reader.
        self.assertEqual(ARGS.signing_identifier,
                         load_plist(self.data)["CFBundleIdentifier"])


class EntitlementsTest(PlistFormChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data = read_file(os.path.join(ARGS.bundle_dir, "entitlements.plist"))

    def test_is_an_xml_property_list_of_one_dictionary(self):
        self.assert_xml_plist_form(self.data)
        self.assertIsInstance(load_plist(self.data), dict)

    def test_exactly_the_ten_entitlements_in_order(self):
        self.assertEqual(list(load_plist(self.data)), ENTITLEMENTS)

    def test_every_entitlement_is_true(self):
        for key, value in load_plist(self.data).items():
            with self.subTest(key=key):
                self.assertIs(value, True)


def plist_with(body):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n'
            "<dict>\n%s\n</dict>\n</plist>\n" % body)


class ExecutableNameCheckTest(unittest.TestCase):
    """The configure step's check that Info.plist and CMake name the same
    executable (bundle/info_plist.cmake run as a script)."""

    NAME = "olvek-macos-speech-helper"
    ENTRY = "<key>CFBundleExecutable</key>\n<string>%s</string>" % NAME

    # Description, plist text (None: the real Info.plist), executable name,
    # expected message on failure (None: the check passes).
    CASES = [
        ("the real Info.plist and the helper's name", None, NAME, None),
        ("the real Info.plist and another name", None, "olvek-transcribe",
         'CFBundleExecutable is "%s" but the helper executable is named '
         '"olvek-transcribe"' % NAME),
        ("a name that differs only in case", None, "Olvek-macos-speech-helper",
         "but the helper executable is named"),
        ("a name that is a prefix of the listed one", None, "olvek-macos-speech",
         "but the helper executable is named"),
        ("the key and its string on one line, tab-indented",
         plist_with("\t<key>CFBundleExecutable</key><string>%s</string>" % NAME),
         NAME, None),
        ("the listed name among other keys",
         plist_with("<key>CFBundleName</key>\n<string>x</string>\n" + ENTRY
                    + "\n<key>LSUIElement</key>\n<true/>"),
         NAME, None),
        ("no CFBundleExecutable key",
         plist_with("<key>CFBundleName</key>\n<string>%s</string>" % NAME),
         NAME, "CFBundleExecutable has no string value"),
        ("CFBundleExecutable holding a Boolean",
         plist_with("<key>CFBundleExecutable</key>\n<true/>\n"
                    "<key>CFBundleName</key>\n<string>%s</string>" % NAME),
         NAME, "CFBundleExecutable has no string value"),
    ]

    def run_check(self, plist_path, name):
        script = os.path.join(ARGS.bundle_dir, "info_plist.cmake")
        return subprocess.run(
            [ARGS.cmake, "-DINFO_PLIST=" + plist_path, "-DEXECUTABLE_NAME=" + name,
             "-P", script],
            capture_output=True, text=True, timeout=60)

    def test_cases(self):
        real_plist = os.path.join(ARGS.bundle_dir, "Info.plist")
        with tempfile.TemporaryDirectory() as scratch:
            for index, (what, text, name, message) in enumerate(self.CASES):
                with self.subTest(what):
                    path = real_plist
                    if text is not None:
                        path = os.path.join(scratch, "case%d.plist" % index)
                        with open(path, "w", encoding="utf-8") as f:
                            f.write(text)
                    result = self.run_check(path, name)
                    # CMake wraps long messages; compare with the line breaks
                    # and indentation taken out.
                    output = re.sub(r"\s+", " ", result.stderr)
                    if message is None:
                        self.assertEqual(result.returncode, 0, result.stderr)
                    else:
                        self.assertNotEqual(result.returncode, 0)
                        self.assertIn(message, output)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--bundle-dir", required=True)
    parser.add_argument("--helper", required=True)
    parser.add_argument("--signing-identifier", required=True)
    parser.add_argument("--cmake", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
