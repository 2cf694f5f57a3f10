#!/usr/bin/env python3
"""The lints of calls only one place may make, against code written to slip past them.
Usage: LintTest.py CXX_COMPILER   (exit 0 when every case holds)"""
import concurrent.futures
import pathlib
import re
import subprocess
import sys
import tempfile

SCRIPTS = pathlib.Path(__file__).resolve().parents[2] / "scripts"
INCLUDES = ("#include <fcntl.h>\n#include <unistd.h>\n#include <sys/stat.h>\n#include <cstdio>\n"
            "#include <cstdlib>\n#include <dlfcn.h>\n#include <sys/syscall.h>\n")

# Ways around the text lint; each must still leave a banned symbol matching the
# pattern in the object, at -O0 and -O2.
EVASIONS = [
    ("macro", "#define OPEN ::open\nint f(const char* p) { return OPEN(p, O_RDONLY); }", r"open$"),
    ("parentheses", "int f(const char* p) { return (::open)(p, O_RDONLY); }", r"open$"),
    ("split line", "int f(const char* p) { return ::\nopen\n(p, O_RDONLY); }", r"open$"),
    ("token pasting", "#define CALL(a, b) a##b\nint f(const char* p) { return CALL(op, en)(p, 0); }",
     r"open$"),
    ("asm label", 'extern "C" int Mine(const char*, int) __asm__("open");\n'
     "int f(const char* p) { return Mine(p, 0); }", r"open$"),
    ("large files", "#define _FILE_OFFSET_BITS 64\n" + INCLUDES +
     'int f(const char* p) { return open(p, 0) + (fopen(p, "r") != nullptr); }', r"(f?open64)$"),
    ("fortify", "#define _FORTIFY_SOURCE 2\n" + INCLUDES +
     "int f(const char* p, int flags) { return open(p, flags); }", r"(__)?open(_2)?$"),
    ("by number", "long f(const char* p) { return syscall(SYS_openat, AT_FDCWD, p, 0); }",
     r"syscall$"),
    ("by name", 'void* f() { return dlsym(RTLD_DEFAULT, "open"); }', r"dlsym$"),
    ("using namespace std", "#include <filesystem>\nusing namespace std;\n"
     "bool f(const char* p) { return filesystem::remove(p); }", r"std::filesystem::remove\("),
    ("file stream", "#include <fstream>\nvoid f(const char* p) { std::ofstream out(p); out << 1; }",
     r"std::basic_(ofstream|filebuf)<"),
    ("fifo", "int f(const char* p) { return mkfifo(p, 0600); }", r"mkfifo$"),
    ("truncate", "int f(int fd) { return ftruncate(fd, 0); }", r"ftruncate$"),
    ("libio twin", 'extern "C" FILE* _IO_fopen(const char*, const char*);\n'
     'FILE* f(const char* p) { return _IO_fopen(p, "w"); }', r"_IO_fopen$"),
    ("shared memory", "#include <fcntl.h>\n#include <sys/mman.h>\nint f(const char* p) { return shm_open(p, O_CREAT, 0666); }",
     r"shm_open$"),
    ("mount table", '#include <mntent.h>\nFILE* f(const char* p) { return setmntent(p, "w"); }',
     r"setmntent$"),
    ("shell", 'int f(const char* p) { return std::system(p) + (popen(p, "r") != nullptr); }',
     r"(system|popen)$"),
]

# What the check must let through, by object path: calls on descriptors the
# code holds, paths as strings, and CLI11's own file code in zqutil's objects
# only (the same call in zqutil's own code, or in the library, is a fault).
CLI = ("#include <filesystem>\nnamespace CLI { inline __attribute__((noinline)) bool Is(const char* p) "
       "{ std::error_code e; return std::filesystem::status(p, e).type() "
       "== std::filesystem::file_type::regular; } }\n")
STATIC = ("#include <string>\nstd::string Id();\n"
          "const std::string& f() { static const std::string id = Id(); return id; }")
SCOPES = [
    ("utils/A.o", INCLUDES + "#include <filesystem>\n#include <iostream>\n"
     "int f(int fd, char* b) { struct stat s; std::cout << std::filesystem::path(b).filename(); "
     "return int(read(fd, b, 1) + write(fd, b, 1)) + fstat(fd, &s) + close(fd); }", True),
    ("tools/CMakeFiles/zqutil.dir/main.cpp.o", CLI + "bool f(const char* p) { return CLI::Is(p); }",
     True),
    ("tools/CMakeFiles/zqutil.dir/own.cpp.o", CLI + "bool f(const char* p) { std::error_code e; "
     "return std::filesystem::status(p, e).type() == std::filesystem::file_type::none; }", False),
    ("CMakeFiles/zqutils_objects.dir/lib.cpp.o", CLI + "bool f(const char* p) { return CLI::Is(p); }",
     False),
    # A function-local static built on first use: the tool may, the library not.
    ("tools/CMakeFiles/zqutil.dir/static.cpp.o", STATIC, True),
    ("CMakeFiles/zqutils_objects.dir/static.cpp.o", STATIC, False),
]

