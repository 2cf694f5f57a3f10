#!/usr/bin/env python3
"""Asks Python's plistlib and the store (through zq_plist_verdict) for their
verdicts on the plist_load seed corpus and on files mutated from its XML seeds:
flipped bytes, control characters, U+FFFE, NUL and markup inserted in every
part of the file, other declarations, comments, processing instructions and
DOCTYPEs. The mutations follow --seed, so a run can be repeated.

Fails when the store accepts a file plistlib refuses (or reads as no
dictionary), and when the store refuses a file plistlib reads as a dictionary
for a rule not listed in ALLOWED below.
   plist_xml_differential.py --verdict build/release/tests/config/zq_plist_verdict \
       --source . [--count 4000] [--seed 1]
"""
import argparse
import collections
import os
import plistlib
import random
import subprocess
import sys
import tempfile

# Rules by which the store refuses files plistlib reads, each for a reason the
# store documents (doc/preferences-layout.md, "What the store accepts").
ALLOWED = {
    # Limits.
    "more than 20000 entries": "limit",
    "nested deeper than 64": "limit",
    "its references cost too much to decode": "limit",
    "larger than 16 MiB": "limit",
    # libplist 2.2 refuses the file or reads it otherwise than plistlib.
    "a byte-order mark": "libplist refuses the file",
    "an element that is not a value": "libplist refuses the file",
    "an element inside a text": "libplist refuses the file",
    "text between elements": "libplist refuses the file",
    "a processing instruction inside a text": "libplist refuses the file",
    "a key written <key/>": "libplist refuses the file",
    "a key without a value": "libplist refuses the file",
    "a value without a key": "libplist refuses the file",
    "an attribute value in single quotes holds '\"'": "libplist refuses the file",
    "a DOCTYPE literal in single quotes holds '>', '[' or '\"'": "libplist refuses the file",
    "<plist> holds more than one value": "libplist reads the first value, plistlib the last",
    "the root is not a dictionary": "libplist reads the first value, plistlib the last",
    "a reference to an undeclared entity": "libplist refuses the file",
    "a comment inside data": "libplist reads other data",
    "an encoding other than UTF-8": "libplist reads UTF-8 only",
    "a key is named twice in the root dictionary": "readers differ on which value counts",
    "a carriage return in a text": "libplist keeps it, XML readers read a line feed",
    "an integer is not in canonical form": "libplist reads or writes it otherwise",
    "an integer beyond 64 bits": "libplist reads or writes it otherwise",
    "a real is not in canonical form": "libplist reads or writes it otherwise",
    "a date is not in canonical form": "libplist reads or writes it otherwise",
    "data is not in canonical base64": "libplist reads or writes it otherwise",
    # The store's own restrictions.
    "a DOCTYPE holds an internal subset": "where entities would be declared",
    "a name outside ASCII": "names are ASCII",
}

TOKENS = [b"\x00", b"\x01", b"\x08", b"\x0b", b"\x0c", b"\x1f", b"\x7f", b"\r", b"\t", b"\n",
          b"\xef\xbf\xbe", b"\xef\xbf\xbf", b"\xef\xbb\xbf", b"\xc2\x85", b"\xc3", b"\x80",
          b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xaf", b"\xe2\x80\xa8", b"\xef\xb7\x90",
          b"--", b"-", b"]]>", b"&", b"&amp;", b"&foo;", b"&#1;", b"&#13;", b"&#xFFFE;",
          b"&#x10FFFF;", b"&#X41;", b"&#65;", b"<", b">", b"'", b'"', b"=", b" ", b"/", b"?",
          b"[", b"]", b"<!---->", b"<!-- -- -->", b"<!--->", b"<?p?>", b"<?p x?>", b"<?xml?>",
          b"<?XML x?>", b"<![CDATA[x]]>", b"<![CDATA[\r]]>", b"<a/>", b"</a>", b' a="1"',
          b" a='\"'", b' a="<"', b" a='1' a='2'", b"<key>k</key>", b"<string>s</string>",
          b"<true/>", b"<dict/>", b"<!DOCTYPE plist>"]

