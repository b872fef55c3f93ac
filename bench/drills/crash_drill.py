#!/usr/bin/env python3
"""Crash drill: kill a whole update run (dev, partner, patch) with SIGKILL at
many instants spread over its duration, then check what it left.

Every kill point starts from the same installed old version. After the kill:
- raw state: what a reader of the product's folders sees at that instant;
- after the clean-up the next run does first (drill_update_run recover): each
  configuration folder and the installation folder must be exactly the old or
  exactly the new tree (a package archive waiting in a folder is allowed), a
  recorded date must never be ahead of the installed tree, and no working
  folder or journal may remain;
- after a complete next run: everything is new, every date is recorded and the
  result code says so.
Any deviation counts as a broken state. Prints the counts.

With --cross-device the temporary folder and the installation folder lie on
another file system (/dev/shm) than the data folder, so packages and patched
files are copied instead of renamed.

usage: crash_drill.py [--kills N] [--files N] [--seed S] [--cross-device] [--build DIR]
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

OLD, NEW = "20240101000000", "20240611000000"


def make_sources(root, files):
    """Two versions of dev, partner and patch with files files each."""
    versions = {}
    for version in (OLD, NEW):
        src = os.path.join(root, "src-" + version)
        content = {}
        for t in ("dev", "partner"):
            for i in range(files):
                content["%s/f%02d/%s%04d.cfg" % (t, i % 20, t, i)] = "%s %s %d\n" % (t, version, i) * 20
            if version == NEW:
                content["%s/only-new.cfg" % t] = "new\n"
            else:
                content["%s/only-old.cfg" % t] = "old\n"
        for i in range(files):
            content["patch/lib/m%02d/mod%04d.so" % (i % 20, i)] = "patch %s %d\n" % (version, i) * 20
        content["patch/app.bin"] = "app " + version
        dc.write_tree(src, content)
        versions[version] = src
    return versions


def snapshot(p, dest):
    shutil.rmtree(dest, ignore_errors=True)
    os.makedirs(dest)
    for name, path in (("registry", p.reg), ("install", p.install), ("data", p.data)):
        shutil.copytree(path, os.path.join(dest, name), symlinks=True)


def restore(p, src):
    for name, path in (("registry", p.reg), ("install", p.install), ("data", p.data)):
        shutil.rmtree(path, ignore_errors=True)
        shutil.copytree(os.path.join(src, name), path, symlinks=True)
    shutil.rmtree(p.tmp, ignore_errors=True)
    os.makedirs(p.tmp)


def folder_states(p):
    return {
        "dev": dc.tree(os.path.join(p.config, "dev"), ignore=("dev.zip",)),
        "partner": dc.tree(os.path.join(p.config, "partner"), ignore=("partner.zip",)),
        "install": dc.tree(p.install),
    }


def classify(state, old, new):
    if state is None:
        return "missing"
    if state == old:
        return "old"
    if state == new:
        return "new"
    return "mixed"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kills", type=int, default=200)
    ap.add_argument("--files", type=int, default=400, help="files per package")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--cross-device", action="store_true",
                    help="temporary and installation folders on /dev/shm, data elsewhere")
    ap.add_argument("--build", default=None)
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    build = dc.find_build(args.build)
    rng = random.Random(args.seed)

    root = tempfile.mkdtemp(prefix="qbdrill-crash-", dir="/var/tmp")
    shm = tempfile.mkdtemp(prefix="qbdrill-", dir="/dev/shm") if args.cross_device else None
    p = dc.Product(build, root, shm and os.path.join(shm, "tmp"), shm and os.path.join(shm, "install"))
    server = dc.Server(p.server_dir)
    try:
        dc.write_tree(p.install, {"app.bin": "app installed", "keep.txt": "keep"})
        p.seed()
        sources = make_sources(os.path.join(root, "sources"), args.files)

        p.publish(sources[OLD], OLD)
        first = p.run(server.root)
        if first["result"] != 3:
            raise SystemExit("installing the old version failed: %r" % first)
        for name in list(os.listdir(p.tmp)):
            shutil.rmtree(os.path.join(p.tmp, name), ignore_errors=True)
        old = folder_states(p)
        snap = os.path.join(root, "snapshot")
        snapshot(p, snap)

        p.publish(sources[NEW], NEW)
        t0 = time.monotonic()
        full = p.run(server.root)
        duration = time.monotonic() - t0
        new = folder_states(p)
        if full["result"] != 3:
            raise SystemExit("installing the new version failed: %r" % full)
        print("drill: crash (SIGKILL) during a whole update run, dev + partner + patch")
        print("  files per package: %d, temporary and installation folders: %s" %
              (args.files, "other file system than the data (/dev/shm)" if shm else
               "same file system as the data"))
        print("  uninterrupted run: %.3f s in the process (%.3f s wall), result %d" %
              (full["seconds"], duration, full["result"]))

        raw_counts = {}
        killed = finished = broken = 0
        partial_archives = leaked_tmp = 0
        problems = []
        for k in range(args.kills):
            restore(p, snap)
            delay = rng.uniform(0.0, duration * 1.05)
            proc = subprocess.Popen(p.runner_cmd("run", server.root, dc.PROJECT), env=p.env(),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(delay)
            if proc.poll() is None:
                proc.send_signal(signal.SIGKILL)
                killed += 1
            else:
                finished += 1
            proc.wait()

            issues = []
            raw = folder_states(p)
            key = tuple(classify(raw[n], old[n], new[n]) for n in ("dev", "partner", "install"))
            raw_counts[key] = raw_counts.get(key, 0) + 1
            leaked_tmp += len(dc.working_folders(dc.private_temp(p.tmp)))
            for t in ("dev", "partner"):
                z = os.path.join(p.config, t, t + ".zip")
                if os.path.exists(z):
                    with open(z, "rb") as a, open(os.path.join(p.project_dir, t + ".zip"), "rb") as b:
                        if a.read() != b.read():
                            partial_archives += 1

            r = p.call("recover")
            if r.returncode != 0:
                issues.append("recover failed: " + r.stdout + r.stderr)
            after = folder_states(p)
            for n in ("dev", "partner", "install"):
                state = classify(after[n], old[n], new[n])
                if state not in ("old", "new"):
                    issues.append("%s is %s after recovery" % (n, state))
                t = "patch" if n == "install" else n
                if p.date(t) == NEW and state != "new":
                    issues.append("%s recorded as new but folder is %s" % (t, state))
            leftovers = [x for x in os.listdir(p.config)
                         if x not in ("dev", "partner", "patch", "~qbupdate.lock", "~qbcache")]
            if leftovers:
                issues.append("left in the config folder after recovery: %s" % leftovers)
            if os.path.exists(os.path.join(p.install, ".~qbbackup")):
                issues.append("backup folder left in the installation folder")
            if dc.working_folders(dc.private_temp(p.tmp)):
                issues.append("working folders left in the private temporary folder "
                              "after recovery: %s" % dc.working_folders(dc.private_temp(p.tmp)))

            done = p.run(server.root)
            final = folder_states(p)
            for n in ("dev", "partner", "install"):
                if final[n] != new[n]:
                    issues.append("%s not new after the next run (%s)" %
                                  (n, classify(final[n], old[n], new[n])))
            for t in ("dev", "partner", "patch"):
                if p.date(t) != NEW:
                    issues.append("date of %s not recorded: %s" % (t, p.date(t)))
            if done["result"] is None or not (done["result"] > 0 or done["result"] == -101101):
                issues.append("next run result %r %s" % (done["result"], done["text"]))
            leftovers = [x for x in os.listdir(p.config)
                         if x not in ("dev", "partner", "patch", "~qbupdate.lock", "~qbcache")]
            if leftovers:
                issues.append("left in the config folder after the next run: %s" % leftovers)
            if issues:
                broken += 1
                problems.append((k, delay, key, issues))
            if (k + 1) % 50 == 0:
                print("  ... %d kill points, %d broken" % (k + 1, broken), flush=True)

        print("  kill points: %d (SIGKILL delivered mid-run: %d, run had already ended: %d)" %
              (args.kills, killed, finished))
        print("  raw states right after the kill (dev, partner, install):")
        for key, count in sorted(raw_counts.items(), key=lambda kv: -kv[1]):
            print("    %-28s %d" % ("/".join(key), count))
        print("  package archives left incomplete in a folder by a kill: %d" % partial_archives)
        print("  download working folders left by killed runs (removed by recovery): %d" %
              leaked_tmp)
        print("  broken states: %d" % broken)
        for k, delay, key, issues in problems[:20]:
            print("    kill %d at %.3f s, raw %s: %s" % (k, delay, "/".join(key), "; ".join(issues)))
        return 1 if broken else 0
    finally:
        server.stop()
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)
            if shm:
                shutil.rmtree(shm, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
