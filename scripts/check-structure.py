#!/usr/bin/env python3
"""Checks the project's shape: folders include only folders below them, one
file-naming scheme, no source file over 700 lines and, with Universal Ctags,
no function over 100 lines. Prints every breach; exit status 1 if any."""
import os
import re
import shutil
import subprocess
import sys

# Bottom to top; a folder may include its own files and those of lower ranks.
RANKS = {
    "base": 0,
    "imageio": 1, "engine": 1, "saliency": 1, "lines": 1,
    "core": 2,
    "interop_gl": 2,
    "cli": 4, "shell": 4,
    # The Python module is a program on the library, as the command line's.
    "python": 5,
}
# Tests, benchmarks and fuzz targets sit beside the programs and may include
# anything.
OTHER = ["tests", "bench", "fuzz"]
SOURCE = re.compile(r".*\.(cpp|hpp|h|inc)$")
NAME = re.compile(r"^[a-z0-9_]+(\.[a-z0-9_]+)+$")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/')
MAX_FILE_LINES = 700
MAX_FUNCTION_LINES = 100


def sources(root, folders):
    for folder in folders:
        for dirpath, _, files in os.walk(os.path.join(root, folder)):
            for f in sorted(files):
                yield os.path.relpath(os.path.join(dirpath, f), root)


def self_test():
    """The checks find what they are for, in a small tree made for it."""
    import tempfile
    with tempfile.TemporaryDirectory() as root:
        def put(rel, text):
            os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
            with open(os.path.join(root, rel), "w") as fh:
                fh.write(text)
        put("base/ok.hpp", "#pragma once\n")
        put("core/good.cpp", '#include "base/ok.hpp"\n#include "core/good.hpp"\n')
        put("lines/up.cpp", '#include "core/good.hpp"\n')          # upward
        put("engine/beside.cpp", '#include "saliency/x.hpp"\n')     # same rank
        put("cli/BadName.cpp", "\n")
        put("shell/long.cpp", "\n" * (MAX_FILE_LINES + 1))
        put("interop_gl/f.cpp", "void F() {\n" + "  int a;\n" * MAX_FUNCTION_LINES + "}\n")
        found = check(root)
    expected = ["lines/up.cpp:1", "engine/beside.cpp:1", "cli/BadName.cpp: file name",
                "shell/long.cpp: 701 lines", "interop_gl/f.cpp:1: F is 102 lines"]
    missing = [e for e in expected if not any(b.startswith(e) for b in found)]
    for m in missing:
        print(f"self-test: no breach reported for {m}")
    if len(found) != len(expected):
        print(f"self-test: {len(found)} breaches, expected {len(expected)}: {found}")
    return 1 if missing or len(found) != len(expected) else 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    breaches = check(root)
    for b in breaches:
        print(b)
    print(f"check-structure: {len(breaches)} breaches")
    return 1 if breaches else 0


def check(root):
    breaches = []
    files = list(sources(root, list(RANKS) + OTHER))
    for rel in files:
        base = os.path.basename(rel)
        if base != "CMakeLists.txt" and not NAME.match(base) and "/data/" not in rel:
            breaches.append(f"{rel}: file name is not snake_case")
        if not SOURCE.match(rel):
            continue
        with open(os.path.join(root, rel), encoding="utf-8", errors="replace") as fh:
            lines = fh.readlines()
        if len(lines) > MAX_FILE_LINES:
            breaches.append(f"{rel}: {len(lines)} lines (at most {MAX_FILE_LINES})")
        folder = rel.split("/")[0]
        if folder not in RANKS:
            continue
        for n, line in enumerate(lines, 1):
            m = INCLUDE.match(line)
            if not m or m.group(1) == folder:
                continue
            target = m.group(1)
            if target not in RANKS or RANKS[target] >= RANKS[folder]:
                breaches.append(f"{rel}:{n}: {folder}/ includes {target}/, which is not below it")
    ctags = shutil.which("ctags")
    if ctags is None:
        breaches.append("ctags not found (Debian: universal-ctags): function lengths unchecked")
    else:
        code = [f for f in files if SOURCE.match(f) and f.split("/")[0] in RANKS]
        out = subprocess.run([ctags, "--fields=+ne", "--kinds-C++=f", "-o", "-"] + code,
                             cwd=root, capture_output=True, text=True, check=True).stdout
        for row in out.splitlines():
            cols = row.split("\t")
            fields = dict(c.split(":", 1) for c in cols[3:] if ":" in c)
            if "line" in fields and "end" in fields:
                length = int(fields["end"]) - int(fields["line"]) + 1
                if length > MAX_FUNCTION_LINES:
                    breaches.append(f"{cols[1]}:{fields['line']}: {cols[0]} is {length} lines "
                                    f"(at most {MAX_FUNCTION_LINES})")
    return breaches


if __name__ == "__main__":
    sys.exit(main())