DECLARATIONS = [b"", b'<?xml version="1.0"?>', b"<?xml version='1.0' encoding='utf-8'?>",
                b'<?xml version="1.1" encoding="UTF-8" standalone="yes"?>',
                b'<?xml version="1.0" standalone="no"?>', b'<?xml version="1.0" encoding="UTF-16"?>',
                b'<?xml version="1.0" encoding="latin1"?>', b'<?xml version="1.0"encoding="UTF-8"?>',
                b'<?xml encoding="UTF-8" version="1.0"?>', b'<?xml version="1:0"?>',
                b'<?xml version=""?>', b"<?xml version='1.0\"?>", b'<?xml version="1.0" ?>',
                b'<?xml\tversion = "1.0"\r\n?>', b'<?xml version="1.0" standalone="Yes"?>',
                b'<?xml?>', b'<?XML version="1.0"?>', b'<?xml version="1.0" foo="x"?>',
                b'<?xml version="1.0" encoding="UTF-8" ?>\n<?xml-stylesheet href="x"?>',
                b'<?xml-stylesheet href="x"?>', b' <?xml version="1.0"?>',
                b'<?xml version="1.0"? >', b'<?xml version="1.0"\x00?>']

DOCTYPES = [b"", b"<!DOCTYPE plist>", b"<!DOCTYPE plist SYSTEM 'a>b'>",
            b'<!DOCTYPE plist SYSTEM "a>b[">', b'<!DOCTYPE plist PUBLIC "a~" "b">',
            b'<!DOCTYPE plist PUBLIC "a">', b"<!DOCTYPE plist []>", b"<!DOCTYPE 1plist>",
            b'<!DOCTYPE plist [<!ENTITY e "x">]>', b"<!DOCTYPE plist><!DOCTYPE plist>",
            b"<!doctype plist>", b'<!DOCTYPE plist SYSTEM"x">', b'<!DOCTYPE plist PUBLIC "\t" "x">',
            b"<!DOCTYPE\nplist\nPUBLIC\n'-//x'\n'y'\n>", b"<!-- c --><!DOCTYPE plist>",
            b'<!DOCTYPE plist SYSTEM "\xef\xbf\xbe">', b"<?p?><!DOCTYPE plist>"]

MISC = [b"<!-- c -->", b"<!---->", b"<!-- a--->", b"<!-- -- -->", b"<!-- \x01 -->",
        b"<!-- \xef\xbf\xbf -->", b"<!-- <key>x</key> -->", b"<?p?>", b"<?p  x ?>",
        b"<?xml-x?>", b"<?xml x?>", b"<?p?x?>", b"<? p?>", b"<?1p?>", b"<?p \x00?>",
        b"<?p <!-- ?>", b"<?\xc3\xa9?>", b"\n\t \r\n", b"x", b"&#32;", b"<![CDATA[ ]]>"]


def plistlib_reads(data):
    try:
        return isinstance(plistlib.loads(data), dict)
    except Exception:  # any refusal, whatever plistlib raises
        return False


def seeds(source):
    found = {}
    folders = [os.path.join(source, "fuzz", "corpus", "plist_load"),
               os.path.join(source, "fuzz", "regressions", "plist_load")]
    with tempfile.TemporaryDirectory() as made:
        subprocess.run([sys.executable, os.path.join(source, "fuzz", "make_plist_seeds.py"), made],
                       check=True)
        for folder in folders + [made]:
            for name in sorted(os.listdir(folder)):
                with open(os.path.join(folder, name), "rb") as f:
                    found.setdefault(f.read(), name)
    return [(name, data) for data, name in found.items()]


def boundaries(data):
    # Offsets where a part of the XML starts or ends: around every "<", ">",
    # quote, "=" and line break, so inserts land in each syntactic region.
    marks = [i for i, c in enumerate(data) if c in b"<>\"'=\n"]
    return sorted({p for i in marks for p in (i, i + 1)} | {0, len(data)})


