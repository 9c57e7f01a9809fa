#!/usr/bin/python3
"""Hostile clients of tesselsvc, on loopback: memory bombs, slow and idle connections, resource
limits, password guessing, foreign web pages, forged headers, bad texts, quota races, expiring
tokens. Each attack runs beside a normal client whose calls must keep succeeding promptly.
Same arguments as svcclient.py (whose helpers it uses); exits 0 when every check of CASE holds.
Attackers take addresses 127.0.0.2 and up, so that the normal client (127.0.0.1) is a peer of
its own, as it would be on a network."""

import http.client
import json
import os
import resource
import select
import socket
import sqlite3
import ssl
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import svcclient as C  # noqa: E402
from svcclient import check, fail  # noqa: E402

# A normal call may be slow on a loaded test machine, but not held up by an attack.
SLOW = 2.0


def normal_call():
    """One getVersion on a fresh connection from 127.0.0.1: its latency in seconds."""
    t = time.monotonic()
    st, _, body = C.request("POST", "/svc/api/json/getVersion", b"{}", {})
    check(st == 200 and b"version" in body, "normal call answered %d %r" % (st, body[:80]))
    return time.monotonic() - t


class Watch:
    """A normal client calling every 50 ms while an attack runs."""

    def __init__(self):
        self.lat, self.errors, self.stop = [], [], False
        self.t = threading.Thread(target=self.run)

    def run(self):
        while not self.stop:
            try:
                self.lat.append(normal_call())
            except (Exception, SystemExit) as e:  # noqa: B902 — reported in done()
                self.errors.append(repr(e))
            time.sleep(0.05)

    def __enter__(self):
        self.t.start()
        return self

    def __exit__(self, *exc):
        self.stop = True
        self.t.join(30)

    def done(self, what):
        slow = SLOW * (3 if C.ARGS.sanitized else 1)
        check(not self.errors, "%s: normal calls failed during the attack: %r" % (what, self.errors[:3]))
        check(self.lat, "%s: no normal call finished" % what)
        worst = max(self.lat)
        print("%s: %d normal calls, worst %.1f ms" % (what, len(self.lat), worst * 1000))
        check(worst < slow, "%s: a normal call took %.2f s" % (what, worst))
        check(normal_call() < slow, "%s: slow afterwards" % what)


