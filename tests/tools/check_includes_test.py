#!/usr/bin/env python3
"""Cases for testbed/check_includes, each a small tree built in a temporary
folder: the files it holds and the violations the checker must report (as
fragments of its lines; an empty list means the tree is clean). Prints one
"N passed, N failed" line."""
import importlib.machinery
import os
import sys
import tempfile
import types

HERE = os.path.dirname(os.path.abspath(__file__))
loader = importlib.machinery.SourceFileLoader(
    "check_includes", os.path.join(HERE, "..", "..", "testbed", "check_includes"))
checker = types.ModuleType("check_includes")
checker.__file__ = loader.path
loader.exec_module(checker)

LOW = {"src/low/DEPS": "", "src/low/thing.h": "#pragma once\n"}
HIGH_DEPS = {"src/high/DEPS": "include src/low\n"}

CASES = [
    ("an allowed include is clean",
     {**LOW, **HIGH_DEPS, "src/high/user.cc": '#include "low/thing.h"\n'}, []),
    ("a lower layer including a higher one is refused",
     {**LOW, **HIGH_DEPS, "src/high/top.h": "", "src/low/bad.cc": '#include "high/top.h"\n'},
     ["src/low/bad.cc", "does not allow src/high"]),
    ("a folder without DEPS is refused",
     {**LOW, "src/new/a.cc": '#include "low/thing.h"\n'}, ["src/new: no DEPS file"]),
    ("a portable file including windows.h is refused",
     {**LOW, "src/low/rules.cc": "#include <windows.h>\n"}, ["rules.cc", "platform header"]),
    ("a portable file including a _win header is refused",
     {**LOW, "src/low/io_win.h": "", "src/low/rules.cc": '#include "low/io_win.h"\n'},
     ["rules.cc", "platform header"]),
    ("a _win file may include windows.h",
     {**LOW, "src/low/io_win.cc": "#include <windows.h>\n"}, []),
    ("a portable file including node_api.h is refused",
     {**LOW, "src/low/rules.h": "#include <node_api.h>\n"}, ["rules.h", "platform header"]),
    ("a windows_only folder may include windows.h anywhere",
     {**LOW, "tools/app/DEPS": "windows_only\ninclude src/low\n",
      "tools/app/main.cc": '#include <windows.h>\n#include "low/thing.h"\n'}, []),
    ("an include that names no file is refused",
     {**LOW, "src/low/a.cc": '#include "low/missing.h"\n'}, ["no such file"]),
    ("a relative include into another folder is checked",
     {**LOW, **HIGH_DEPS, "src/high/top.h": "", "src/low/b.cc": '#include "../high/top.h"\n'},
     ["does not allow src/high"]),
]


def run(files):
    with tempfile.TemporaryDirectory() as root:
        for name, text in files.items():
            path = os.path.join(root, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as out:
                out.write(text)
        return checker.check(root)


passed = failed = 0
for title, files, expected in CASES:
    problems = run(files)
    if expected:
        ok = len(problems) == 1 and all(fragment in problems[0] for fragment in expected)
    else:
        ok = problems == []
    print(("ok     " if ok else "FAILED ") + title + ("" if ok else f": got {problems}"))
    passed, failed = passed + ok, failed + (not ok)
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
