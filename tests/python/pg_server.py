"""A private PostgreSQL server: a copy of an initdb template, a direct child on a Unix socket, stopped
by pid. fsync off unless asked: commits still wait for the WAL write, so a server crash keeps them."""

import os
import pathlib
import shutil
import signal
import subprocess
import tempfile
import time

INSTALL = "PostgreSQL 13 or later (apt-get install postgresql) and psycopg (pip install 'tallowmere[postgres]')"
# The server runs uninstrumented even when the tests preload a sanitizer runtime.
ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
AS_POSTGRES = ["setpriv", "--reuid=postgres", "--regid=postgres", "--init-groups"] if os.getuid() == 0 else []
BIN = ([None] + sorted(pathlib.Path("/usr/lib/postgresql").glob("*/bin"), key=lambda p: int(p.parent.name)))[-1]


def run(*args, **kwargs):
    return subprocess.run([*AS_POSTGRES, *map(str, args)], env=ENV, stdout=subprocess.DEVNULL, **kwargs)


def make_template():
    if BIN is None:
        raise FileNotFoundError("no PostgreSQL server binaries under /usr/lib/postgresql")
    root = pathlib.Path(tempfile.mkdtemp(prefix="tm-pg-"))
    if AS_POSTGRES:
        shutil.chown(root, "postgres")
    run(BIN / "initdb", "-D", root / "data", "-U", "postgres", "-A", "trust", "-E", "UTF8", "--locale=C",
        "--no-sync", check=True)
    return root / "data"


class Server:
    def __init__(self, template, *settings):
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="tm-pg-"))
        shutil.copytree(template, self.dir / "data")
        if AS_POSTGRES:
            subprocess.run(["chown", "-R", "postgres:", str(self.dir)], check=True)
        self.conninfo = f"host={self.dir} port=5432 user=postgres dbname=postgres"
        self.settings = [arg for setting in settings or ("fsync=off",) for arg in ("-c", setting)]
        self.start()

    def start(self):
        self.process = subprocess.Popen(
            [*AS_POSTGRES, BIN / "postgres", "-D", self.dir / "data", "-k", self.dir, "-p", "5432",
             "-c", "listen_addresses=", "-c", "max_connections=200", *self.settings],
            env=ENV, stdout=subprocess.DEVNULL, stderr=open(self.dir / "log", "ab"))
        deadline = time.monotonic() + 60
        while run(BIN / "pg_isready", "-q", "-h", self.dir, "-p", "5432").returncode:
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError((self.dir / "log").read_text())
            time.sleep(0.02)

    def stop(self, sig=signal.SIGINT):  # SIGQUIT: an immediate stop, a crash
        self.process.send_signal(sig)
        self.process.wait()

    def close(self):
        if self.process.poll() is None:
            self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)
