#!/usr/bin/env python3
"""Two-instances drill: two updater processes started at the same moment on
one product, and a first one killed while the second waits for it.

Round kinds:
- together: both start at once. One must install everything (result 3), the
  other must then find everything current (-101101); every package is
  downloaded exactly once, the descriptor twice.
- killed: the first is killed with SIGKILL at a random instant while the
  second waits; the second must finish the update.
After every round all folders must hold the new version and every date must
be recorded.

usage: two_instances_drill.py [--rounds N] [--killed N] [--files N] [--build DIR]
"""

import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import drill_common as dc  # noqa: E402
from crash_drill import NEW, OLD, folder_states, make_sources, restore, snapshot  # noqa: E402


def start(p, server):
    return subprocess.Popen(p.runner_cmd("run", server.root, dc.PROJECT), env=p.env(),
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=20)
    ap.add_argument("--killed", type=int, default=20)
    ap.add_argument("--files", type=int, default=200)
    ap.add_argument("--seed", type=int, default=2)
    ap.add_argument("--build", default=None)
    args = ap.parse_args()
    build = dc.find_build(args.build)
    rng = random.Random(args.seed)
    root = tempfile.mkdtemp(prefix="qbdrill-two-", dir="/var/tmp")
    p = dc.Product(build, root)
    server = dc.Server(p.server_dir)
    try:
        dc.write_tree(p.install, {"app.bin": "app installed", "keep.txt": "keep"})
        p.seed()
        sources = make_sources(os.path.join(root, "sources"), args.files)
        p.publish(sources[OLD], OLD)
        if p.run(server.root)["result"] != 3:
            raise SystemExit("installing the old version failed")
        snap = os.path.join(root, "snapshot")
        snapshot(p, snap)
        p.publish(sources[NEW], NEW)
        t0 = time.monotonic()
        p.run(server.root)
        duration = time.monotonic() - t0
        new = folder_states(p)

        print("drill: two updaters on one product (%d files per package, one run %.3f s)" %
              (args.files, duration))
        bad = 0
        results = {}
        interleaved = 0
        for _ in range(args.rounds):
            restore(p, snap)
            server.take_requests()
            a, b = start(p, server), start(p, server)
            ra = dc.parse_run(a.communicate()[0])["result"]
            rb = dc.parse_run(b.communicate()[0])["result"]
            key = tuple(sorted((ra, rb)))
            results[key] = results.get(key, 0) + 1
            requests = server.take_requests()
            downloads = {path: requests.count(path) for path in set(requests)}
            packages = [n for path, n in downloads.items() if path.endswith(".zip")]
            descriptor = sum(n for path, n in downloads.items() if path.endswith("configinfo.xml"))
            # Interleaving shows as a second descriptor request before the
            # first run's last package request.
            last_package = max(i for i, path in enumerate(requests) if path.endswith(".zip"))
            second_descriptor = [i for i, path in enumerate(requests)
                                 if path.endswith("configinfo.xml")][1]
            if second_descriptor < last_package:
                interleaved += 1
            ok = (key == (-101101, 3) and packages == [1, 1, 1] and descriptor == 2 and
                  folder_states(p) == new and all(p.date(t) == NEW for t in ("dev", "partner", "patch")))
            if not ok:
                bad += 1
                print("  round broken: results %s, downloads %s" % (key, downloads))
        print("  started together: %d rounds, results %s, interleaved installations %d, broken %d" %
              (args.rounds, dict(results), interleaved, bad))

        killed_bad = 0
        second_results = {}
        for _ in range(args.killed):
            restore(p, snap)
            a = start(p, server)
            time.sleep(0.02)
            b = start(p, server)
            time.sleep(rng.uniform(0.0, duration))
            a.send_signal(signal.SIGKILL)
            a.wait()
            rb = dc.parse_run(b.communicate()[0])["result"]
            second_results[rb] = second_results.get(rb, 0) + 1
            if (rb is None or not (rb > 0 or rb == -101101) or folder_states(p) != new or
                    not all(p.date(t) == NEW for t in ("dev", "partner", "patch"))):
                killed_bad += 1
                print("  killed round broken: second result %r" % rb)
        print("  first killed while the second waits: %d rounds, second's results %s, broken %d" %
              (args.killed, second_results, killed_bad))
        return 1 if bad or killed_bad else 0
    finally:
        server.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
