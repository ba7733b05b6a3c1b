#!/usr/bin/env python3
"""quenza serve as an operator runs it: --listen checked and its failures
named, several listeners and a Unix socket, --user dropping root, the
Combined Log Format access log reopened on SIGHUP, and the health check
turning 503 on SIGTERM before the drain. On 127.0.0.1 only, bounded in time.

Usage: serve_ops_test.py BUILD_DIR
"""
import http.client
import os
import pwd
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = None
START_SECONDS = 30


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class UnixConnection(http.client.HTTPConnection):
    def __init__(self, path, timeout=10):
        super().__init__("localhost", timeout=timeout)
        self.unix_path = path

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(self.timeout)
        self.sock.connect(self.unix_path)


def get(conn, path, headers=None, keep=False):
    """(status, body) of one GET; the connection is closed unless keep."""
    try:
        conn.request("GET", path, headers=headers or {})
        r = conn.getresponse()
        return r.status, r.read()
    finally:
        if not keep:
            conn.close()


class Server:
    """quenza serve in the background, its stderr in a file."""

    def __init__(self, work, *args):
        self.work = work
        self.err_path = os.path.join(work, "serve-%d.err" % time.monotonic_ns())
        self.err = open(self.err_path, "w")
        env = dict(os.environ, QUENZA_REGISTRY=os.path.join(work, "registry.txt"))
        self.proc = subprocess.Popen([os.path.join(BUILD, "quenza"), "serve", "--root", work] + list(args),
                                     stderr=self.err, stdout=subprocess.DEVNULL, env=env)

    def stderr(self):
        with open(self.err_path, errors="replace") as f:
            return f.read()

    def wait_listening(self, count=1):
        deadline = time.time() + START_SECONDS
        while time.time() < deadline:
            found = re.findall(r"listening on (\S+)", self.stderr())
            if len(found) >= count:
                return found
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError("not listening:\n" + self.stderr())

    def port(self):
        for where in self.wait_listening():
            m = re.match(r"http://127\.0\.0\.1:(\d+)/", where)
            if m:
                return int(m.group(1))
        raise AssertionError("no TCP listener:\n" + self.stderr())

    def finish(self, timeout=30):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        self.err.close()
        return rc


def run_serve(work, *args, timeout=30):
    env = dict(os.environ, QUENZA_REGISTRY=os.path.join(work, "registry.txt"))
    return subprocess.run([os.path.join(BUILD, "quenza"), "serve", "--root", work] + list(args),
                          capture_output=True, text=True, timeout=timeout, env=env)


def read_lines(path, want, seconds=10):
    """The file's lines once it has at least want of them (a line is written
    just after its answer is sent), or what it has at the deadline."""
    deadline = time.time() + seconds
    while True:
        try:
            with open(path) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            lines = []
        if len(lines) >= want or time.time() > deadline:
            return lines
        time.sleep(0.05)


