#!/usr/bin/env python3
"""Every text the sources mark for translation (Tr, TrArgs, TrNoop) has an
entry with a translation in each catalogue po/<lang>.po. Uses xgettext to
find the texts and msgcmp to compare, both from GNU gettext."""

import argparse
import glob
import os
import subprocess
import sys
import tempfile


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    args = parser.parse_args()
    sources = sorted(
        path
        for folder in ("src", "tools")
        for pattern in ("*.cpp", "*.h")
        for path in glob.glob(os.path.join(args.root, folder, "**", pattern), recursive=True))
    with tempfile.TemporaryDirectory() as tmp:
        template = os.path.join(tmp, "marked.pot")
        subprocess.run(["xgettext", "--language=C++", "--from-code=UTF-8", "--keyword=Tr",
                        "--keyword=TrArgs:1", "--keyword=TrNoop", "--force-po", "-o", template]
                       + sources, check=True)
        failed = False
        for catalogue in sorted(glob.glob(os.path.join(args.root, "po", "*.po"))):
            result = subprocess.run(["msgcmp", catalogue, template],
                                    capture_output=True, text=True)
            if result.returncode != 0:
                failed = True
                print("%s lacks translations:\n%s" % (os.path.basename(catalogue),
                                                     result.stderr), end="")
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
