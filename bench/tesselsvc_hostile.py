#!/usr/bin/python3
"""Figures of tesselsvc under hostile clients, on loopback, for one or more builds side by side:

  1. peak memory (VmHWM) while 64 clients at once send 1 MiB bodies built to be costly to decode
     (nested empty packet records, a JSON array of empty objects, a SOAP body of empty elements);
  2. latency of a normal client's calls (a fresh connection each) while 1000 other connections,
     from 20 loopback addresses, are held open sending their request heads a byte at a time;
  3. password guesses per second an attacker gets against one account (only attempts whose
     password was checked count), with 4 threads from 8 addresses for 20 s.

Usage: bench/tesselsvc_hostile.py BUILD/bin/tesselsvc [OTHER/tesselsvc ...]
Each build runs with a temporary data folder; the run takes about a minute per build."""

import json
import os
import re
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "server"))
import svcclient as C  # noqa: E402
import svchostile as H  # noqa: E402


class Service:
    def __init__(self, binary):
        self.dir = tempfile.mkdtemp(prefix="svc-hostile-")
        data = os.path.join(self.dir, "data")
        self.user = subprocess.run([binary, "adduser", "--data", data, "alice", "pw"], check=True,
                                   capture_output=True, text=True).stdout
        self.proc = subprocess.Popen([binary, "serve", "--data", data, "--listen", "127.0.0.1:0"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline()
        m = re.search(r":(\d+) admin-secret (\w+)", line)
        C.HOST, C.PORT = "127.0.0.1", int(m.group(1))
        C.ARGS = type("Args", (), {"pid": self.proc.pid, "data": data, "secret": m.group(2),
                                   "user": self.user, "bin": binary, "sanitized": False})()

    def alive(self):
        return self.proc.poll() is None

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def memory_bombs():
    bodies = H.bomb_bodies()
    answered = []

    def send(i):
        path, body = bodies[i % 3]
        try:
            s = H.attacker(i, 120)
            s.sendall(b"POST %s HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % (
                path.encode(), len(body)) + body)
            answered.append(H.status_of(H.read_answer(s)))
            s.close()
        except OSError:
            answered.append(0)

    threads = [threading.Thread(target=send, args=(i,)) for i in range(64)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(180)
    time.sleep(0.5)
    return H.proc_status("VmHWM") // 1024, H.proc_status("VmRSS") // 1024, answered


def slow_connections(count=1000, calls=200):
    socks, lat, failed = [], [], 0
    for i in range(count):
        try:
            s = H.attacker(i)
            s.setblocking(False)
            s.send(b"P")
            socks.append(s)
        except OSError:
            pass
    stop = [False]

    def trickle():
        while not stop[0]:
            H.send_each(socks, b"O")
            time.sleep(1.0)

    t = threading.Thread(target=trickle)
    t.start()
    start = time.monotonic()
    while len(lat) + failed < calls and time.monotonic() - start < 8:
        try:
            lat.append(H.normal_call() * 1000)
        except (Exception, SystemExit):  # noqa: B902 — counted
            failed += 1
        time.sleep(0.02)
    stop[0] = True
    t.join()
    held = len(socks)
    for s in socks:
        s.close()
    lat.sort()
    pick = lambda q: lat[min(len(lat) - 1, int(q * len(lat)))] if lat else float("nan")
    return held, len(lat), failed, pick(0.5), pick(0.95), (lat[-1] if lat else float("nan"))


def guesses(seconds=20):
    checked, refused, stop = [0], [0], [False]
    name = json.loads(C.ARGS.user)["user"]

    def attack(k):
        n = 0
        while not stop[0]:
            try:
                r = H.login(name, "guess%d-%d" % (k, n), "127.0.3.%d" % (1 + (k * 2 + n % 2)))
                msg = r.get("HB-EXCEPTION", {}).get("message", "")
                if msg.startswith("Wrong"):
                    checked[0] += 1
                else:
                    refused[0] += 1
            except OSError:
                refused[0] += 1
            n += 1

    threads = [threading.Thread(target=attack, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop[0] = True
    for t in threads:
        t.join(30)
    return checked[0] / seconds, (checked[0] + refused[0]) / seconds


def main():
    bins = sys.argv[1:]
    if not bins:
        print(__doc__)
        return 2
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    for b in bins:
        print("== %s" % b)
        svc = Service(b)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
        try:
            peak, rss, answered = memory_bombs()
            print("memory bombs: peak RSS %d MB, %d MB after; answers %s%s" % (
                peak, rss, {a: answered.count(a) for a in set(answered)},
                "" if svc.alive() else "; the service died"))
            if not svc.alive():
                svc.close()
                svc = Service(b)
            held, ok, failed, p50, p95, worst = slow_connections()
            print("1000 slow connections (%d held by the attacker): %d normal calls, %d failed; "
                  "latency median %.1f ms, p95 %.1f ms, max %.1f ms" % (held, ok, failed, p50, p95,
                                                                        worst))
            g, attempts = guesses()
            print("password guessing on one account: %.2f checked guesses/s (%.0f attempts/s)" % (
                g, attempts))
        finally:
            svc.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
