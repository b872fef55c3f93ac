#!/usr/bin/env python3
"""HTTP limits drill: what ends a run whose server stops sending, without
anybody pressing stop. The descriptor server answers with headers and then
- stall:   sends nothing more (the 60 s stall limit must end the download);
- trickle: sends one byte a second (below the 100 bytes a second that the
           stall limit asks for, so it must end the download too).
Prints the result code and the time each run took; a run still going at
--cap seconds is killed and reported as unbounded.

usage: http_limits_drill.py [--cap SECONDS] [--build DIR]
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import drill_common as dc  # noqa: E402


class SlowServer:
    def __init__(self, mode):
        self.mode = mode
        self.stop = threading.Event()
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.sock.settimeout(0.2)
        self.root = "http://127.0.0.1:%d" % self.sock.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while not self.stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            threading.Thread(target=self.answer, args=(conn,), daemon=True).start()

    def answer(self, conn):
        try:
            conn.recv(65536)
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n<c>")
            while not self.stop.is_set():
                if self.mode == "trickle":
                    conn.sendall(b" ")
                self.stop.wait(1.0)
        except OSError:
            pass
        finally:
            conn.close()

    def close(self):
        self.stop.set()
        self.sock.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cap", type=float, default=150.0)
    ap.add_argument("--build", default=None)
    args = ap.parse_args()
    build = dc.find_build(args.build)
    root = tempfile.mkdtemp(prefix="qbdrill-http-", dir="/var/tmp")
    try:
        p = dc.Product(build, root)
        p.seed()
        print("drill: descriptor server that stops sending, nobody presses stop (cap %.0f s)" % args.cap)
        for mode in ("stall", "trickle"):
            server = SlowServer(mode)
            t0 = time.monotonic()
            proc = subprocess.Popen(p.runner_cmd("run", server.root, dc.PROJECT), env=p.env(),
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            try:
                out = proc.communicate(timeout=args.cap)[0]
                result = dc.parse_run(out)
                print("  %-8s result %s after %.1f s, peak memory %s KiB" %
                      (mode, result["result"], time.monotonic() - t0, result["maxrss_kib"]))
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                print("  %-8s still running after %.0f s: no limit ends it (only the stop request)" %
                      (mode, args.cap))
            server.close()
        return 0
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
