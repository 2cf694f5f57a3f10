#!/usr/bin/env python3
"""Fails when code of the library or the tool touches files outside the file
layer (utils/file/): every open, read of a path, replacement, link, removal
and folder listing goes through utils/file/File.h and AtomicFile.h, which
hold the one policy for descriptors, links, kinds, owners and modes.

This is the fast half of one check, run on the sources before anything is
built (the first step of scripts/test.sh). It reads spelling, so whatever it
cannot see (token pasting, an asm label, a header's substitution of open64)
is left to scripts/lint-symbols.py, which CTest runs on the compiled objects
of every build and which reads the symbols they really reference.

Comments are blanked and string and character literals emptied first, over
the whole file, so a call split over lines, a "//" inside a string and a line
of code that begins with "*" are all read as the compiler reads them.

A second boundary of the same kind: libplist, and the switching of the
thread's locale that every libplist call needs, live in one file
(utils/config/store/PlistXml.cpp), so that no other code parses a settings
file or changes the host's locale.

A third: the tool says things on stderr one way, zqutil::Report (in
tools/zqutil/main.cpp), which escapes what a message repeats; only it and the
progress bar (tools/zqutil/Progress.cpp) write there.

Usage: scripts/lint-files.py [ROOT]   (exit 0 clean, 1 with the places listed)
"""
import bisect
import pathlib
import re
import sys

# Where the rule holds: the library and the tool. Tests, benchmarks, fuzzers
# and examples make hostile files on purpose or show a caller's own code.
CHECKED = ("utils", "tools")
LAYER = "utils/file/"

# Raw file calls, and calls that start programs or make any call by number.
# A call of one of these names that is not a member call is one of them.
CALLS = (
    "open open64 openat openat64 openat2 creat creat64 fopen fopen64 freopen freopen64 "
    "fdopen tmpfile tmpfile64 memfd_create name_to_handle_at open_by_handle_at "
    "rename renameat renameat2 unlink unlinkat remove rmdir link linkat symlink symlinkat "
    "mkstemp mkostemp mkstemps mkdtemp mktemp tmpnam tempnam opendir fdopendir "
    "mkdir mkdirat mkfifo mkfifoat mknod mknodat chmod fchmod fchmodat chown fchown lchown "
    "fchownat truncate truncate64 ftruncate ftruncate64 utime utimes utimensat futimens "
    "readlink readlinkat realpath access faccessat stat stat64 lstat lstat64 fstatat "
    "fstatat64 statx lseek lseek64 dup dup2 dup3 flock fsync fdatasync "
    "popen system syscall dlsym execv execve execvp execl execlp execle fexecve "
    "posix_spawn posix_spawnp posix_spawn_file_actions_addopen _IO_fopen _IO_popen "
    "setmntent posix_openpt getpt shm_open shm_unlink sem_open sem_unlink mq_open mq_unlink "
    "inotify_add_watch mount umount umount2"
).split()
NAMES = "(" + "|".join(CALLS) + r")\b"
# A call, maybe qualified (std::remove, ::open), maybe split over lines or with
# the name in parentheses: (::open)(...).
CALL_RE = re.compile(r"(?<![\w.>$])(?:::\s*)?" + NAMES + r"\s*(?:\)\s*)*\(")
# The name taken as a value: ::open or &open, called later or through a macro.
VALUE_RE = re.compile(r"(?:(?<![\w>:])::|&)\s*" + NAMES)
# A macro that names one: #define OPEN open.
DEFINE_RE = re.compile(r"^[ \t]*#[ \t]*define\b(?:[^\n\\]|\\.)*", re.M | re.S)
NAME_RE = re.compile(r"(?<![\w.>$])(?<!struct )" + NAMES)
OTHER_RE = re.compile(
    r"O_TMPFILE|\b(?:basic_)?(?:i|o)?fstream\b|\b(?:basic_)?filebuf\b|std::filesystem"
    r"|\bfilesystem::(?!path\b)\w+|\bfs::(?!path\b)\w+\s*\("
    # Inline assembly can make any system call unseen by either lint.
    r"|\b(?:__)?asm(?:__)?\b")