class ServeOps(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="quenza-ops-")
        os.chmod(self.work, 0o755)
        with open(os.path.join(self.work, "ok.asp"), "w") as f:
            f.write("<%@ Language=\"JScript\" %><% Response.Write('ok'); %>")
        self.servers = []

    def tearDown(self):
        for s in self.servers:
            s.finish()
        shutil.rmtree(self.work, ignore_errors=True)

    def serve(self, *args):
        s = Server(self.work, *args)
        self.servers.append(s)
        return s

    def test_listen_is_checked(self):
        for bad in ("127.0.0.1:99999", "127.0.0.1:-1", "127.0.0.1:http", "127.0.0.1", ":", "unix:",
                    "127.0.0.1:65536"):
            r = run_serve(self.work, "--listen", bad)
            self.assertEqual(r.returncode, 2, bad + ": " + r.stderr)
            self.assertIn("--listen", r.stderr, bad)

    def test_listen_failures_name_the_reason(self):
        holder = socket.socket()
        holder.bind(("127.0.0.1", 0))
        holder.listen(1)
        try:
            r = run_serve(self.work, "--listen", "127.0.0.1:%d" % holder.getsockname()[1])
        finally:
            holder.close()
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("Address already in use", r.stderr)
        # A socket path that is a regular file is not taken over.
        path = os.path.join(self.work, "taken")
        open(path, "w").close()
        r = run_serve(self.work, "--listen", "unix:" + path)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("not a socket", r.stderr)
        self.assertTrue(os.path.isfile(path))
        if os.geteuid() == 0:
            # Root may bind any folder and port; the user nobody may not.
            r = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                os.path.join(BUILD, "quenza"), "serve", "--root", self.work, "--listen",
                                "unix:" + os.path.join(self.work, "q.sock")],
                               capture_output=True, text=True, timeout=30,
                               env=dict(os.environ, QUENZA_REGISTRY="/nonexistent"))
        else:
            r = run_serve(self.work, "--listen", "unix:/proc/q.sock")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("Permission denied", r.stderr)

    def test_several_listeners_and_a_unix_socket(self):
        port = free_port()
        sock = os.path.join(self.work, "run", "quenza.sock")
        os.mkdir(os.path.dirname(sock))
        s = self.serve("--listen", "127.0.0.1:%d" % port, "--listen", "unix:" + sock,
                       "--socket-mode", "0600")
        found = s.wait_listening(2)
        self.assertIn("http://127.0.0.1:%d/" % port, found)
        self.assertIn("unix:" + sock, found)
        self.assertEqual(stat.S_IMODE(os.stat(sock).st_mode), 0o600)
        self.assertTrue(stat.S_ISSOCK(os.stat(sock).st_mode))
        self.assertEqual(get(UnixConnection(sock), "/ok.asp"), (200, b"ok"))
        self.assertEqual(get(http.client.HTTPConnection("127.0.0.1", port, timeout=10), "/ok.asp"),
                         (200, b"ok"))
        self.assertEqual(s.finish(), 0)
        self.assertFalse(os.path.exists(sock), "the socket file goes with the server")

    def test_user_drops_root(self):
        if os.geteuid() != 0:
            self.skipTest("not root")
        nobody = pwd.getpwnam("nobody")
        s = self.serve("--listen", "127.0.0.1:0", "--user", "nobody")
        port = s.port()
        self.assertEqual(get(http.client.HTTPConnection("127.0.0.1", port, timeout=10), "/ok.asp"),
                         (200, b"ok"))
        with open("/proc/%d/status" % s.proc.pid) as f:
            status = f.read()
        uids = re.search(r"^Uid:\s+(.*)$", status, re.M).group(1).split()
        gids = re.search(r"^Gid:\s+(.*)$", status, re.M).group(1).split()
        groups = re.search(r"^Groups:\s*(.*)$", status, re.M).group(1).split()
        self.assertEqual(set(uids), {str(nobody.pw_uid)})
        self.assertEqual(set(gids), {str(nobody.pw_gid)})
        self.assertNotIn("0", groups)
        # Without --user, root is warned.
        r = self.serve("--listen", "127.0.0.1:0")
        r.port()
        self.assertIn("running as root", r.stderr())
        r = run_serve(self.work, "--listen", "127.0.0.1:0", "--user", "no-such-user-here")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("no-such-user-here", r.stderr)

    def test_access_log_is_combined_and_reopened_on_sighup(self):
        log = os.path.join(self.work, "access.log")
        s = self.serve("--listen", "127.0.0.1:0", "--access-log", log)
        conn = http.client.HTTPConnection("127.0.0.1", s.port(), timeout=10)
        self.assertEqual(get(conn, "/ok.asp?a=1", {"Referer": "http://x/", "User-Agent": "t\"1"}, keep=True)[0],
                         200)
        self.assertEqual(get(conn, "/missing.html", keep=True)[0], 404)
        lines = read_lines(log, 2)
        self.assertEqual(len(lines), 2, lines)
        clf = re.compile(r'^127\.0\.0\.1 - - \[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d \+0000\] '
                         r'"GET /ok\.asp\?a=1 HTTP/1\.1" 200 2 "http://x/" "t\\x221" (\d+)$')
        m = clf.match(lines[0])
        self.assertTrue(m, lines[0])
        self.assertRegex(lines[1], r'"GET /missing\.html HTTP/1\.1" 404 \d+ "-" "[^"]*" \d+$')
        self.assertNotIn("GET /ok.asp", s.stderr(), "access lines go to the file only")
        # logrotate: move the file away, then SIGHUP; new lines go to a new file.
        os.rename(log, log + ".1")
        s.proc.send_signal(signal.SIGHUP)
        deadline = time.time() + 10
        while not os.path.exists(log) and time.time() < deadline:
            time.sleep(0.05)
        self.assertTrue(os.path.exists(log), s.stderr())
        self.assertEqual(get(conn, "/ok.asp?after")[0], 200)
        self.assertIn("GET /ok.asp?after", "\n".join(read_lines(log, 1)))
        with open(log + ".1") as f:
            self.assertNotIn("after", f.read())
        self.assertEqual(s.finish(), 0)

    def test_error_lines_have_a_time(self):
        with open(os.path.join(self.work, "bad.asp"), "w") as f:
            f.write("<%@ Language=\"JScript\" %><% throw new Error('boom'); %>")
        s = self.serve("--listen", "127.0.0.1:0")
        self.assertEqual(get(http.client.HTTPConnection("127.0.0.1", s.port(), timeout=10), "/bad.asp")[0], 500)
        s.finish()
        failed = [l for l in s.stderr().splitlines() if "boom" in l]
        self.assertTrue(failed, s.stderr())
        self.assertRegex(failed[0], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z ")

    def test_sigterm_turns_health_before_the_drain(self):
        s = self.serve("--listen", "127.0.0.1:0", "--drain-delay", "3")
        conn = http.client.HTTPConnection("127.0.0.1", s.port(), timeout=10)
        self.assertEqual(get(conn, "/healthz"), (200, b"OK\n"))
        s.proc.send_signal(signal.SIGTERM)
        deadline = time.time() + 2
        status = 200
        while status == 200 and time.time() < deadline:
            status, body = get(http.client.HTTPConnection("127.0.0.1", s.port(), timeout=10), "/healthz")
        self.assertEqual((status, body), (503, b"Draining\n"))
        self.assertEqual(get(http.client.HTTPConnection("127.0.0.1", s.port(), timeout=10), "/ok.asp"),
                         (200, b"ok"), "pages are still served until the drain")
        self.assertEqual(s.proc.wait(timeout=20), 0)


if __name__ == "__main__":
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
