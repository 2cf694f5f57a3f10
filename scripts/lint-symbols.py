#!/usr/bin/env python3
"""Fails when compiled code of the library or the tool calls the file system
itself instead of going through the file layer (utils/file/), or when the
library builds a function-local static instead of a ProcessWide object
(utils/runtime/ProcessWide.h).

The rule is the one scripts/lint-files.py keeps on the sources: every open,
read of a path, replacement, link, removal and folder listing goes through
utils/file/File.h and AtomicFile.h (or one wrapper of FileCalls.h), which hold
the one policy for descriptors, links, kinds, owners and modes. The text lint
is fast but reads spelling, so macros, token pasting, aliases and the 64-bit
twins the headers substitute slip past it. This check reads what the objects
really reference: the undefined symbols (nm), each attributed to the function
that refers to it (the relocations, objdump). Whatever the spelling, a call of
open() leaves `open` or `open64` there.

CTest runs it on every object of zqutils_objects and of zqutil in each build
(tests/lint/CMakeLists.txt); the file layer's own objects (zq_file_layer) are the
one place allowed to make these calls and are not given to it.

What it cannot see: a system call made with inline assembly, and calls made
inside other libraries (OpenSSL, libplist, libstdc++'s std::random_device).

Usage: scripts/lint-symbols.py [--nm NM] [--objdump OBJDUMP] [--cxxfilt CXXFILT]
                               OBJECT_OR_ARCHIVE...
Exit status: 0 clean, 1 with each object and symbol listed, 2 when the objects
cannot be read (a missing object never passes).
"""
import argparse
import fnmatch
import re
import subprocess
import sys

# The C calls, by the name glibc exports. A symbol is reduced to its call
# before the lookup: leading underscores and "libc_" go, then the fortify and
# internal suffixes (_2, _chk, _nocancel), then the 64 of the large-file twins
# that _FILE_OFFSET_BITS=64 substitutes. So __open64_2, open64 and __libc_open
# are all `open`, and __xstat64 is `xstat`.
BANNED_CALLS = {}
for reason, names in [
    # A descriptor or stream on a named file, or a new descriptor some other
    # way: the layer's Open and OpenFor... apply the one policy for links,
    # kinds, modes and close-on-exec, and keep descriptors 0-2 free.
    ("opens a file", "open openat openat2 creat fopen freopen tmpfile memfd_create "
     "name_to_handle_at open_by_handle_at setmntent posix_openpt getpt"),
    # Named shared memory, semaphores and queues are files in /dev/shm and
    # /dev/mqueue, made with the mode asked for, outside the layer's policy.
    ("opens a named shared object", "shm_open shm_unlink sem_open sem_unlink mq_open mq_unlink"),
    ("watches or mounts a path", "inotify_add_watch fanotify_mark mount umount umount2 swapon "
     "swapoff"),
    # A stdio stream on a descriptor has its own buffer and close: the layer's
    # FileStreamBuf is the one stream on descriptors.
    ("makes a stdio stream on a descriptor", "fdopen"),
    # Temporary files and names: the layer makes temporaries (AtomicFile);
    # a name picked first and created later is a race anyone can win.
    ("makes a temporary file or name", "mkstemp mkstemps mkostemp mkostemps mkdtemp "
     "mktemp tmpnam tmpnam_r tempnam"),
    # Copies are made above the standard descriptors and close-on-exec by
    # files::Duplicate; fcntl also duplicates (F_DUPFD) and takes record locks.
    ("duplicates a descriptor or locks", "dup dup2 dup3 fcntl flock"),
    # Names in folders: replacement, links, removal and new entries are the
    # layer's (AtomicFile, Remove..., MakeFolder).
    ("changes names in a folder", "rename renameat renameat2 unlink unlinkat remove "
     "rmdir link linkat symlink symlinkat mkdir mkdirat mkfifo mkfifoat mknod "
     "mknodat xmknod xmknodat"),
    # Modes, owners, sizes and times of files: the layer narrows modes and
    # owners and cuts files itself (ChangeMode, ChangeOwner, Truncate).
    ("changes a file's mode, owner, size or times", "chmod fchmod fchmodat lchmod "
     "chown fchown lchown fchownat truncate ftruncate fallocate posix_fallocate "
     "utime utimes futimes lutimes futimesat utimensat futimens setxattr lsetxattr "
     "fsetxattr removexattr lremovexattr fremovexattr"),
    # Looking at a path: by name these follow links and race with renames;
    # the layer looks through the descriptor it opened (StatAt, ReadLink).
    # fstat on a descriptor is not here: it reads what is already open.
    ("looks at a path", "readlink readlinkat realpath canonicalize_file_name access "
     "faccessat euidaccess eaccess stat lstat fstatat statx xstat lxstat fxstatat "
     "statfs statvfs pathconf getxattr lgetxattr listxattr llistxattr"),
    ("lists a folder", "opendir fdopendir scandir scandirat glob ftw nftw fts_open "
     "fts64_open"),
    # Steps on the layer's descriptors that its fault seam must see (Seek,
    # Sync). read, write and close are not here: on a descriptor the code was
    # given (stdin, stdout) or the layer made, they touch no name.
    ("seeks or syncs a descriptor", "lseek fsync fdatasync syncfs"),
    # Every relative path of the host would resolve elsewhere.
    ("changes the working folder", "chdir fchdir chroot"),
    # Any call by number, or any function by name at run time: out of reach
    # of a check that reads names.
    ("makes a call this check cannot see", "syscall dlopen dlmopen dlsym dlvsym"),
    # Another program touches files out of the layer's sight and inherits every
    # descriptor that is not close-on-exec. fork() and vfork() are not here:
    # they start no program, and the child runs only code this check reads.
    ("starts another program", "system popen execl execle execlp execv execve execvp "
     "execvpe execveat fexecve posix_spawn posix_spawnp "
     "posix_spawn_file_actions_addopen posix_spawn_file_actions_adddup2 "
     "posix_spawn_file_actions_addchdir_np posix_spawn_file_actions_addfchdir_np"),
]:
    BANNED_CALLS.update((name, reason) for name in names.split())