def mutate(rng, data):
    for _ in range(rng.choice((1, 1, 1, 2))):
        kind = rng.randrange(8)
        at = rng.choice(boundaries(data)) if rng.random() < 0.6 else rng.randint(0, len(data))
        if kind == 0 and data:  # one byte flipped
            i = rng.randrange(len(data))
            flip = 1 << rng.randrange(8) if rng.random() < 0.7 else rng.randrange(1, 256)
            data = data[:i] + bytes([data[i] ^ flip]) + data[i + 1:]
        elif kind in (1, 2):
            data = data[:at] + rng.choice(TOKENS) + data[at:]
        elif kind == 3:  # another declaration
            end = data.find(b"?>") + 2 if data.startswith(b"<?xml") else 0
            data = rng.choice(DECLARATIONS) + data[end:]
        elif kind == 4:  # another DOCTYPE
            start, end = data.find(b"<!DOCTYPE"), data.find(b">", data.find(b"<!DOCTYPE")) + 1
            if start < 0:
                start = end = data.find(b"<plist")
            data = data[:max(start, 0)] + rng.choice(DOCTYPES) + data[max(end, 0):]
        elif kind == 5:
            data = data[:at] + rng.choice(MISC) + data[at:]
        elif kind == 6 and data:  # a piece cut out
            n = rng.randint(1, 8)
            data = data[:at] + data[at + n:]
        elif data:  # a piece repeated
            n = rng.randint(1, 24)
            data = data[:at] + data[at:at + n] + data[at:]
    return data


def store_verdicts(program, files):
    stream = b"".join(b"%d\n" % len(data) + data for data in files)
    out = subprocess.run([program], input=stream, stdout=subprocess.PIPE, check=True).stdout
    lines = out.decode("utf-8", "replace").split("\n")[:-1]
    if len(lines) != len(files):
        sys.exit("%s gave %d verdicts for %d files" % (program, len(lines), len(files)))
    return [line.split("\t") for line in lines]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--verdict", required=True, help="the zq_plist_verdict program")
    parser.add_argument("--source", required=True, help="the source tree")
    parser.add_argument("--count", type=int, default=4000, help="mutated files")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--show", type=int, default=5, help="failing files shown per kind")
    args = parser.parse_args()

    rng = random.Random(args.seed)
    corpus = seeds(args.source)
    xml = [data for _, data in corpus if not data.startswith(b"bplist")]
    files = [data for _, data in corpus]
    files += [mutate(rng, rng.choice(xml)) for _ in range(args.count)]

    counts = collections.Counter()
    failures = collections.defaultdict(list)
    batch = 20000
    for first in range(0, len(files), batch):
        chunk = files[first:first + batch]
        for data, verdict in zip(chunk, store_verdicts(args.verdict, chunk)):
            theirs = plistlib_reads(data)
            if verdict[0] == "accept":
                counts["both accept" if theirs else "FAIL store accepts, plistlib refuses"] += 1
                if not theirs:
                    failures["store accepts, plistlib refuses"].append((data, "accept"))
                continue
            rule = verdict[2].split(", at ")[0]
            if not theirs:
                counts["both refuse"] += 1
            elif data.startswith(b"bplist"):
                counts["binary: store refuses, plistlib reads (its reasons not checked)"] += 1
            elif rule in ALLOWED:
                counts["store refuses (%s), plistlib reads: %s" % (ALLOWED[rule], rule)] += 1
            else:
                counts["FAIL store refuses, plistlib reads: %s" % rule] += 1
                failures["store refuses for an unlisted rule"].append((data, verdict[2]))

    print("%d files (%d seeds, %d mutated, seed %d)" %
          (len(files), len(corpus), args.count, args.seed))
    for what, n in sorted(counts.items()):
        print("%8d  %s" % (n, what))
    for kind, cases in failures.items():
        print("\n%s: %d files, for example:" % (kind, len(cases)))
        for data, verdict in cases[:args.show]:
            print("  %s\n    %r" % (verdict, data[:400]))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
