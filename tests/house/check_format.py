#!/usr/bin/env python3
"""Fails when a C++ file of the tree differs from what the root .clang-format
makes of it, and names each such file. Fix with:
    clang-format -i <file>...

Usage: check_format.py --root SOURCE_DIR [--clang-format PROGRAM]
"""

import argparse
import os
import subprocess
import sys

FOLDERS = ("src", "tools", "tests", "bench")
ENDINGS = (".h", ".cpp")
BATCH = 50


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--clang-format", default="clang-format")
    args = parser.parse_args()
    root = os.path.abspath(args.root)

    files = []
    for folder in FOLDERS:
        for directory, _, names in os.walk(os.path.join(root, folder)):
            files += [os.path.join(directory, n) for n in sorted(names) if n.endswith(ENDINGS)]

    unformatted = []
    for start in range(0, len(files), BATCH):
        batch = files[start:start + BATCH]
        result = subprocess.run(
            [args.clang_format, "--dry-run", "--Werror", "--style=file"]
            + batch, capture_output=True, text=True)
        if result.returncode == 0:
            continue
        # One warning line per differing spot: "<file>:<line>:<col>: error: ..."
        for line in result.stderr.splitlines():
            if ": error: " in line:
                path = line.split(":", 1)[0]
                if path not in unformatted:
                    unformatted.append(path)
        if not unformatted:
            sys.stderr.write(result.stderr)
            return 1

    for path in unformatted:
        print("not formatted: " + os.path.relpath(path, root))
    if unformatted:
        print("run: clang-format -i " + " ".join(os.path.relpath(p, root) for p in unformatted))
        return 1
    print(f"{len(files)} files formatted")
    return 0


if __name__ == "__main__":
    sys.exit(main())