# Banned in the library's objects only (the tool is one thread, and CLI11's
# own statics are built before any fork of it). A function-local static with
# a dynamic initialiser is built under a guard of the C++ runtime: a fork()
# made by another thread while it is being built leaves the child waiting on
# that guard for ever. The library's process-wide objects are ProcessWide
# (utils/runtime/ProcessWide.h), whose build lock a fork handler takes.
BANNED_IN_LIBRARY = {
    "cxa_guard_acquire": "builds a function-local static (a fork during the build hangs the "
                         "child; use ProcessWide, utils/runtime/ProcessWide.h)",
    # A thread_local with a destructor is gone when its thread ends, and the
    # main thread's before static objects' destructors run at exit, which may
    # still call the library.
    "cxa_thread_atexit": "keeps a thread_local with a destructor (a call after the thread's end "
                         "or at exit would use it destroyed; use UsePerThread, "
                         "utils/runtime/PerThread.h)",
}
TOOL_OBJECTS = "*zqutil.dir/*"

# The C++ ones, matched against the qualified name (template arguments,
# parameters and inline namespaces such as __cxx11 taken away).
BANNED_CXX = [
    # File streams open by name; the layer's FileStreamBuf reads and writes
    # its descriptors. A destructor or vtable alone opens nothing.
    (re.compile(r"std::basic_(i|o)?fstream::(basic_(i|o)?fstream|open)$"), "opens a file stream"),
    (re.compile(r"std::basic_filebuf::(basic_filebuf|open)$"), "opens a file stream"),
    (re.compile(r"std::__basic_file::(open|sys_open)$"), "opens a file stream"),
    # Every free function (and class but path and filesystem_error) of
    # std::filesystem touches the file system; a path is only a string.
    (re.compile(r"std::(experimental::)?filesystem::(?!(path|filesystem_error)(::|$))"),
     "calls std::filesystem"),
]

# The references allowed, each with its reason: (object file pattern,
# qualified symbol name pattern, pattern of the function that refers to it).
# The function is the demangled name of the section the reference is in; the
# object's own functions (.text) have none, so an entry naming a function never
# covers the object's own code.
CLI11_CODE = r"(CLI::|std::_Function_handler<.*, CLI::detail::\w+Validator::)"
ALLOWED = [
    # The one place per-thread objects with destructors are kept.
    ("*PerThread.cpp.o", r"__cxa_thread_atexit$", r"ZQ::RVL::Utils::internal::ThisThreadObjects\("),
    # The gates' futex waits (CallGate.cpp): no name is in them.
    ("*CallGate.cpp.o", r"syscall$", r"ZQ::RVL::Utils::internal::Futex(Wait|WakeAll)\("),
    # CLI11's path validators (CLI::ExistingFile and the others) are constant
    # objects made in every file that includes CLI/CLI.hpp; they look at a path
    # with std::filesystem::status. zqutil uses none of them, so the call is
    # never made.
    ("*zqutil.dir/*", r"std::filesystem::status$", CLI11_CODE),
    # CLI11 reads a configuration file with std::ifstream in
    # App::_process_config_file (Config::from_file), which App::parse compiles
    # in; it runs only when set_config() names one, and zqutil never calls it.
    ("*zqutil.dir/*", r"std::basic_(ifstream::basic_ifstream|filebuf::(basic_filebuf|open))$",
     CLI11_CODE),
]


