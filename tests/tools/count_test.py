#!/usr/bin/env python3
"""Cases for the test command's counting (testbed/lib/count.sh): small
hand-made reports of each layer kind and the counts they must give, then
whole runs of several layers whose summary line must come out as written
here. Prints one "N passed, N failed" line."""
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
COUNT = os.path.join(HERE, "..", "..", "testbed", "lib", "count.sh")

TAP_SUMMARY = "# tests {t}\n# suites 1\n# pass {p}\n# fail {f}\n# cancelled {c}\n# skipped {s}\n# todo 0\n"
SPAWN_FAILED = ("not ok 1 - Z:\\work\\tests\\js\\leaks.test.mjs\n  ---\n  duration_ms: 3\n"
                "  failureType: 'testCodeFailure'\n  error: 'spawn UNKNOWN'\n  ...\n")
FAILED_TEST = ("# Subtest: a suite\n    not ok 1 - does what it says\n      ---\n"
               "      error: 'Expected values to be strictly equal'\n      ...\n"
               "not ok 2 - a suite\n  ---\n  ...\n")
PASSED_TEST = "# Subtest: another suite\n    ok 1 - works\nok 3 - another suite\n"
SKIPPED_TEST = "    ok 2 - needs the release flavour # SKIP not selected\n"

GTEST_PASSED = "[==========] 5 tests from 2 test suites ran. (10 ms total)\n[  PASSED  ] 5 tests.\n"
GTEST_FAILED = ("[==========] 5 tests from 2 test suites ran. (10 ms total)\n[  PASSED  ] 4 tests.\n"
                "[  FAILED  ] 1 test, listed below:\n[  FAILED  ] Launch.Works\n\n 1 FAILED TEST\n")
GTEST_SKIPPED = ("[==========] 6 tests from 2 test suites ran. (10 ms total)\n[  PASSED  ] 4 tests.\n"
                 "[  SKIPPED ] 2 tests, listed below:\n[  SKIPPED ] BrokerPipe.RefusesAnotherOwner\n"
                 "[  SKIPPED ] WorkMarker.Reads\n")
GTEST_CRASHED = "[ RUN      ] Launch.Works\nwine: Unhandled page fault\n"

FUZZ_REACHED = ("Done 1000 runs in 8 second(s)\naccepting branch read_record reached 3 times\n"
                "accepting branch built_record reached 12 times\n")
FUZZ_UNREACHED = ("Done 1000 runs in 8 second(s)\naccepting branch read_record reached 0 times\n"
                  "accepting branch built_record reached 12 times\n")

