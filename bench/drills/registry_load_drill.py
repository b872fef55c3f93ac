#!/usr/bin/env python3
"""Registry-under-load drill: another process writes the registry store in a
tight loop (COUNT values, then reads every one back) while update runs, each
installing a newly published dev package, follow one another. No write may be
lost on either side and no run may fail because the store was busy.

usage: registry_load_drill.py [--writes N] [--build DIR]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import drill_common as dc  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--writes", type=int, default=5000)
    ap.add_argument("--build", default=None)
    args = ap.parse_args()
    build = dc.find_build(args.build)
    root = tempfile.mkdtemp(prefix="qbdrill-reg-", dir="/var/tmp")
    p = dc.Product(build, root)
    server = dc.Server(p.server_dir)
    try:
        dc.write_tree(p.install, {"app.bin": "app"})
        p.seed()
        src = os.path.join(root, "src")
        dc.write_tree(src, {"dev/f%03d.cfg" % i: "x" * 100 for i in range(50)})

        def one_run(n):
            p.publish(src, "D%05d" % n, project="tolvanconfig")
            r = p.run(server.root, project="")
            ok = r["result"] == 1 and p.get("lastconfigupdate.dev") == "D%05d" % n
            return ok, r

        t0 = time.monotonic()
        for n in range(3):
            one_run(n)
        quiet = (time.monotonic() - t0) / 3

        writer = subprocess.Popen(p.runner_cmd("write-loop", "drill\\load", str(args.writes)),
                                  env=p.env(), stdout=subprocess.PIPE, text=True)
        runs = failed = 0
        t0 = time.monotonic()
        while writer.poll() is None:
            ok, r = one_run(100 + runs)
            runs += 1
            if not ok:
                failed += 1
                print("  run failed under load: %r" % r)
        loaded = (time.monotonic() - t0) / max(runs, 1)
        out = writer.communicate()[0]
        counts = dict(line.split() for line in out.splitlines() if line)
        print("drill: registry store written by another process during update runs")
        print("  other process: %d writes, failed writes %s, lost %s, exit %d" %
              (args.writes, counts.get("failed_writes"), counts.get("lost"), writer.returncode))
        print("  update runs under load: %d, failed %d; one run %.2f s under load, %.2f s quiet" %
              (runs, failed, loaded, quiet))
        return 0 if failed == 0 and writer.returncode == 0 else 1
    finally:
        server.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