# libplist's header and calls, and a thread's locale switched, outside PLIST.
PLIST = "utils/config/store/PlistXml.cpp"
PLIST_RE = re.compile(r"#\s*include\s*<plist/|\bplist_\w+\s*\("
                      r"|\b(?:uselocale|newlocale|freelocale|setlocale)\s*\(")

# Writes to stderr in the tool, outside its one reporting function.
STDERR_RE = re.compile(r"\bstderr\b|\bstd::(?:cerr|clog)\b|\bSTDERR_FILENO\b|\bperror\s*\(")
STDERR_FILES = ("tools/zqutil/main.cpp", "tools/zqutil/Progress.cpp")

# The few places allowed, each with its reason: (file, text on the line).
ALLOWED = [
    # The gates' waits: futex waits on their own words, which a fork made from
    # a signal handler never finds held and which are not cancellation points.
    ("utils/runtime/CallGate.cpp", "::syscall(SYS_futex"),
]

# Comments, literals and numbers (1'000 is no character literal), in the order
# they must be tried.
TOKEN_RE = re.compile(
    r"//(?:[^\n\\]|\\.)*"
    r"|/\*.*?(?:\*/|\Z)"
    r"|\b(?:u8|u|U|L)?R\"([^()\\\s]{0,16})\(.*?(?:\)\1\"|\Z)"
    r"|\"(?:[^\"\\\n]|\\.)*\"?"
    r"|\b\d[\w.']*"
    r"|'(?:[^'\\\n]|\\.)*'?", re.S)


def blank(match):
    token = match.group(0)
    lines = "\n" * token.count("\n")
    if token.startswith("/"):
        return " " + lines
    if token[0].isdigit():
        return token
    quote = "'" if token.startswith("'") else '"'
    return quote + quote + lines


def code_of(text):
    """The text with comments blanked and literals emptied, line for line."""
    return TOKEN_RE.sub(blank, text)


def places(text):
    """Line numbers of the raw file calls in `text`."""
    code = code_of(text)
    newlines = [i for i, char in enumerate(code) if char == "\n"]
    starts = []
    for match in CALL_RE.finditer(code):
        # obj.\nopen(...) is a member call on two lines.
        if not re.search(r"(\.|->)\s*$", code[max(0, match.start() - 80):match.start()]):
            starts.append(match.start())
    starts += [m.start() for m in VALUE_RE.finditer(code)]
    starts += [m.start() for m in OTHER_RE.finditer(code)]
    for define in DEFINE_RE.finditer(code):
        starts += [define.start() + m.start() for m in NAME_RE.finditer(define.group(0))]
    return sorted({bisect.bisect_left(newlines, start) + 1 for start in starts})


def plist_places(text):
    """Line numbers of libplist and locale calls in `text`."""
    code = code_of(text)
    return sorted({code.count("\n", 0, m.start()) + 1 for m in PLIST_RE.finditer(code)})


def stderr_places(text):
    """Line numbers of writes to stderr in `text`."""
    code = code_of(text)
    return sorted({code.count("\n", 0, m.start()) + 1 for m in STDERR_RE.finditer(code)})


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
            text = path.read_text(errors="replace")
            lines = text.split("\n")
            for number in places(text):
                line = lines[number - 1] if number <= len(lines) else ""
                if any(relative == f and allowed in line for f, allowed in ALLOWED):
                    continue
                found.append(f"{relative}:{number}: {line.strip()}")
            if relative.startswith("tools/") and relative not in STDERR_FILES:
                for number in stderr_places(text):
                    found.append(f"{relative}:{number}: {lines[number - 1].strip()} "
                                 "(the tool reports through zqutil::Report)")
            if relative != PLIST:
                for number in plist_places(text):
                    found.append(f"{relative}:{number}: {lines[number - 1].strip()} "
                                 f"(libplist and locale switching belong in {PLIST})")
    if found:
        print("Raw file calls outside the file layer (utils/file/); go through File.h or "
              "AtomicFile.h. Or libplist outside its one file, or stderr outside the tool's report:", file=sys.stderr)
        for place in found:
            print("  " + place, file=sys.stderr)
        return 1
    print("file layer lint: clean")
    return 0


if __name__ == "__main__":
    sys.exit(main())