def attacker(n, timeout=10):
    """A socket from the attacker address 127.0.0.(2 + n // 50)."""
    s = socket.socket()
    s.settimeout(timeout)
    s.bind(("127.0.0.%d" % (2 + n // 50), 0))
    s.connect((C.HOST, C.PORT))
    return s


def send_each(socks, data):
    """One more piece from every attacking connection; those the service closed are skipped."""
    for s in socks:
        try:
            s.send(data)
        except OSError:
            pass


def status_of(raw):
    return int(raw.split(b" ")[1]) if raw.startswith(b"HTTP/1.1 ") else 0


def read_answer(s):
    out = b""
    try:
        while b"\r\n\r\n" not in out:
            b = s.recv(65536)
            if not b:
                break
            out += b
    except (ConnectionResetError, socket.timeout):
        pass
    return out


def proc_status(key):
    with open("/proc/%d/status" % C.ARGS.pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def cpu_seconds():
    with open("/proc/%d/stat" % C.ARGS.pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


# ---- Denial of service.

def bomb_bodies():
    """Small bodies that cost a naive decoder fifty times their size."""
    size = 1 << 20
    pkt = C.pkt_str(0, "map") + C.pkt_str(1, "k") + b"\x15\x00" * ((size - 20) // 2)
    js = b'{"a":[' + b"{}," * ((size - 20) // 3) + b"{}]}"
    xml = b"<Envelope><Body><getVersion>" + b"<a/>" * ((size - 80) // 4) + \
        b"</getVersion></Body></Envelope>"
    return [("/svc/pktm/getVersion", pkt), ("/svc/api/json/getVersion", js), ("/svc/api", xml)]


def case_bombs():
    bodies = bomb_bodies()
    results = []

    def send(i):
        path, body = bodies[i % 3]
        try:
            s = attacker(i, 60)
            s.sendall(b"POST %s HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % (
                path.encode(), len(body)) + body)
            results.append(status_of(read_answer(s)))
            s.close()
        except OSError as e:
            results.append(repr(e))

    with Watch() as w:
        threads = [threading.Thread(target=send, args=(i,)) for i in range(48)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
    w.done("bombs")
    # Each is refused cleanly, and the peak memory of the whole service stays small.
    check(results == [400] * 48, "bomb answers %r" % results)
    peak = proc_status("VmHWM") // 1024
    print("bombs: peak RSS %d MB" % peak)
    # A sanitizer's own bookkeeping multiplies memory; unbounded decoding would still pass 2 GB.
    check(peak < (800 if C.ARGS.sanitized else 200), "peak RSS %d MB under 48 bombs" % peak)


def case_slowloris():
    # Connections that send a head one byte at a time, and idle ones, from many addresses: more
    # than the old limit of 512 in all, none beyond 60 from one address.
    socks = []
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(4096, hard), hard))
    with Watch() as w:
        for i in range(600):
            s = attacker(i)
            s.sendall(b"P")
            socks.append(s)
        start = time.monotonic()
        # Trickle: each connection keeps sending, slower than any per-read time-out would catch.
        closed = 0
        while time.monotonic() - start < 4.5:
            send_each(socks, b"O")
            time.sleep(0.5)
        # The header deadline (2 s here) has ended every one of them.
        for s in socks:
            s.settimeout(0.5)
            try:
                closed += s.recv(10) == b""
            except (ConnectionResetError, BrokenPipeError):
                closed += 1
            except socket.timeout:
                pass
        print("slowloris: %d of %d trickling connections closed by the server" % (closed, len(socks)))
        check(closed == len(socks), "trickling connections still held: %d" % (len(socks) - closed))
    w.done("slowloris")
    for s in socks:
        s.close()
    # Beyond the limit for one address the answer is 503, not a reset.
    extra = [attacker(900) for _ in range(64)]
    s = attacker(900)
    s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    out = read_answer(s)
    check(status_of(out) == 503, "over the per-address limit: %r" % out[:60])
    for x in extra + [s]:
        x.close()
    check(normal_call() < SLOW, "normal call after the per-address limit")


def case_limits():
    # Out of descriptors: the service does not spin, keeps serving the open connection, and
    # accepts again once descriptors are free.
    pid = C.ARGS.pid
    keep = http.client.HTTPConnection(C.HOST, C.PORT, timeout=20)
    C.request("POST", "/svc/api/json/getVersion", b"{}", {}, c=keep)
    old_nofile = resource.prlimit(pid, resource.RLIMIT_NOFILE)
    used = len(os.listdir("/proc/%d/fd" % pid))
    resource.prlimit(pid, resource.RLIMIT_NOFILE, (used + 2, old_nofile[1]))
    waiting = []
    try:
        for i in range(8):
            waiting.append(attacker(i))
        time.sleep(0.3)
        before = cpu_seconds()
        time.sleep(1.0)
        spent = cpu_seconds() - before
        print("emfile: %.2f s of CPU in 1 s" % spent)
        check(spent < 0.3, "the service spins without descriptors: %.2f s CPU in 1 s" % spent)
        st, _, _ = C.request("POST", "/svc/api/json/getVersion", b"{}", {}, c=keep)
        check(st == 200, "the open connection is still served")
    finally:
        resource.prlimit(pid, resource.RLIMIT_NOFILE, old_nofile)
        for s in waiting:
            s.close()
        keep.close()
    check(normal_call() < SLOW, "accepting again")
    # No thread can be made (an address-space limit): connections are still answered. (Not
    # under a sanitizer, whose own allocations need address space at any time.)
    if C.ARGS.sanitized:
        return
    old_as = resource.prlimit(pid, resource.RLIMIT_AS)
    vm = proc_status("VmSize") * 1024
    resource.prlimit(pid, resource.RLIMIT_AS, (vm + (4 << 20), old_as[1]))
    try:
        for _ in range(5):
            check(normal_call() < SLOW, "call under an address-space limit")
    finally:
        resource.prlimit(pid, resource.RLIMIT_AS, old_as)


def case_continue():
    # Every upload on a kept-alive connection gets its "100 Continue" at once.
    u = C.user()
    fid = C.create(C.call_soap, u, "cont.bin")
    s = socket.create_connection((C.HOST, C.PORT), timeout=10)
    for i in range(3):
        s.sendall(("PUT %s HTTP/1.1\r\nHost: x\r\nCookie: valtoken=%s\r\nContent-Length: 5\r\n"
                   "Expect: 100-continue\r\n\r\n" % (C.files_path(u, fid), u["token"])).encode())
        s.settimeout(0.5)
        try:
            got = s.recv(100)
        except socket.timeout:
            got = b""
        check(got.startswith(b"HTTP/1.1 100 Continue"), "upload %d on one connection: %r" % (i, got))
        s.settimeout(10)
        s.sendall(b"hello")
        out = read_answer(s)
        body = out.split(b"\r\n\r\n", 1)[1] if b"\r\n\r\n" in out else b""
        length = int(out.lower().split(b"content-length: ")[1].split(b"\r\n")[0])
        while len(body) < length:
            body += s.recv(100)
        check(status_of(out) == 200, "upload %d: %r" % (i, out[:40]))
    s.close()


def case_drain():
    # A client trickling an upload does not hold the stop: the service ends within its drain
    # time (the test then checks the exit code).
    u = C.user()
    fid = C.create(C.call_soap, u, "slow.bin")
    s = socket.create_connection((C.HOST, C.PORT), timeout=10)
    s.sendall(("PUT %s HTTP/1.1\r\nHost: x\r\nCookie: valtoken=%s\r\nContent-Length: 100000\r\n\r\n"
               % (C.files_path(u, fid), u["token"])).encode())
    C.wait_until(lambda: C.leftovers() != [], "the upload to begin")
    os.kill(C.ARGS.pid, 15)
    start = time.monotonic()
    try:
        while time.monotonic() - start < 20:
            s.send(b"x")
            time.sleep(0.2)
            with open("/proc/%d/stat" % C.ARGS.pid) as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    break
    except (OSError, FileNotFoundError):
        pass
    took = time.monotonic() - start
    print("drain: exited %.1f s after SIGTERM" % took)
    check(took < 10, "SIGTERM took %.1f s with a trickling client" % took)


# ---- Sign-in.

def login(name, pw, src="127.0.0.1"):
    c = http.client.HTTPConnection(C.HOST, C.PORT, timeout=20, source_address=(src, 0))
    body = json.dumps({"username": name, "password": pw}).encode()
    c.request("POST", "/svc/api/json/loginUser", body)
    r = json.loads(c.getresponse().read())
    c.close()
    return r


def case_decoy():
    # Sign-ins for unknown names (each a full password hash) do not hold up other calls.
    u = C.user()
    stop, hashes = [False], []

    def attack(k):
        n = 0
        while not stop[0]:
            t = time.monotonic()
            login("nobody%d-%d" % (k, n), "x", "127.0.%d.%d" % (k + 1, 1 + n // 15 % 250))
            hashes.append(time.monotonic() - t)
            n += 1

    attackers = [threading.Thread(target=attack, args=(k,)) for k in range(2)]
    for t in attackers:
        t.start()
    lat = []
    try:
        time.sleep(0.2)
        for _ in range(40):
            s = time.monotonic()
            st, _, r = C.request("POST", "/svc/api/json/getUser",
                                 json.dumps({"valtoken": u["token"]}).encode(), {})
            lat.append(time.monotonic() - s)
            check(st == 200 and b"user" in r, "getUser during the attack %r" % r)
            time.sleep(0.01)
    finally:
        stop[0] = True
        for t in attackers:
            t.join(30)
    lat.sort()
    hashes.sort()
    median, hash_time = lat[len(lat) // 2], hashes[len(hashes) // 2]
    print("decoy: getUser median %.1f ms while unknown-name sign-ins take %.1f ms" %
          (median * 1000, hash_time * 1000))
    # A call that waited for a hash would take at least as long as one; half leaves room for a
    # busy machine, where both slow down together.
    check(median < hash_time / 2, "getUser waits for the decoy hash: %.1f ms of %.1f ms" %
          (median * 1000, hash_time * 1000))


def case_guessing():
    u = C.user()
    answers = [login(u["user"], "guess%d" % i, "127.0.0.9")["HB-EXCEPTION"]["message"]
               for i in range(12)]
    wrong = sum(a.startswith("Wrong") for a in answers)
    print("guessing: %d of 12 rapid guesses were checked" % wrong)
    check(wrong == 5 and all(a.startswith("Too many") for a in answers[5:]), "throttle %r" % answers)
    # During the wait even the right password is not checked; other accounts and addresses are
    # not affected, and the wait is over after a second.
    check("HB-EXCEPTION" in login(u["user"], "pw", "127.0.0.10"), "right password during the wait")
    other = C.add_user("bob")
    check("valtoken" in login(other["user"], "pw", "127.0.0.10"), "another account")
    time.sleep(1.2)
    check("valtoken" in login(u["user"], "pw", "127.0.0.10"), "after the wait")
    # The web form counts against the same account.
    for i in range(6):
        csrf, cookie, _ = C.signin_form(tls=False)
        form = urllib.parse.urlencode({"client_id": "a", "response_type": "token",
                                       "redirect_uri": "ytoauth://postauth", "username": "bob",
                                       "password": "no%d" % i, "csrf": csrf}).encode()
        st, hdr, page = C.request("POST", "/oauth", form, {
            "Content-Type": "application/x-www-form-urlencoded", "Cookie": cookie})
    check(st == 429 and b"Too many" in page, "form throttled: %d" % st)


def case_signin_form():
    csrf, cookie, hdr = C.signin_form()
    check(hdr.get("x-frame-options") == "DENY" and
          "frame-ancestors 'none'" in hdr.get("content-security-policy", ""), "anti-framing %r" % hdr)
    check("httponly" in hdr["set-cookie"].lower() and "samesite=strict" in hdr["set-cookie"].lower(),
          "cookie %r" % hdr["set-cookie"])
    u = C.user()
    base = {"client_id": "a", "response_type": "token", "redirect_uri": "ytoauth://postauth",
            "username": u["user"], "password": "pw"}
    # A form another site posts carries no matching token: no sign-in.
    for fields, ck in (({}, None), ({"csrf": csrf}, None), ({"csrf": csrf}, "oauth_csrf=" + "0" * 32),
                       ({"csrf": "0" * 32}, cookie)):
        h = {"Content-Type": "application/x-www-form-urlencoded"}
        if ck:
            h["Cookie"] = ck
        st, hdr, _ = C.request("POST", "/oauth", urllib.parse.urlencode(dict(base, **fields)).encode(),
                               h, tls=True)
        check(st == 403 and "location" not in hdr, "forged form %r: %d" % (fields, st))
    # Control bytes in the redirect address never reach a header.
    for bad in ("ytoauth://x\x00y", "ytoauth://x\x0by", "ytoauth://x y"):
        st, hdr, _ = C.request("GET", "/oauth?" + urllib.parse.urlencode(
            {"client_id": "a", "response_type": "token", "redirect_uri": bad}))
        check(st == 400, "redirect %r: %d" % (bad, st))


# ---- Web pages, headers and texts.

def json_call(method, body, origin, extra=None):
    h = {"Content-Type": "text/plain"}
    if origin:
        h["Origin"] = origin
    h.update(extra or {})
    st, hdr, data = C.request("POST", "/svc/api/json/" + method, json.dumps(body).encode(), h)
    return st, hdr, json.loads(data)


def case_origins():
    # Started with --owner alice and --allow-origin http://127.0.0.1:*, and DATA/allowed-origins
    # naming http://localhost:5555.
    u = C.user()
    evil = "http://evil.example"
    for method, body in (("getOwnerAuth", {}), ("getUser", {"valtoken": u["token"]}),
                         ("listServices", {"valtoken": u["token"]})):
        st, hdr, r = json_call(method, body, evil)
        check(st == 403 and "access-control-allow-origin" not in hdr and "HB-EXCEPTION" in r,
              "%s from a foreign page: %d %r" % (method, st, r))
    st, hdr, _ = C.request("OPTIONS", "/svc/api/json/getUser", None,
                           {"Origin": evil, "Access-Control-Request-Method": "POST"})
    check(st == 403 and "access-control-allow-origin" not in hdr, "foreign preflight %d" % st)
    # A foreign page is not a local caller on the other transports either.
    st, _, data = C.request("POST", "/svc/api", C.soap_body("getOwnerAuth", []),
                            {"Content-Type": "text/plain", "Origin": evil})
    check(b"<errorCode>801" in data, "SOAP getOwnerAuth from a foreign page: %r" % data[:200])
    st, _, _ = C.request("GET", "/admin/reset?secret=" + C.ARGS.secret, None, {"Origin": evil})
    check(st == 404, "admin from a foreign page: %d" % st)
    # The program's pages, the service's own origin and the configured ones may call and read,
    # except the sign-in and the owner's token.
    own = "http://127.0.0.1:%d" % C.PORT
    for origin in ("res://tesselutilbrowser.exe", own, "http://127.0.0.1:8123",
                   "http://localhost:5555"):
        st, hdr, r = json_call("getUser", {"valtoken": u["token"]}, origin)
        check(st == 200 and hdr.get("access-control-allow-origin") == origin and "user" in r,
              "getUser from %s: %d %r" % (origin, st, hdr))
        for m in ("getOwnerAuth", "loginUser"):
            st, hdr, r = json_call(m, {"username": "nobody", "password": "x"}, origin)
            check("access-control-allow-origin" not in hdr, "%s readable by %s" % (m, origin))
    for origin in ("http://127.0.0.1.evil.example:80", "http://127.0.0.1:80x", "null",
                   "https://localhost:5555", "http://localhost:55555"):
        st, _, _ = json_call("getUser", {"valtoken": u["token"]}, origin)
        check(st == 403, "origin %s allowed" % origin)


def case_apiurl():
    # Handed-out addresses come from the service's own address and the connection's scheme,
    # never from the Host header.
    u = C.user()
    for tls in (False, True):
        c = C.conn(tls)
        c.request("POST", "/svc/api/json/listServices",
                  json.dumps({"valtoken": u["token"]}).encode(), {"Host": "evil.example:1"})
        r = json.loads(c.getresponse().read())
        c.close()
        url = r["services"][0]["apiurl"]
        want = "%s://127.0.0.1:%d/svc/api" % ("https" if tls else "http", C.PORT)
        check(url == want, "apiurl %r, wanted %r" % (url, want))
        c = C.conn(tls)
        c.request("POST", "/svc/api/json/generateGoURL", json.dumps(
            {"valtoken": u["token"], "path": "/x"}).encode(), {"Host": "evil.example:1"})
        g = json.loads(c.getresponse().read())["gourl"]
        check(g.startswith(want[:-len("/svc/api")]), "gourl %r" % g)


def case_public():
    # Started with --listen [::]:0 --public-url https://drive.example.org:8443 --owner alice.
    # 127.0.0.1 reaches the dual-stack socket as ::ffff:127.0.0.1 and is still loopback.
    tok = C.call_json("getOwnerAuth", [])
    check("valtoken" in tok, "owner token over a dual-stack socket: %r" % tok)
    st, _, _ = C.request("GET", "/admin/reset?secret=" + C.ARGS.secret)
    check(st == 200, "admin over a dual-stack socket: %d" % st)
    u = C.user()
    for tls, scheme in ((False, "http"), (True, "https")):
        c = C.conn(tls)
        c.request("POST", "/svc/api/json/listServices", json.dumps({"valtoken": u["token"]}).encode())
        url = json.loads(c.getresponse().read())["services"][0]["apiurl"]
        c.close()
        check(url == scheme + "://drive.example.org:8443/svc/api", "public apiurl %r" % url)


def case_content():
    u = C.user()
    page = b"<html><script>alert(document.cookie)</script></html>"
    for mime, inline in (("text/html", False), ("image/svg+xml", False), ("image/jpeg", True),
                         ("text/plain", True), ("application/xhtml+xml", False), ("a b/c", True)):
        fid = C.create(C.call_soap, u, "f-%s" % mime.replace("/", "_").replace(" ", "_"),
                       extra=[("mimetype", mime)])
        check(C.put(u, fid, page) == 200, "upload %s" % mime)
        st, hdr, body = C.request("GET", C.files_path(u, fid), None,
                                  {"Cookie": "valtoken=" + u["token"]})
        check(st == 200 and body == page, "download %s" % mime)
        check(hdr.get("x-content-type-options") == "nosniff" and
              "sandbox" in hdr.get("content-security-policy", ""), "%s headers %r" % (mime, hdr))
        check(("attachment" in hdr.get("content-disposition", "")) != inline,
              "%s disposition %r" % (mime, hdr.get("content-disposition")))
        if mime == "a b/c":
            check(hdr["content-type"] == "application/octet-stream", "bad type served %r" % hdr)
    # Control bytes never get into a stored property that would become a header.
    r = C.call_pkt("createFile", C.drive_args(u) + [("filename", "ctl.bin"),
                                                     ("mimetype", "text/plain\x0bX")])
    C.expect_fault(r, 400, "control byte in mimetype")


def case_texts():
    # Names and properties that are not valid UTF-8 or carry control characters are refused on
    # every transport; what is stored always lists cleanly over SOAP.
    u = C.user()
    args = C.drive_args(u)
    st, _, data = C.request("POST", "/svc/pktm/createFile", C.pkt_request(args) +
                            C.pkt_str(7, "filename") + C.pkt_str(8, b"bad\xff\xfename"),
                            {"Content-Type": "application/octet-stream"})
    v = C.pkt_value(C.pkt_parse(data))
    check(v.get("errorCode") == "400", "packet name with bad UTF-8: %r" % v)
    body = json.dumps(dict(args, filename="x")).replace('"x"', '"lone\\ud800"')
    st, _, data = C.request("POST", "/svc/api/json/createFile", body.encode(), {})
    check(b"HB-EXCEPTION" in data and b"400" in data, "JSON lone surrogate: %r" % data)
    body = C.soap_body("createFile", args + [("filename", "nul")]).replace(b">nul<", b">n&#0;ul<")
    st, _, data = C.request("POST", "/svc/api", body, {"Content-Type": "text/xml"})
    check(st in (400, 500) and b"VXError" in data, "SOAP &#0; name: %d %r" % (st, data[-200:]))
    r = C.call_pkt("createFile", args + [("filename", "ok"), ("note", "a\x01b")])
    C.expect_fault(r, 400, "control character in a property")
    C.create(C.call_soap, u, "caf\u00e9 \U0001f600", extra=[("note", "tab\there")])
    files = C.as_list(C.call_soap("listFiles", args + [("parentid", "0")])["files"])
    names = [f["name"] for f in files]
    check("caf\u00e9 \U0001f600" in names and not [
        n for n in names if n in ("ok", "n", "nul") or "bad" in n or "lone" in n], "listing %r" % names)


def case_quota():
    # Started with --quota 10000000. Twelve uploads of 2 MB start together; only those that fit
    # are taken, the others are refused at once, and tmp/ never holds more than the drive.
    u = C.user()
    ids = [C.create(C.call_soap, u, "q%d.bin" % i) for i in range(12)]
    answers, peak, socks = [None] * 12, [0], []
    data = os.urandom(100000)
    for i, fid in enumerate(ids):
        s = socket.create_connection((C.HOST, C.PORT), timeout=20)
        s.sendall(("PUT %s HTTP/1.1\r\nHost: x\r\nCookie: valtoken=%s\r\n%s\r\n" % (
            C.files_path(u, fid), u["token"],
            "Transfer-Encoding: chunked\r\n" if i % 2 else "Content-Length: 2000000\r\n")).encode())
        socks.append(s)

    def upload(i):
        # Like a real client: stop sending once an answer came.
        s = socks[i]
        try:
            for _ in range(20):
                if select.select([s], [], [], 0)[0]:
                    break
                s.sendall(b"%x\r\n%s\r\n" % (len(data), data) if i % 2 else data)
                time.sleep(0.01)
            else:
                if i % 2:
                    s.sendall(b"0\r\n\r\n")
        except OSError:
            pass
        answers[i] = status_of(read_answer(s))
        s.close()

    threads = [threading.Thread(target=upload, args=(i,)) for i in range(12)]
    for t in threads:
        t.start()
    while any(t.is_alive() for t in threads):
        tmp = 0
        for n in C.leftovers():
            try:
                tmp += os.path.getsize(os.path.join(C.ARGS.data, "tmp", n))
            except OSError:
                pass
        peak[0] = max(peak[0], tmp)
        time.sleep(0.01)
    print("quota: answers %r, at most %d bytes in tmp/" % (answers, peak[0]))
    # At most four fit; which ones depends on who starts first.
    check(1 <= answers.count(200) <= 4 and answers.count(200) + answers.count(507) == 12,
          "answers %r" % answers)
    check(peak[0] <= 10000000, "tmp/ held %d bytes" % peak[0])
    # Folders and properties take space too: they cannot grow without bound.
    big = [("p%d" % k, "v" * 4000) for k in range(64)]
    made = 0
    for i in range(20):
        r = C.call_soap("createFile", C.drive_args(u) + [("filename", "dir%d" % i), ("type", "1")] + big)
        if "fault" in r:
            check(r["fault"] == 507, "folder over the quota: %r" % r)
            break
        made += 1
    check(0 < made < 20, "folders with properties made: %d" % made)
    s = C.as_list(C.call_soap("listServices", [("valtoken", u["token"])])["services"])[0]
    free, total = map(int, s["space"].split("/"))
    check(free < 300000, "space after the folders %r" % s["space"])


def case_tokens():
    # Started with --token-lifetime 3.
    u = C.user()
    tok = login(u["user"], "pw")["valtoken"]
    for _ in range(5):
        check("user" in C.call_json("getUser", [("valtoken", tok)]), "a token in use stays valid")
        time.sleep(1)
    time.sleep(3.5)
    C.expect_fault(C.call_json("getUser", [("valtoken", tok)]), 606, "an unused token expires")
    C.expect_fault(C.call_json("getUser", [("valtoken", u["token"])]), 606, "adduser's token too")
    fresh = login(u["user"], "pw")["valtoken"]
    # Only digests are stored, and expired sessions are gone.
    raw = b""
    for name in ("meta.db", "meta.db-wal"):
        p = os.path.join(C.ARGS.data, name)
        if os.path.exists(p):
            with open(p, "rb") as f:
                raw += f.read()
    check(fresh.encode() not in raw and tok.encode() not in raw, "a token in clear in the database")
    db = sqlite3.connect("file:%s?mode=ro" % os.path.join(C.ARGS.data, "meta.db"), uri=True)
    rows = db.execute("SELECT COUNT(*) FROM sessions").fetchone()[0]
    db.close()
    check(rows == 1, "sessions kept: %d" % rows)
    # A page that only shows thumbnails keeps its session in use, and one left alone expires.
    v = dict(u, token=fresh)
    fid = C.create(C.call_soap, v, "kept.jpg", extra=[("mimetype", "image/jpeg")])
    check(C.put(v, fid, b"\xff\xd8thumbnail", "tn") == 200, "thumbnail upload")
    web = login(u["user"], "pw")["valtoken"]
    s = socket.create_connection((C.HOST, C.PORT), timeout=20)
    get = ("GET /web/file/%s/%s/tn HTTP/1.1\r\nHost: x\r\nCookie: tesselweb=%s\r\n\r\n" % (
        u["serviceids"][0], fid, web)).encode()
    for i in range(10):
        s.sendall(get)
        st, _, body = C.read_answers(s, ["GET"])[0]
        check(st == 200 and body == b"\xff\xd8thumbnail", "thumbnail %d of a session in use: %d"
              % (i, st))
        time.sleep(0.5)
    time.sleep(3.5)
    s.sendall(get)
    check(C.read_answers(s, ["GET"])[0][0] == 401, "the thumbnail of an expired session")
    s.close()


CASES = {
    "bombs": case_bombs, "slowloris": case_slowloris, "limits": case_limits,
    "continue": case_continue, "drain": case_drain, "decoy": case_decoy,
    "guessing": case_guessing, "signin_form": case_signin_form, "origins": case_origins,
    "apiurl": case_apiurl, "public": case_public, "content": case_content, "texts": case_texts,
    "quota": case_quota, "tokens": case_tokens,
}


if __name__ == "__main__":
    C.CASES.clear()
    C.CASES.update(CASES)
    C.main()
