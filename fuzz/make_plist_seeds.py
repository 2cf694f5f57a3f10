#!/usr/bin/env python3
"""Writes the seed corpus of the plist_load fuzz target with Python's plistlib:
small dictionaries of the kinds a preferences file holds (texts, bytes) and of
what another program may leave there, in the binary and the XML format.
   python3 fuzz/make_plist_seeds.py fuzz/corpus/plist_load
"""
import datetime
import os
import plistlib
import sys

folder = sys.argv[1]
os.makedirs(folder, exist_ok=True)
samples = {
    "empty": {},
    "settings": {"server": "example.org", "port": "8443", "token": b"\x01\x02\x03\x04"},
    "unicode": {"name": "caf\u00e9 \u2603", "empty": "", "blob": b""},
    "foreign": {"n": 42, "r": 2.5, "t": True, "d": datetime.datetime(2020, 1, 2, 3, 4, 5),
                "a": ["x", b"y", 1], "sub": {"k": "v"}},
    "many": {"key%02d" % i: ("v" * i if i % 2 else bytes(range(i))) for i in range(20)},
}
for name, value in samples.items():
    for form, fmt in (("bin", plistlib.FMT_BINARY), ("xml", plistlib.FMT_XML)):
        with open(os.path.join(folder, "%s-%s" % (name, form)), "wb") as f:
            f.write(plistlib.dumps(value, fmt=fmt, sort_keys=True))
# A root that is not a dictionary: loads must refuse it.
with open(os.path.join(folder, "array-bin"), "wb") as f:
    f.write(plistlib.dumps(["a", "b"], fmt=plistlib.FMT_BINARY))
# Shared children: plistlib writes a container referred to twice once, so these
# are tiny files that expand to many entries (or many bytes) once every
# reference is followed. Loads must refuse them, fast.
for name, leaf, depth in (("shared-arrays-bin", "x", 20), ("shared-data-bin", bytes(4096), 12)):
    value = [leaf]
    for _ in range(depth):
        value = [value, value]
    with open(os.path.join(folder, name), "wb") as f:
        f.write(plistlib.dumps({"k": value}, fmt=plistlib.FMT_BINARY))
