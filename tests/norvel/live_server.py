"""``norvel serve`` as a subprocess on a free loopback port, for the tests."""

import http.client
import json
import socket
import subprocess
import sys
import tempfile
import time

import psutil



def sample_graph():
    from norvel.datasets import helsinki_walk

    return helsinki_walk()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class LiveServer:
    def __init__(self, graph, *options, start_s=120):
        self.port = free_port()
        # A file, not a pipe: nobody reads while the server runs.
        self.log = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen(
            [sys.executable, "-m", "norvel", "serve", str(graph),
             "--port", str(self.port), *options], stderr=self.log)
        deadline = time.monotonic() + start_s
        while True:
            try:
                if self.get("/health")[0] == 200:
                    break
            except OSError:
                pass
            if self.process.poll() is not None:
                raise RuntimeError(f"norvel serve ended: {self.output()}")
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("norvel serve did not answer /health")
            time.sleep(0.1)
        self.url = f"http://127.0.0.1:{self.port}"

    def request(self, method, path, body=None, timeout=120):
        """(status, content type, raw body)."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            connection.request(method, path, body=body)
            response = connection.getresponse()
            return response.status, response.getheader("content-type"), response.read()
        finally:
            connection.close()

    def get(self, path, **options):
        """(status, parsed JSON body)."""
        status, kind, body = self.request("GET", path, **options)
        assert kind == "application/json", (path, kind)
        return status, json.loads(body)

    def post(self, path, document, **options):
        body = document if isinstance(document, bytes) else json.dumps(document).encode()
        status, kind, raw = self.request("POST", path, body=body, **options)
        assert kind == "application/json", (path, kind)
        return status, json.loads(raw)

    def processes(self):
        """The server's process and every live process under it."""
        front = psutil.Process(self.process.pid)
        return [front, *(p for p in front.children(recursive=True) if _live(p))]

    def zygote(self):
        """The process that holds the graph: the front's one child."""
        (zygote,) = [p for p in psutil.Process(self.process.pid).children() if _live(p)]
        return zygote

    def worker_pids(self):
        """The live worker processes: the zygote's children."""
        return sorted(p.pid for p in self.zygote().children() if _live(p))

    def wait_for_workers(self, count, kept_from=None, kept=None, timeout_s=60):
        """The pids once there are ``count`` workers, ``kept`` of them from
        the pids ``kept_from``."""
        deadline = time.monotonic() + timeout_s
        while True:
            try:
                pids = self.worker_pids()
            except (ValueError, psutil.NoSuchProcess):  # no zygote, or two
                pids = []
            if len(pids) == count and (
                    kept_from is None or len(set(pids) & set(kept_from)) == kept):
                return pids
            assert time.monotonic() < deadline, pids
            time.sleep(0.05)

    def cpu_s(self):
        """CPU seconds the server's processes have used so far."""
        return sum(sum(p.cpu_times()[:2]) for p in self.processes())

    def pss(self):
        """The proportional set size of the server's processes, summed: a
        page shared by k processes counts 1/k in each (Linux)."""
        return sum(p.memory_full_info().pss for p in self.processes())

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        return self.process.returncode

    def output(self):
        """What the server wrote on stderr so far."""
        self.log.seek(0)
        return self.log.read()


def _live(process):
    try:
        return process.status() != psutil.STATUS_ZOMBIE
    except psutil.NoSuchProcess:
        return False
