#!/usr/bin/env python3
"""Runs every test program of a build once, whole, under valgrind memcheck,
with the environment and working folder CTest gives its tests. Fails when a
program fails, valgrind reports an error, or any block is definitely lost.
Programs the tests start with exec (python3, the zqutil tool) are not traced.
   scripts/memcheck.py [build folder, default build/release] [parallel runs, default 2]
"""
import concurrent.futures
import json
import os
import signal
import subprocess
import sys
import time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build", "release")
jobs = int(sys.argv[2]) if len(sys.argv) > 2 else 2

listing = json.loads(subprocess.check_output(["ctest", "--show-only=json-v1"], cwd=build))
runs = {}
for test in listing["tests"]:
    command = test.get("command")
    # Our compiled programs only: the lint checks are Python scripts.
    if not command or os.path.basename(command[0]).startswith("python"):
        continue
    environment = {}
    folder = build
    for prop in test.get("properties", []):
        if prop["name"] == "ENVIRONMENT":
            environment.update(item.split("=", 1) for item in prop["value"])
        elif prop["name"] == "WORKING_DIRECTORY":
            folder = prop["value"]
    # gtest_discover_tests registers one CTest entry per test case; the whole
    # program runs once here.
    arguments = tuple(a for a in command[1:] if not a.startswith("--gtest_"))
    key = (command[0], arguments, tuple(sorted(environment.items())))
    runs.setdefault(key, folder)

valgrind = ["valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
            "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
            "--num-callers=40", "--quiet"]


# A program still running after this long is stopped and counted as failed, so
# that a hang never holds up the whole run.
PROGRAM_TIMEOUT = 1500
HUNG = -1


def run(key):
    program, arguments, environment = key
    env = dict(os.environ)
    env.update(environment)
    started = time.monotonic()
    # A session of its own lets a hung program be stopped with everything it
    # started, so nothing keeps the output pipe open.
    process = subprocess.Popen(valgrind + [program, *arguments], cwd=runs[key], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               errors="replace", start_new_session=True)
    try:
        output, _ = process.communicate(timeout=PROGRAM_TIMEOUT)
        code = process.returncode
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        code = HUNG
    result = subprocess.CompletedProcess(process.args, code, output)
    return key, result, time.monotonic() - started


# Programs whose writers wait on a lock for at most the store's five seconds:
# under valgrind beside another program, a write can wait that long and fail
# (without a reason the caller sees, so far), which the test counts as lost.
# They run alone, after the others.
ALONE = {"zq_concurrency_tests"}


def results():
    together = [key for key in sorted(runs) if os.path.basename(key[0]) not in ALONE]
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        yield from pool.map(run, together)
    for key in sorted(runs):
        if os.path.basename(key[0]) in ALONE:
            yield run(key)


failed = 0
for key, result, seconds in results():
    program, arguments, environment = key
    name = " ".join([os.path.relpath(program, build), *arguments])
    shown = ["%s=%s" % (k, os.path.basename(v) if k == "OPENSSL_MODULES" else v)
             for k, v in environment if k != "ZQ_SOURCE_DIR"]
    if shown:
        name += " (" + " ".join(shown) + ")"
    verdict = {0: "clean", 99: "VALGRIND ERRORS", HUNG: "HUNG"}.get(result.returncode, "TESTS FAILED")
    print("%-70s %6.1fs  %s" % (name, seconds, verdict), flush=True)
    if result.returncode != 0:
        failed += 1
        print(result.stdout[-20000:], flush=True)
print("memcheck: %d of %d test programs clean" % (len(runs) - failed, len(runs)))
sys.exit(1 if failed else 0)