def run(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            errors="replace")
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(command[:2])}...: {result.stderr.strip()}")
    return result.stdout


def undefined_symbols(nm, paths):
    """{object label: set of raw symbols}; archive members are "archive:member"."""
    found = {}
    lto = set()
    # "object:address kind name", or "archive:member:address kind name".
    for line in run([nm, "-A", *paths]).splitlines():
        match = re.match(r"^(.*):[0-9a-f]*\s+(\S)\s+(\S+)$", line)
        if not match:
            continue
        label, kind, symbol = match.groups()
        found.setdefault(label, set())
        if kind in ("U", "w", "v"):
            found[label].add(symbol.split("@", 1)[0])
        elif symbol == "__gnu_lto_slim":
            lto.add(label)
    if lto:
        raise RuntimeError(f"{', '.join(sorted(lto))}: LTO bytecode only, no machine code to read "
                           "(build with -ffat-lto-objects)")
    return found


def references(objdump, path, wanted):
    """{(object label, raw symbol): {(section, function)}} for the symbols in
    `wanted`: the sections that refer to each, and the function (raw name, or
    None) the reference is in. Debug information refers to much and runs
    nothing."""
    archive = False
    label = path
    section = None
    functions = {}
    places = {}
    for line in run([objdump, "-rtw", path]).splitlines():
        if line.startswith("RELOCATION RECORDS FOR ["):
            section = line[len("RELOCATION RECORDS FOR ["):].rsplit("]", 1)[0]
            if section.startswith(".debug"):
                section = None
        elif section is not None and line[:1] in "0123456789abcdef" and line[:1]:
            fields = line.split()
            symbol = re.sub(r"[+-]0x[0-9a-f]+$", "", fields[-1]).split("@", 1)[0]
            if symbol in wanted:
                places.setdefault((label, symbol), set()).add((section, int(fields[0], 16)))
        elif " file format " in line:
            # objdump names a member alone, nm as archive:member.
            member = line.split(" file format ", 1)[0].rstrip().rstrip(":")
            label = f"{path}:{member}" if archive else path
            section = None
        elif line.startswith("In archive "):
            archive = True
        else:
            # The symbol table: "value flags section size [.hidden] name".
            match = re.match(r"^([0-9a-f]+) (.{7}) (\S+)\s+([0-9a-f]+)\s+(?:\.\w+\s+)?(\S+)$",
                             line)
            if match and "F" in match.group(2):
                start, size = int(match.group(1), 16), int(match.group(4), 16)
                functions.setdefault((label, match.group(3)), []).append(
                    (start, start + size, match.group(5)))

    def function(label, section, offset):
        return next((name for start, stop, name in functions.get((label, section), ())
                     if start <= offset < stop), None)
    return {key: {(section, function(key[0], section, offset)) for section, offset in found}
            for key, found in places.items()}


def demangle(cxxfilt, names):
    names = sorted(names)
    if not names:
        return {}
    result = subprocess.run([cxxfilt], input="\n".join(names) + "\n", stdout=subprocess.PIPE,
                            text=True, check=True)
    return dict(zip(names, result.stdout.splitlines()))


def call_name(symbol):
    """The C call a symbol stands for: __open64_2 -> open, _IO_fopen -> fopen."""
    name = re.sub(r"^_+(libc_|IO_)?", "", symbol)
    name = re.sub(r"(_2|_chk|_nocancel)$", "", name)
    return name if name in BANNED_CALLS else re.sub(r"64$", "", name)


SPECIAL_PREFIXES = ("vtable for ", "VTT for ", "construction vtable for ", "typeinfo for ",
                    "typeinfo name for ", "non-virtual thunk to ", "virtual thunk to ",
                    "covariant return thunk to ", "guard variable for ")
INLINE_NAMESPACES = {"__cxx11", "__1", "__fs", "v1", "_V2"}