# name, counting function, report text, exit code, files not counted, "passed failed skipped"
CASES = [
    ("a passing suite", "tap_counts", TAP_SUMMARY.format(t=2, p=2, f=0, c=0, s=0), 0, 0, "2 0 0"),
    ("a failing suite", "tap_counts",
     FAILED_TEST + PASSED_TEST + TAP_SUMMARY.format(t=3, p=2, f=1, c=0, s=0), 1, 0, "2 1 0"),
    ("a cancelled test is a failure", "tap_counts",
     TAP_SUMMARY.format(t=3, p=2, f=0, c=1, s=0), 1, 0, "2 1 0"),
    ("a suite with a skipped test", "tap_counts",
     SKIPPED_TEST + TAP_SUMMARY.format(t=3, p=2, f=0, c=0, s=1), 0, 0, "2 0 1"),
    ("a runner that exits non-zero with a clean summary", "tap_counts",
     TAP_SUMMARY.format(t=2, p=2, f=0, c=0, s=0), 1, 0, "2 1 0"),
    ("a crashed runner with no summary", "tap_counts", PASSED_TEST, 1, 0, "0 1 0"),
    ("a report that never came", "tap_counts", "", 0, 0, "0 1 0"),
    ("a file that could not start, run again", "tap_counts",
     SPAWN_FAILED + PASSED_TEST + TAP_SUMMARY.format(t=2, p=1, f=1, c=0, s=0), 1, 1, "1 0 0"),
    ("a file that could not start and a failed test", "tap_counts",
     SPAWN_FAILED + FAILED_TEST + TAP_SUMMARY.format(t=3, p=1, f=2, c=0, s=0), 1, 1, "1 1 0"),
    ("a file that could not start, a failed test and no summary", "tap_counts",
     SPAWN_FAILED + FAILED_TEST, 1, 1, "0 1 0"),
    ("a file that could not start and no summary", "tap_counts", SPAWN_FAILED, 1, 1, "0 1 0"),
    ("a summary that undercounts the failed entries", "tap_counts",
     SPAWN_FAILED + FAILED_TEST + TAP_SUMMARY.format(t=2, p=1, f=1, c=0, s=0), 1, 1, "1 1 0"),
    ("skips of a crashed runner still show", "tap_counts", SKIPPED_TEST, 1, 0, "0 1 1"),
    ("passing unit tests", "gtest_counts", GTEST_PASSED, 0, 0, "5 0 0"),
    ("a failing unit test", "gtest_counts", GTEST_FAILED, 1, 0, "4 1 0"),
    ("skipped Windows unit tests", "gtest_counts", GTEST_SKIPPED, 0, 0, "4 0 2"),
    ("a crashed unit-test binary", "gtest_counts", GTEST_CRASHED, 3, 0, "0 1 0"),
    ("a unit-test binary with no summary and exit 0", "gtest_counts", GTEST_CRASHED, 0, 0, "0 1 0"),
    ("a sanitizer stop after a clean summary", "gtest_counts", GTEST_PASSED, 1, 0, "5 1 0"),
    ("a fuzz run that reached every accepting branch", "fuzz_counts", FUZZ_REACHED, 0, 0, "1 0 0"),
    ("a fuzz run that never accepted one", "fuzz_counts", FUZZ_UNREACHED, 0, 0, "0 1 0"),
    ("a fuzz run that crashed", "fuzz_counts", "==1== ERROR: libFuzzer: deadly signal\n", 1, 0,
     "0 1 0"),
    ("a fuzz run that names no branch", "fuzz_counts", "Done 1000 runs in 8 second(s)\n", 0, 0,
     "0 1 0"),
    ("a case runner that finished", "cases_counts", "FAILED one\n12 passed, 1 failed\n", 1, 0,
     "12 1 0"),
    ("a case runner that stopped early", "cases_counts", "Traceback (most recent call last):\n", 1,
     0, "0 1 0"),
]

# Whole runs: layers (wrapper, report, exit code, not counted) and the last line.
RUNS = [
    ("an earlier failure survives a later layer with no summary",
     [("count_gtest", GTEST_FAILED, 1, 0), ("count_tap", SPAWN_FAILED + FAILED_TEST, 1, 1)],
     "4 passed, 2 failed, 0 skipped"),
    ("skipped unit tests reach the summary beside the suites' skips",
     [("count_gtest", GTEST_SKIPPED, 0, 0),
      ("count_tap", SKIPPED_TEST + TAP_SUMMARY.format(t=3, p=2, f=0, c=0, s=1), 0, 0)],
     "6 passed, 0 failed, 3 skipped"),
    ("a clean run", [("count_gtest", GTEST_PASSED, 0, 0), ("count_fuzz", FUZZ_REACHED, 0, 0),
                     ("count_tap", TAP_SUMMARY.format(t=2, p=2, f=0, c=0, s=0), 0, 0)],
     "8 passed, 0 failed, 0 skipped"),
]


def bash(script, *args):
    done = subprocess.run(["bash", "-c", 'source "$0"; ' + script, COUNT, *args],
                          capture_output=True, text=True, check=False)
    return done.stdout


def main():
    passed = failed = 0
    with tempfile.TemporaryDirectory() as folder:
        for index, (name, function, report, code, not_counted, expected) in enumerate(CASES):
            path = os.path.join(folder, f"case{index}")
            with open(path, "w", encoding="utf-8") as out:
                out.write(report)
            got = bash(f'{function} "$1" "$2" "$3"', path, str(code), str(not_counted)).strip()
            if got == expected:
                passed += 1
            else:
                failed += 1
                print(f"FAILED {name}: {got!r}, expected {expected!r}")
        for index, (name, layers, expected) in enumerate(RUNS):
            script = []
            for number, (wrapper, report, code, not_counted) in enumerate(layers):
                path = os.path.join(folder, f"run{index}-{number}")
                with open(path, "w", encoding="utf-8") as out:
                    out.write(report)
                script.append(f'{wrapper} layer{number} "{path}" {code} {not_counted} >/dev/null')
            got = bash("; ".join(script) + "; summary_line").strip()
            if got == expected:
                passed += 1
            else:
                failed += 1
                print(f"FAILED {name}: {got!r}, expected {expected!r}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
