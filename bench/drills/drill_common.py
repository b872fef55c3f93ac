"""Shared pieces of the reliability drills: a sandboxed product (registry
store, temporary folder, data and installation folders), a local
configuration server, publishing with qbpublish and one update run in a
process of its own (drill_update_run)."""

import functools
import hashlib
import http.server
import os
import shutil
import subprocess
import threading
import time

PROJECT = "240611TolvanUpdK718"


def find_build(path):
    for candidate in (path, os.path.join(os.path.dirname(__file__), "..", "..", "build", "default")):
        if candidate and os.path.exists(os.path.join(candidate, "bench", "drills", "drill_update_run")):
            return os.path.abspath(candidate)
    raise SystemExit("drill_update_run not built; build the targets drill_update_run and qbpublish")


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        with self.server.lock:
            self.server.requests.append(self.path)
        super().do_GET()


class QuietServer(http.server.ThreadingHTTPServer):
    # Killed clients reset their connections; that is the drill, not an error.
    def handle_error(self, request, client_address):
        pass


class Server:
    """Serves a folder on 127.0.0.1 on a free port until stopped."""

    def __init__(self, folder):
        handler = functools.partial(QuietHandler, directory=folder)
        self.httpd = QuietServer(("127.0.0.1", 0), handler)
        self.httpd.lock = threading.Lock()
        self.httpd.requests = []
        self.httpd.daemon_threads = True
        self.root = "http://127.0.0.1:%d" % self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def take_requests(self):
        """The request paths since the last call, oldest first."""
        with self.httpd.lock:
            taken, self.httpd.requests = self.httpd.requests, []
        return taken

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class Product:
    """A sandboxed installed product below root."""

    def __init__(self, build, root, tmp_dir=None, install_dir=None):
        self.build = build
        self.root = root
        self.reg = os.path.join(root, "registry")
        self.tmp = tmp_dir or os.path.join(root, "tmp")
        self.install = install_dir or os.path.join(root, "install")
        self.data = os.path.join(root, "data")
        self.config = os.path.join(self.data, "config")
        self.server_dir = os.path.join(root, "server")
        self.project_dir = os.path.join(self.server_dir, "qbdata", PROJECT)
        for d in (self.reg, self.tmp, self.install, self.config, self.project_dir):
            os.makedirs(d, exist_ok=True)
        self.runner = os.path.join(build, "bench", "drills", "drill_update_run")
        self.publisher = os.path.join(build, "tools", "qbpublish", "qbpublish")

    def env(self):
        env = dict(os.environ)
        env["KM_REGISTRY_DIR"] = self.reg
        env["TMPDIR"] = self.tmp
        return env

    def runner_cmd(self, *args):
        return [self.runner] + list(args)

    def call(self, *args, timeout=600):
        return subprocess.run(self.runner_cmd(*args), env=self.env(), capture_output=True,
                              text=True, timeout=timeout)

    def seed(self):
        r = self.call("seed", self.install + "/", self.data + "/")
        if r.returncode != 0:
            raise SystemExit("seed failed: " + r.stderr)

    def run(self, server_root, project=PROJECT, timeout=600):
        r = self.call("run", server_root, project, timeout=timeout)
        return parse_run(r.stdout)

    def get(self, name):
        return self.call("get", name).stdout.strip()

    def date(self, update_type, project=PROJECT):
        return self.get("lastconfigupdate.%s.%s" % (project, update_type))

    def publish(self, source, date, project=PROJECT):
        out = os.path.join(self.server_dir, "qbdata", project)
        shutil.rmtree(out, ignore_errors=True)
        subprocess.run([self.publisher, "--date", date, source, out], check=True,
                       capture_output=True)


def parse_run(stdout):
    out = {"result": None, "text": "", "seconds": None, "maxrss_kib": None}
    for line in stdout.splitlines():
        key, _, value = line.partition(" ")
        if key == "result":
            out["result"] = int(value)
        elif key == "text":
            out["text"] = value
        elif key == "seconds":
            out["seconds"] = float(value)
        elif key == "maxrss_kib":
            out["maxrss_kib"] = int(value)
    return out


def tree(root, ignore=()):
    """relative path -> "/" for a folder, a content hash for a file, "->target" for a link."""
    result = {}
    if not os.path.isdir(root):
        return None
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root)
        for name in dirnames + filenames:
            rel = os.path.normpath(os.path.join(rel_dir, name))
            if rel in ignore:
                continue
            path = os.path.join(dirpath, name)
            if os.path.islink(path):
                result[rel] = "->" + os.readlink(path)
            elif os.path.isdir(path):
                result[rel] = "/"
            else:
                with open(path, "rb") as f:
                    result[rel] = hashlib.sha1(f.read()).hexdigest()
    return result


def write_tree(root, files):
    for rel, content in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(content)


def private_temp(tmp):
    """The updater's private temporary folder below the TMPDIR tmp."""
    return os.path.join(tmp, "kelmirath-%d" % os.geteuid())


def working_folders(folder, prefix="~qb"):
    if not os.path.isdir(folder):
        return []
    return sorted(n for n in os.listdir(folder) if n.startswith(prefix) and n[3:].isdigit())


def now():
    return time.monotonic()
