"""A kvcd per test session, and connections to a fresh database per test.

KVCD names the server binary and KVC_LIBRARY the shared library (the ctest
entry sets both); KVC_NO_SPEEDUPS=1 runs everything on the pure Python path."""

import os
import re
import shutil
import subprocess
import tempfile

import pytest

import kvc
from kvc import _result


class Server:
    def __init__(self, *extra):
        self.dir = tempfile.mkdtemp(prefix="kvc-py-")
        binary = os.environ.get("KVCD", "kvcd")
        self.process = subprocess.Popen(
            [binary, "--data-dir", self.dir, "--port", "0", "--print-port", "--exit-with-parent",
             "--idle-exit", "120", *extra],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.process.stdout.readline()
        if not line.strip().isdigit():
            self.stop()
            raise RuntimeError("kvcd did not report its port")
        self.port = int(line)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


@pytest.fixture(scope="session")
def server():
    s = Server()
    yield s
    s.stop()


@pytest.fixture
def connect(server, request):
    """connect(**kw): a connection to this test's own database (kvcd keeps one
    file per database name)."""
    name = re.sub(r"[^A-Za-z0-9_]", "_", request.node.name)[:60]
    opened = []

    def open_connection(**options):
        options.setdefault("database", name)
        conn = kvc.connect(host="127.0.0.1", port=server.port, user="u", password="p", **options)
        opened.append(conn)
        return conn

    yield open_connection
    for conn in opened:
        conn.close()


@pytest.fixture
def conn(connect):
    return connect()


@pytest.fixture(params=["accelerated", "pure"])
def fetch_path(request, monkeypatch):
    """Runs a test over both row loops (the accelerator only when it is built)."""
    if request.param == "accelerated" and _result.speedups is None:
        pytest.skip("the C accelerator is not built")
    if request.param == "pure":
        monkeypatch.setattr(_result, "speedups", None)
    return request.param
