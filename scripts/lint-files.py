#!/usr/bin/env python3
"""Fails when code of the library or the tool touches files outside the file
layer (utils/file/): every open, read of a path, replacement, link, removal
and folder listing goes through utils/file/File.h and AtomicFile.h, which
hold the one policy for descriptors, links, kinds, owners and modes.

Usage: scripts/lint-files.py [ROOT]   (exit 0 clean, 1 with the places listed)
"""
import pathlib
import re
import sys

# Where the rule holds: the library and the tool. Tests, benchmarks, fuzzers
# and examples make hostile files on purpose or show a caller's own code.
CHECKED = ("utils", "tools")
LAYER = "utils/file/"

# Raw file calls: a call of one of these names that is not a member call.
CALLS = (
    "open openat openat2 creat fopen freopen fdopen rename renameat renameat2 "
    "unlink unlinkat remove rmdir link linkat symlink symlinkat mkstemp mkostemp "
    "mkstemps mkdtemp tmpfile opendir fdopendir mkdir mkdirat chmod fchmodat "
    "chown lchown fchownat truncate readlink access faccessat stat lstat fstatat"
).split()
CALL_RE = re.compile(r"(?<![\w.>])(?:::)?(" + "|".join(CALLS) + r")\s*\(")
OTHER_RE = re.compile(
    r"O_TMPFILE|\b(?:std::)?(?:i|o)?fstream\b|std::filesystem|\bfs::(?!path\b)\w+\s*\(")

# The few places allowed, each with its reason: (file, text on the line).
ALLOWED = [
]


def strip_comment(line):
    # Good enough for this code base: no "//" inside the strings these lines hold.
    code = line.split("//", 1)[0]
    return re.sub(r'"(?:[^"\\]|\\.)*"', '""', code)


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else
                        pathlib.Path(__file__).resolve().parent.parent)
    found = []
    for top in CHECKED:
        for path in sorted((root / top).rglob("*")):
            if path.suffix not in (".cpp", ".h", ".cc", ".hpp"):
                continue
            relative = path.relative_to(root).as_posix()
            if relative.startswith(LAYER):
                continue
            for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                code = strip_comment(line)
                if code.lstrip().startswith("*"):
                    continue
                if CALL_RE.search(code) or OTHER_RE.search(code):
                    if any(relative == f and text in line for f, text in ALLOWED):
                        continue
                    found.append(f"{relative}:{number}: {line.strip()}")
    if found:
        print("Raw file calls outside the file layer (utils/file/); go through File.h or "
              "AtomicFile.h:", file=sys.stderr)
        for place in found:
            print("  " + place, file=sys.stderr)
        return 1
    print("file layer lint: clean")
    return 0


if __name__ == "__main__":
    sys.exit(main())