def qualified_name(demangled):
    """std::basic_ifstream<char, ...>::open(char const*, ...) -> std::basic_ifstream::open."""
    text = demangled
    for prefix in SPECIAL_PREFIXES:
        if text.startswith(prefix):
            text = text[len(prefix):]
    text = text.replace("(anonymous namespace)", "{anonymous}")
    text = re.sub(r"operator(<<=|>>=|<=>|<<|>>|<=|>=|->\*|->|<|>|\(\))", "operator@", text)
    kept = []
    depth = 0
    for char in text:
        if char in "<{":
            depth += 1
        elif char in ">}":
            depth -= 1
        elif depth == 0:
            if char == "(":
                break
            kept.append(char)
    # A template function's return type comes first, before a space.
    name = "".join(kept).strip().rsplit(" ", 1)[-1]
    return "::".join(part for part in name.split("::") if part not in INLINE_NAMESPACES)


# OpenSSL is called only where its stretches are kept (utils/runtime/OpenSsl.h:
# fork and OpenSSL's exit clean-up wait for them); wiping memory needs none.
OPENSSL_OBJECTS = ("*/utils/runtime/OpenSsl.cpp.o", "*/utils/crypto/ContainerCipher.cpp.o",
                   "*/utils/crypto/AesBlock.cpp.o")
OPENSSL_CALL = re.compile(r"^(EVP|ERR|OSSL|OPENSSL|CRYPTO|RAND|BIO)_(?!cleanse$)")


def banned_reason(label, symbol, demangled):
    if OPENSSL_CALL.match(symbol) and not any(fnmatch.fnmatch(label, pattern)
                                              for pattern in OPENSSL_OBJECTS):
        return "calls OpenSSL outside the places that keep its stretches (utils/runtime/OpenSsl.h)"
    if not symbol.startswith("_Z"):
        name = call_name(symbol)
        if name in BANNED_IN_LIBRARY and not fnmatch.fnmatch(label, TOOL_OBJECTS):
            return BANNED_IN_LIBRARY[name]
        return BANNED_CALLS.get(name)
    name = qualified_name(demangled)
    for pattern, reason in BANNED_CXX:
        if pattern.match(name):
            return reason
    return None


def section_function(section):
    """The raw name of the function a section holds (inline functions and
    templates have sections of their own), or None for the object's own
    code (.text)."""
    match = re.search(r"(_Z.*)$", section)
    return match.group(1) if match else None


def allowed(label, symbol_name, owners):
    def covered(who):
        return any(fnmatch.fnmatch(label, pattern) and re.match(symbol, symbol_name)
                   and who is not None and re.match(function, who)
                   for pattern, symbol, function in ALLOWED)
    return all(covered(who) for who in owners)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--nm", default="nm")
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--cxxfilt", default="c++filt")
    parser.add_argument("objects", nargs="+", metavar="OBJECT_OR_ARCHIVE")
    options = parser.parse_args()

    found = []
    try:
        # One nm and one c++filt for all objects: starting them is the cost.
        symbols = undefined_symbols(options.nm, options.objects)
        names = demangle(options.cxxfilt, {s for here in symbols.values() for s in here
                                           if s.startswith("_Z")})
        hits = [(label, symbol, reason) for label, here in sorted(symbols.items())
                for symbol in sorted(here)
                for reason in [banned_reason(label, symbol, names.get(symbol, symbol))] if reason]
        # Only the objects with a hit are read again, for who refers to it.
        refs = {}
        for path in options.objects:
            if any(label == path or label.startswith(path + ":") for label, _, _ in hits):
                refs.update(references(options.objdump, path, {symbol for _, symbol, _ in hits}))
        names.update(demangle(options.cxxfilt, {name for places in refs.values()
                                                for section, function in places
                                                for name in (section_function(section), function)
                                                if name and name.startswith("_Z")}))
        for label, symbol, reason in hits:
            places = refs.get((label, symbol)) or {(".text", None)}
            # Only a function with a section of its own can be allowed by name.
            owners = {names.get(f, f) if f else None
                      for f in (section_function(section) for section, _ in places)}
            shown = names.get(symbol, symbol)
            if allowed(label, qualified_name(shown), owners):
                continue
            where = sorted({names.get(f, f) for f in (section_function(section) or function
                                                      for section, function in places)
                            if f} or {"the object's own code"})
            found.append(f"{label}: {shown} ({reason}; in {', '.join(where)})")
    except (OSError, RuntimeError, subprocess.CalledProcessError) as error:
        print(f"symbol lint: {error}", file=sys.stderr)
        return 2
    if found:
        print("Calls that only one place may make, in compiled code: file calls go through the "
              "file layer (File.h, AtomicFile.h or a wrapper of FileCalls.h), process-wide "
              "objects are ProcessWide:", file=sys.stderr)
        for place in found:
            print("  " + place, file=sys.stderr)
        return 1
    print(f"symbol lint: clean ({len(symbols)} objects)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
