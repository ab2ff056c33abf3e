"""A private PostgreSQL server for tests and benchmarks: initdb once as a template, a copy per
server, run as a direct child (as the `postgres` account when we are root) on a Unix socket in a
temporary directory, stopped by pid. Commits still wait for the WAL write (synchronous_commit),
so a server crash keeps every acknowledged commit; fsync is off because no test cuts the power."""

import os
import pathlib
import shutil
import signal
import subprocess
import tempfile
import time

# The server runs uninstrumented even when the tests preload a sanitizer runtime.
ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}

INSTALL = "PostgreSQL 13 or later (apt-get install postgresql) and psycopg (pip install 'tallowmere[postgres]')"


def binaries():
    found = sorted(pathlib.Path("/usr/lib/postgresql").glob("*/bin/postgres"), key=lambda p: int(p.parts[-3]))
    if found:
        return found[-1].parent
    on_path = shutil.which("postgres")
    return pathlib.Path(on_path).parent if on_path else None


class Server:
    def __init__(self, template: pathlib.Path, *settings: str):
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="tm-pg-"))
        shutil.copytree(template, self.dir / "data", symlinks=True)
        self._own(self.dir)
        self.conninfo = f"host={self.dir} port=5432 user=postgres dbname=postgres"
        self.process = None
        self.settings = settings or ("fsync=off",)
        self.start()

    @staticmethod
    def _as_postgres():
        return ["setpriv", "--reuid=postgres", "--regid=postgres", "--init-groups"] if os.getuid() == 0 else []

    def _own(self, path):
        if os.getuid() == 0:
            subprocess.run(["chown", "-R", "postgres:", str(path)], check=True)

    def start(self):
        bin_dir = binaries()
        self.process = subprocess.Popen(
            [*self._as_postgres(), str(bin_dir / "postgres"), "-D", str(self.dir / "data"), "-k", str(self.dir),
             "-p", "5432", "-c", "listen_addresses=", "-c", "max_connections=200",
             *[arg for setting in self.settings for arg in ("-c", setting)]],
            stdout=subprocess.DEVNULL, stderr=open(self.dir / "log", "ab"), env=ENV)
        deadline = time.monotonic() + 60
        while subprocess.run([str(bin_dir / "pg_isready"), "-q", "-h", str(self.dir), "-p", "5432"], env=ENV).returncode:
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError((self.dir / "log").read_text())
            time.sleep(0.02)

    def stop(self, sig=signal.SIGINT):
        """SIGINT: fast shutdown; SIGQUIT: immediate (a crash: no checkpoint, recovery at start)."""
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(sig)
            self.process.wait()
        self.process = None

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


def make_template() -> pathlib.Path:
    """initdb into a temporary directory; raises FileNotFoundError when PostgreSQL is missing."""
    bin_dir = binaries()
    if bin_dir is None:
        raise FileNotFoundError("no PostgreSQL server binaries")
    root = pathlib.Path(tempfile.mkdtemp(prefix="tm-pg-template-"))
    if os.getuid() == 0:
        subprocess.run(["chown", "postgres:", str(root)], check=True)
    subprocess.run([*Server._as_postgres(), str(bin_dir / "initdb"), "-D", str(root / "data"), "-U", "postgres",
                    "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync"], check=True, stdout=subprocess.DEVNULL, env=ENV)
    return root / "data"
