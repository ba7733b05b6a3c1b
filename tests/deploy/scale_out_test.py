#!/usr/bin/env python3
"""Scale-out test: Debian's nginx, configured by deploy/nginx.conf, in front
of two `quenza serve` instances on 127.0.0.1. Chart requests through nginx
must all answer 200 with a whole JPEG, both instances must serve some, and
stopping one instance (SIGTERM) in the middle must fail no request. The
service units are checked with systemd-analyze where it exists.

Usage: scale_out_test.py BUILD_DIR SOURCE_DIR
Exits 77 (skipped) when nginx or the chart component is missing.
"""
import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
REQUESTS = 1000
CLIENTS = 8
STOP_AFTER = REQUESTS // 2
DEADLINE_SECONDS = 180


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def verify_units(source, quenza, work):
    """systemd-analyze verify on each unit as installed, with the program at
    the path where this build has it."""
    analyze = shutil.which("systemd-analyze")
    if not analyze:
        print("systemd-analyze absent: units not verified")
        return True
    ok = True
    for unit, instance in (("quenza.service", "quenza.service"), ("quenza@.service", "quenza@8081.service")):
        text = open(os.path.join(source, "deploy", unit)).read().replace("/usr/local/bin/quenza", quenza)
        path = os.path.join(work, instance)
        with open(path, "w") as f:
            f.write(text)
        r = subprocess.run([analyze, "verify", path], capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            print("%s does not verify:\n%s%s" % (unit, r.stdout, r.stderr))
            ok = False
    return ok


def start_instance(quenza, site, env, log_path):
    log = open(log_path, "w")
    proc = subprocess.Popen([quenza, "serve", "--root", site, "--listen", "127.0.0.1:0", "--threads", "2",
                             "--metrics"],
                            env=env, stderr=log, stdout=subprocess.DEVNULL)
    deadline = time.time() + 30
    while time.time() < deadline:
        m = re.search(r"listening on http://127\.0\.0\.1:(\d+)/", open(log_path).read())
        if m:
            return proc, int(m.group(1))
        if proc.poll() is not None:
            break
        time.sleep(0.05)
    raise RuntimeError("instance did not start:\n" + open(log_path).read())


def nginx_config(source, work, site, listen, ports):
    conf = open(os.path.join(source, "deploy", "nginx.conf")).read()
    servers = re.findall(r"^\s*server 127\.0\.0\.1:\d+.*$", conf, re.M)
    if len(servers) < 2:
        raise RuntimeError("deploy/nginx.conf has no upstream of two instances")
    conf = conf.replace(servers[0], "    server 127.0.0.1:%d max_fails=2 fail_timeout=5s;" % ports[0])
    conf = conf.replace(servers[1], "    server 127.0.0.1:%d max_fails=2 fail_timeout=5s;" % ports[1])
    conf = re.sub(r"^(\s*)listen \d+;", r"\1listen 127.0.0.1:%d;" % listen, conf, flags=re.M)
    conf = re.sub(r"^(\s*)root [^;]+;", r"\1root %s;" % site, conf, flags=re.M)
    site_conf = os.path.join(work, "quenza.conf")
    with open(site_conf, "w") as f:
        f.write(conf)
    main = os.path.join(work, "nginx.conf")
    with open(main, "w") as f:
        f.write("""pid {w}/nginx.pid;
error_log {w}/nginx-error.log;
worker_processes 1;
events {{ worker_connections 512; }}
http {{
  include /etc/nginx/mime.types;
  access_log off;
  client_body_temp_path {w}/body; proxy_temp_path {w}/proxy; fastcgi_temp_path {w}/fcgi;
  uwsgi_temp_path {w}/uwsgi; scgi_temp_path {w}/scgi;
  include {c};
}}
""".format(w=work, c=site_conf))
    return main


def charts_sent(port):
    """The JPEG charts an instance has sent, from its /metrics (None when it
    does not answer)."""
    try:
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        c.request("GET", "/metrics")
        r = c.getresponse()
        text = r.read().decode()
        c.close()
    except (OSError, http.client.HTTPException):
        return None
    m = re.search(r'^quenza_charts_sent_total\{format="jpeg"\} (\S+)$', text, re.M)
    return int(float(m.group(1))) if m else 0


def is_jpeg(body):
    return len(body) > 1000 and body[:2] == b"\xff\xd8" and body[-2:] == b"\xff\xd9"


def main():
    build, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    quenza = os.path.join(build, "quenza")
    library = os.path.join(build, "Quenza.so")
    nginx = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)
    work = tempfile.mkdtemp(prefix="quenza-scale-")
    # nginx's workers drop to an unprivileged user when started as root, and
    # serve the site's static files themselves.
    os.chmod(work, 0o755)
    procs = []
    try:
        if not verify_units(source, quenza, work):
            return 1
        if not nginx or not os.path.exists(library):
            print("skipped: nginx or %s is missing" % library)
            return SKIP
        env = dict(os.environ, QUENZA_REGISTRY=os.path.join(work, "registry.txt"))
        subprocess.run([quenza, "regsvr", library], env=env, check=True, capture_output=True, timeout=60)
        site = os.path.join(work, "site")
        shutil.copytree(os.path.join(source, "examples", "site"), site)
        instances = [start_instance(quenza, site, env, os.path.join(work, "q%d.log" % i)) for i in range(2)]
        procs += [p for p, _ in instances]
        listen = free_port()
        conf = nginx_config(source, work, site, listen, [port for _, port in instances])
        ngx = subprocess.Popen([nginx, "-p", work, "-c", conf, "-g", "daemon off;"],
                               stderr=subprocess.PIPE, stdout=subprocess.DEVNULL)
        procs.append(ngx)
        deadline = time.time() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", listen), timeout=1).close()
                break
            except OSError:
                if time.time() > deadline or ngx.poll() is not None:
                    print("nginx did not start: %s" % ngx.stderr.read().decode(errors="replace"))
                    return 1
                time.sleep(0.05)

        # A static file comes from nginx itself, not from an instance.
        c = http.client.HTTPConnection("127.0.0.1", listen, timeout=10)
        c.request("GET", "/logo.bmp")
        r = c.getresponse()
        logo = r.read()
        if r.status != 200 or logo != open(os.path.join(site, "logo.bmp"), "rb").read():
            print("static file through nginx: %d" % r.status)
            return 1

        failures = []
        lock = threading.Lock()
        sent = [0]
        stopped = threading.Event()
        # The stopped instance's count is read just before its SIGTERM.
        charts = [None, None]
        end = time.time() + DEADLINE_SECONDS

        def client():
            conn = None
            while time.time() < end:
                with lock:
                    if sent[0] >= REQUESTS:
                        return
                    sent[0] += 1
                    n = sent[0]
                if n == STOP_AFTER and not stopped.is_set():
                    stopped.set()
                    charts[0] = charts_sent(instances[0][1])
                    instances[0][0].send_signal(signal.SIGTERM)
                try:
                    if conn is None:
                        conn = http.client.HTTPConnection("127.0.0.1", listen, timeout=30)
                    conn.request("GET", "/bar2d.asp?n=%d" % n)
                    resp = conn.getresponse()
                    body = resp.read()
                    if resp.status != 200 or not is_jpeg(body):
                        with lock:
                            failures.append("request %d: %d %r" % (n, resp.status, body[:80]))
                except (OSError, http.client.HTTPException) as e:
                    with lock:
                        failures.append("request %d: %s" % (n, e))
                    conn = None

        threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(DEADLINE_SECONDS + 30)
        if sent[0] < REQUESTS:
            failures.append("only %d of %d requests sent in time" % (sent[0], REQUESTS))
        charts[1] = charts_sent(instances[1][1])
        served = []
        for i in range(2):
            text = open(os.path.join(work, "q%d.log" % i), errors="replace").read()
            served.append(len(re.findall(r"GET /bar2d\.asp\?n=\d+", text)))
        print("requests: %d, failures: %d, served by instance (access log): %s, charts by instance "
              "(/metrics): %s" % (sent[0], len(failures), served, charts))
        for f in failures[:10]:
            print(f)
        if failures or min(served) == 0 or not all(charts):
            return 1
        return 0
    finally:
        for p in procs:
            if p.poll() is None:
                p.terminate()
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