# The text lint: code, put after a line "x = 0;", and whether it must be
# flagged (on the code's first line, none other). Each name its list once
# missed has a case.
NEW_NAMES = ("open64 fopen64 creat64 mkfifo mknod fchmod ftruncate utimensat popen system syscall "
             "name_to_handle_at posix_spawn_file_actions_addopen dup2 dup3 lseek").split()
LINES = [(f"r = {name}(a, b);", True) for name in NEW_NAMES] + [
    ("*out = ::open(p, 0);", True),
    ('const char* u = "http://h"; int fd = ::open(u, 0);', True),
    ("int fd = (::open)(p, 0);", True),
    ("int fd = ::\n  open\n  (p, 0);", True),
    ("#define OPEN open", True),
    ("auto call = &unlink;", True),
    ('asm volatile("syscall" : "=a"(r) : "a"(2), "D"(p) : "rcx", "r11");', True),
    ("return filesystem::remove(p);", True),
    ("std::ifstream in(p);", True),
    ("/* one\n * open(p) was here\n */ x = 1;", False),
    ("x = 1; // see http://h: open(p)", False),
    ("file.open(p); file->open(p); file.\n   open(p);", False),
    ('log("open(p) failed"); c = \'"\'; n = 1\'000; s = R"(::open(p))";', False),
    # libplist and locale switching, outside their one file.
    ("#include <plist/plist.h>", True),
    ("plist_from_xml(a, b, &c);", True),
    ("old = uselocale(c);", True),
    ('log("plist_free(p)"); x = my_plist_count(p);', False),
]


def compile_and_lint(name, code, options, directory):
    source = directory / (re.sub(r"\W", "_", name) + ".cpp")
    obj = directory / name
    obj.parent.mkdir(parents=True, exist_ok=True)
    source.write_text(("" if "#include" in code else INCLUDES) + code + "\n")
    subprocess.run([sys.argv[1], "-std=c++17", *options, "-w", "-c", str(source), "-o", str(obj)],
                   check=True)
    lint = subprocess.run([sys.executable, str(SCRIPTS / "lint-symbols.py"), str(obj)],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    # "  object: symbol (reason; in function)"
    symbols = [line.split(": ", 1)[1].split(" (")[0] for line in lint.stdout.splitlines()
               if line.startswith("  ")]
    return lint.returncode, symbols, lint.stdout


def main():
    failures = []
    with tempfile.TemporaryDirectory() as temp, concurrent.futures.ThreadPoolExecutor(8) as pool:
        directory = pathlib.Path(temp)
        jobs = {}
        for level in ("-O0", "-O2"):
            for name, code, pattern in EVASIONS:
                jobs[pool.submit(compile_and_lint, f"{level}/{name}.o", code, [level],
                                 directory)] = (name, level, pattern, None)
            for path, code, clean in SCOPES:
                jobs[pool.submit(compile_and_lint, f"{level}/{path}", code, [level],
                                 directory)] = (path, level, None, clean)
        for job, (name, level, pattern, clean) in jobs.items():
            code, symbols, output = job.result()
            if pattern is not None:
                ok = code == 1 and any(re.search(pattern, s) for s in symbols)
            else:
                ok = code == (0 if clean else 1)
            if not ok:
                failures.append(f"symbol lint, {name} at {level}: exit {code}\n{output}")

        root = directory / "tree"
        for number, (line, _) in enumerate(LINES):
            (root / "utils" / "x").mkdir(parents=True, exist_ok=True)
            (root / "utils" / "x" / f"C{number}.cpp").write_text("x = 0;\n" + line + "\n")
        lint = subprocess.run([sys.executable, str(SCRIPTS / "lint-files.py"), str(root)],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        flagged = set(re.findall(r"utils/x/C(\d+)\.cpp:(\d+):", lint.stdout))
        for number, (line, expected) in enumerate(LINES):
            hits = {n for file, n in flagged if file == str(number)}
            if (hits == {"2"}) != expected or hits - {"2"}:
                failures.append(f"text lint: {line!r} flagged on lines {sorted(hits)}")
        # The tool writes stderr only through its report (and the progress bar).
        tool = directory / "tool" / "tools" / "zqutil"
        tool.mkdir(parents=True)
        (tool / "Mine.cpp").write_text('x = 0;\nstd::fprintf(stderr, "zqutil: %s", m);\n')
        (tool / "main.cpp").write_text('x = 0;\nstd::fprintf(stderr, "zqutil: %s", m);\n')
        lint = subprocess.run([sys.executable, str(SCRIPTS / "lint-files.py"), str(tool.parents[1])],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if "tools/zqutil/Mine.cpp:2:" not in lint.stdout or "main.cpp" in lint.stdout:
            failures.append(f"stderr lint: {lint.stdout}")
    for failure in failures:
        print("FAILED " + failure)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
