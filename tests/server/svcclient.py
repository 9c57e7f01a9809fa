#!/usr/bin/python3
"""An independent client of tesselsvc for its tests: SOAP, packet messages and the pages' JSON
calls, uploads and downloads, the web sign-in, TLS and fault injection, written with the Python
standard library only. Usage: svcclient.py CASE --url URL --secret S --data DIR --bin TESSELSVC
--user JSON [--pid PID]. Exits 0 when every check of CASE holds."""

import argparse
import errno
import hashlib
import http.client
import json
import re
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ET

ARGS = None
HOST = "127.0.0.1"
PORT = 0


def fail(msg):
    print("FAIL: " + msg, file=sys.stderr)
    sys.exit(1)


def check(cond, msg):
    if not cond:
        fail(msg)


def conn(tls=False):
    if tls:
        ctx = ssl.create_default_context(cafile=os.path.join(ARGS.data, "tls.crt"))
        return http.client.HTTPSConnection(HOST, PORT, context=ctx, timeout=20)
    return http.client.HTTPConnection(HOST, PORT, timeout=20)


def request(method, path, body=None, headers=None, tls=False, c=None):
    own = c is None
    c = c or conn(tls)
    c.request(method, path, body=body, headers=headers or {})
    r = c.getresponse()
    data = r.read()
    if own:
        c.close()
    return r.status, dict((k.lower(), v) for k, v in r.getheaders()), data


def xml_escape(s):
    return s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


# ---- SOAP, as the program sends it: typed text arguments in a SOAP 1.1 envelope.

def soap_body(method, args):
    parts = ['<?xml version="1.0" encoding="UTF-8" ?><soapenv:Envelope '
             'xmlns:soapenv="http://schemas.xmlsoap.org/soap/envelope/" '
             'xmlns:xsd="http://www.w3.org/2001/XMLSchema" '
             'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"><soapenv:Body><',
             method, ' soapenv:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">']
    for k, v in args:
        parts.append('<%s xsi:type="xsd:string">%s</%s>' % (k, xml_escape(v), k))
    parts.append("</%s></soapenv:Body></soapenv:Envelope>" % method)
    return "".join(parts).encode()


def local(tag):
    return tag.split("}")[-1]


def xml_value(el):
    children = list(el)
    if not children:
        return el.text or ""
    names = [local(c.tag) for c in children]
    # Repeated children, or the known list wrappers, are lists.
    if local(el.tag) in ("services", "albums", "files") or len(set(names)) < len(names):
        return [xml_value(c) for c in children]
    return dict((local(c.tag), xml_value(c)) for c in children)


def call_soap(method, args, tls=False):
    st, hdr, data = request("POST", "/svc/api", soap_body(method, args),
                            {"SoapAction": method, "Content-Type": 'text/xml; charset="utf-8"'}, tls)
    check(st in (200, 500), "%s: SOAP status %d" % (method, st))
    root = ET.fromstring(data)
    body = [c for c in root if local(c.tag) == "Body"][0]
    answer = list(body)[0]
    if local(answer.tag) == "VXError":
        check(st == 500, "fault answered with status %d" % st)
        f = xml_value(answer)
        return {"fault": int(f["errorCode"]), "description": f.get("errorDescription", "")}
    check(st == 200, "%s: success answered with %d" % (method, st))
    check(local(answer.tag) == method + "Response", "answer element " + answer.tag)
    return dict((local(c.tag), xml_value(c)) for c in answer)


# ---- Packet messages.

def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def pkt_str(field, s):
    b = s.encode() if isinstance(s, str) else s
    return varint(field * 8 + 4) + varint(len(b)) + b


def pkt_request(args):
    out = pkt_str(0, "map")
    for i, (k, v) in enumerate(args):
        out += pkt_str(2 * i + 1, k) + pkt_str(2 * i + 2, v)
    return out


def read_varint(b, i):
    v = shift = 0
    while True:
        c = b[i]
        i += 1
        v |= (c & 0x7F) << shift
        shift += 7
        if not c & 0x80:
            return v, i


def pkt_parse(b):
    recs = []
    i = 0
    while i < len(b):
        key, i = read_varint(b, i)
        field, typ = key >> 3, key & 7
        if typ in (0, 1):
            v, i = read_varint(b, i)
            if typ == 1:
                v = (v >> 1) ^ -(v & 1)
        elif typ in (2, 3):
            v = b[i:i + 8]
            i += 8
        elif typ in (4, 5):
            n, i = read_varint(b, i)
            v = b[i:i + n]
            i += n
            v = pkt_parse(v) if typ == 5 else v.decode()
        else:
            raise ValueError("type %d" % typ)
        recs.append((field, typ, v))
    return recs


def pkt_value(recs):
    first = {}
    for f, t, v in recs:
        first.setdefault(f, (t, v))
    kind = first[0][1]
    conv = lambda tv: tv[1] if tv[0] == 4 else pkt_value(tv[1])
    if kind == "map":
        out = {}
        f = 1
        while f in first:
            out[first[f][1]] = conv(first[f + 1])
            f += 2
        return out
    check(kind == "iter", "unknown kind " + kind)
    out = []
    f = 1
    while f in first:
        out.append(conv(first[f]))
        f += 1
    return out


def call_pkt(method, args, prefix="/svc/pktm/"):
    st, hdr, data = request("POST", prefix + method, pkt_request(args),
                            {"Content-Type": "application/octet-stream"})
    check(st in (200, 500), "%s: packet status %d" % (method, st))
    v = pkt_value(pkt_parse(data))
    if "errorCode" in v:
        check(st == 500, "fault with status %d" % st)
        return {"fault": int(v["errorCode"]), "description": v.get("errorDescription", "")}
    return v


# ---- The pages' JSON calls: a bare envelope, a JSON answer.

def call_json(method, args, tls=False, prefix="/svc/api/json/"):
    body = "<soapenv:Envelope><soapenv:Body><%s>" % method
    body += "".join("<%s>%s</%s>" % (k, xml_escape(v), k) for k, v in args)
    body += "</%s></soapenv:Body></soapenv:Envelope>" % method
    st, hdr, data = request("POST", prefix + method, body.encode(),
                            {"Content-Type": "text/plain"}, tls)
    check("access-control-allow-origin" not in hdr, "CORS header without an Origin")
    v = json.loads(data)
    if "HB-EXCEPTION" in v:
        return {"fault": int(v["HB-EXCEPTION"]["ecode"]), "description": v["HB-EXCEPTION"]["message"]}
    check(st == 200, "json status %d" % st)
    return v


CALLS = {"soap": call_soap, "pktm": call_pkt, "json": call_json}


def user():
    return json.loads(ARGS.user)


def admin(cmd, **params):
    params["secret"] = ARGS.secret
    st, _, data = request("GET", "/admin/%s?%s" % (cmd, urllib.parse.urlencode(params)))
    check(st == 200, "admin %s: %d %s" % (cmd, st, data))


def add_user(name, *extra):
    db = ["--db", ARGS.db] if ARGS.db else []
    out = subprocess.run([ARGS.bin, "adduser", "--data", ARGS.data] + db + [name, "pw"] + list(extra),
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def drive_args(u, sid=None):
    return [("valtoken", u["token"]), ("deviceid", u["deviceid"]),
            ("serviceid", sid or u["serviceids"][0])]


def as_list(v):
    if v in ("", None):
        return []
    return v if isinstance(v, list) else [v]


def expect_fault(r, code, what):
    check(isinstance(r, dict) and r.get("fault") == code, "%s: wanted fault %d, got %r" % (what, code, r))


def create(call, u, name, parent="0", extra=()):
    r = call("createFile", drive_args(u) + [("parentid", parent), ("filename", name)] + list(extra))
    check("file" in r, "createFile %s: %r" % (name, r))
    return r["file"]["fileid"]


def files_path(u, fid, stream=None):
    p = "/svc/files/%s/%s/%s" % (u["deviceid"], u["serviceids"][0], fid)
    return p + ("/" + stream if stream else "")


def put(u, fid, data, stream=None, chunked=False, tls=False, auth="cookie"):
    c = conn(tls)
    headers = {}
    if auth == "cookie":
        headers["Cookie"] = "valtoken=" + u["token"]
    elif auth == "header":
        headers["X-VXVALTOKEN"] = u["token"]
    path = files_path(u, fid, stream)
    if auth == "path":
        path = "/svc/files/%s/%s/%s/%s" % (u["token"], u["deviceid"], u["serviceids"][0], fid)
    if chunked:
        pieces = [data[i:i + 7000] for i in range(0, len(data), 7000)]
        c.request("PUT", path, body=iter(pieces), headers=headers, encode_chunked=True)
    else:
        c.request("PUT", path, body=data, headers=headers)
    r = c.getresponse()
    r.read()
    c.close()
    return r.status


def get(u, fid, stream=None, tls=False):
    st, hdr, data = request("GET", files_path(u, fid, stream), None,
                            {"Cookie": "valtoken=" + u["token"]}, tls)
    return st, data


# ---- Cases.

def case_methods(kind):
    call = CALLS[kind]
    u = user()
    r = call("getVersion", [])
    check(r.get("version"), "getVersion: %r" % r)
    r = call("getUser", [("valtoken", u["token"])])
    check(r["user"]["name"] == u["user"] and r["user"]["id"] and r["user"]["email"], "getUser %r" % r)
    r = call("generateGoURL", [("valtoken", u["token"]), ("path", "/photos")])
    # A one-time code that signs a browser in, never the token itself.
    check(re.match(r"^http://[^/]+/svc/go\?code=[0-9a-f]{32}$", r["gourl"]) and
          u["token"] not in r["gourl"], "gourl %r" % r)
    svcs = as_list(call("listServices", [("valtoken", u["token"])])["services"])
    check(len(svcs) == 1, "services %r" % svcs)
    s = svcs[0]
    for k in ("type", "apiurl", "name", "version", "space", "serviceid", "deviceid", "online",
              "readonly"):
        check(k in s, "service field %s missing" % k)
    check(s["type"].startswith("yto:plugfs") and s["apiurl"].endswith("/svc/api"), "service %r" % s)
    # Scripts test the flags for truth; the program reads "1" and "0".
    check((s["online"], s["readonly"]) == ((True, False) if kind == "json" else ("1", "0")),
          "flags %r" % s)
    check(s["serviceid"] == u["serviceids"][0] and s["deviceid"] == u["deviceid"], "ids %r" % s)
    free, total = s["space"].split("/")
    check(0 <= int(total) - int(free) < 65536 and int(total) > 0, "space %r" % s["space"])
    r = call("listAlbums", [("shared", "1"), ("valtoken", u["token"])])
    check("albums" in r and as_list(r["albums"]) == [], "albums %r" % r)
    r = call("getService", drive_args(u))
    check(r["service"]["serviceid"] == u["serviceids"][0], "getService %r" % r)
    expect_fault(call("getService", [("valtoken", u["token"]), ("deviceid", u["deviceid"]),
                                     ("serviceid", "svcnothere")]), 803, "unknown service")
    expect_fault(call("getOwnerAuth", []), 801, "getOwnerAuth without owner")

    root = call("getFile", drive_args(u) + [("fileid", "0")])["file"]
    check(root["fileid"] == "0" and root["type"] == "1" and root["name"] == ".", "root %r" % root)
    top = "Photos " + kind
    folder = call("createFile", drive_args(u) + [("parentid", "0"), ("filename", top),
                                                 ("type", "1"), ("ctime", "1500000000000")])
    fid = folder["file"]["fileid"]
    check(folder["file"]["type"] == "1", "folder %r" % folder)
    expect_fault(call("createFile", drive_args(u) + [("parentid", "0"), ("filename", top),
                                                     ("type", "1")]), 808, "existing folder")
    props = [("origin", "box"), ("type", "0"), ("size", "11"), ("ctime", "1600000000000"),
             ("mtime", "1600000000123"), ("mimetype", "image/jpeg"),
             ("EXIF-Make", "Cam & <Co>"), ("origtime", "1600000000000"),
             ("comment", 'NULL, "quoted" {a\\b} \u00e9'), ("empty", "")]
    name = "  a b.jpg"
    r = call("createFile", drive_args(u) + [("parentid", fid), ("filename", name)] + props)
    file_id = r["file"]["fileid"]
    for how in ([("fileid", file_id)], [("parentid", fid), ("filename", name)],
                [("parentid", "0"), ("filename", top + "/" + name)]):
        f = call("getFile", drive_args(u) + how)["file"]
        check(f["fileid"] == file_id and f["name"] == name and f["type"] == "0", "getFile %r" % f)
        check(f["mtime"] == "1600000000123" and f["size"] == "11", "times and size %r" % f)
        check(f["EXIF-Make"] == "Cam & <Co>" and f["origin"] == "box" and
              f["mimetype"] == "image/jpeg" and f["origtime"] == "1600000000000" and
              f["comment"] == 'NULL, "quoted" {a\\b} \u00e9' and f.get("empty") == "",
              "props %r" % f)
    # A file never replaces one of the same name: it goes up beside it under the next free name.
    dup = call("createFile", drive_args(u) + [("parentid", fid), ("filename", name)])["file"]
    check(dup["name"] == "  a b (2).jpg" and dup["fileid"] != file_id, "same name %r" % dup)
    call("removeFile", drive_args(u) + [("fileid", dup["fileid"])])
    expect_fault(call("getFile", drive_args(u) + [("fileid", "999999")]), 804, "missing file")
    expect_fault(call("getFile", drive_args(u) + [("parentid", fid), ("filename", "nope")]), 804,
                 "missing name")
    r = call("listFiles", drive_args(u) + [("parentid", fid), ("maxcount", "500"), ("pageoffset", "0")])
    check(r["count"] == "1" and [x["name"] for x in as_list(r["files"])] == [name], "list %r" % r)
    check(call("removeFile", drive_args(u) + [("fileid", file_id)]).get("fault") is None, "remove")
    expect_fault(call("getFile", drive_args(u) + [("fileid", file_id)]), 804, "removed file")
    expect_fault(call("removeFile", drive_args(u) + [("fileid", file_id)]), 804, "removed twice")
    r = call("listFiles", drive_args(u) + [("parentid", fid), ("maxcount", "500"), ("pageoffset", "0")])
    check(r["count"] == "0" and as_list(r["files"]) == [], "empty list %r" % r)
    # Not authorized: missing, unknown and malformed tokens.
    for tok in ([], [("valtoken", "0" * 32)], [("valtoken", "x")]):
        expect_fault(call("listServices", tok), 606, "token %r" % tok)
    bad = [("valtoken", "f" * 32), ("deviceid", u["deviceid"]), ("serviceid", u["serviceids"][0])]
    expect_fault(call("getFile", bad + [("fileid", "0")]), 606, "bad token on a drive call")
    expect_fault(call("noSuchMethod", [("valtoken", u["token"])]), 404, "unknown method")


def case_names():
    u = user()
    call = call_soap
    folder = create(call, u, "Names", extra=[("type", "1")])

    def named(name):
        r = call("createFile", drive_args(u) + [("parentid", folder), ("filename", name),
                                                ("type", "0")])
        check("file" in r, "createFile %r: %r" % (name, r))
        return r["file"]["name"]

    got = [named("IMG_0001.JPG") for _ in range(4)]
    check(got == ["IMG_0001.JPG", "IMG_0001 (2).JPG", "IMG_0001 (3).JPG", "IMG_0001 (4).JPG"],
          "numbered %r" % got)
    # A freed number is used again; names that only look numbered do not count.
    gone = call("getFile", drive_args(u) + [("parentid", folder), ("filename", "IMG_0001 (3).JPG")])
    call("removeFile", drive_args(u) + [("fileid", gone["file"]["fileid"])])
    named("IMG_0001 (x).JPG")
    named("IMG_0001 (07).JPG")
    check(named("IMG_0001.JPG") == "IMG_0001 (3).JPG", "gap reused")
    check(named("IMG_0001.JPG") == "IMG_0001 (5).JPG", "after the last")
    check([named("README"), named("README")] == ["README", "README (2)"], "no extension")
    check([named(".hidden"), named(".hidden")] == [".hidden", ".hidden (2)"], "leading dot")
    check([named("a.b.c"), named("a.b.c")] == ["a.b.c", "a.b (2).c"], "last dot")
    # At the name limit the stem gives way, never half a character.
    long = "\u00e9" * 125 + "x.jpg"
    check(len(named(long).encode()) == 255, "long name")
    again = named(long)
    check(again == "\u00e9" * 123 + " (2).jpg", "long name numbered %r" % again)
    # A file and a folder share the namespace; folders are never renamed.
    check(named("Sub") == "Sub", "file Sub")
    expect_fault(call("createFile", drive_args(u) + [("parentid", folder), ("filename", "Sub"),
                                                     ("type", "1")]), 808, "folder on a file's name")
    r = call("createFile", drive_args(u) + [("parentid", folder), ("filename", "Dir"), ("type", "1")])
    expect_fault(call("createFile", drive_args(u) + [("parentid", folder), ("filename", "Dir"),
                                                     ("type", "1")]), 808, "existing folder")
    check(named("Dir") == "Dir (2)", "file beside a folder")
    r = call("listFiles", drive_args(u) + [("parentid", folder), ("maxcount", "1000"),
                                           ("pageoffset", "0")])
    names = [x["name"] for x in as_list(r["files"])]
    check(len(names) == len(set(names)) == 18, "one entry per name %r" % names)

    # The drive's reported firmware version is settable per drive, and restored with "".
    def version():
        return as_list(call("listServices", [("valtoken", u["token"])])["services"])[0]["version"]
    check(version() == "4.0.0.0", "default version")
    admin("version", serviceid=u["serviceids"][0], version="3.1.0.0")
    check(version() == "3.1.0.0" and
          call("getService", drive_args(u))["service"]["version"] == "3.1.0.0", "old firmware")
    check(call_json("getVersion", [])["version"] == "4.0.0.0", "the service's own version")
    st, _, _ = request("GET", "/admin/version?" + urllib.parse.urlencode(
        {"secret": ARGS.secret, "serviceid": u["serviceids"][0], "version": "<x>"}))
    check(st == 400, "bad version text")
    admin("version", serviceid=u["serviceids"][0], version="")
    check(version() == "4.0.0.0", "version restored")


def case_paging():
    u = user()
    call = call_soap
    folder = create(call, u, "many", extra=[("type", "1")])
    names = ["f%02d" % i for i in range(12)]
    for n in names:
        create(call, u, n, parent=folder)
    seen = []
    for page, want in ((0, 5), (1, 5), (2, 2), (3, 0)):
        for c in (call_soap, call_pkt, call_json):
            r = c("listFiles", drive_args(u) + [("parentid", folder), ("maxcount", "5"),
                                                ("pageoffset", str(page))])
            check(r["count"] == str(want), "page %d count %r" % (page, r["count"]))
            got = [x["name"] for x in as_list(r["files"])]
            check(len(got) == want, "page %d has %r" % (page, got))
        seen += got
    check(seen == names, "pages together %r" % seen)


def case_faults():
    u = user()
    fid = create(call_soap, u, "x.bin")
    # Refuse the next two calls with 804, then answer again.
    admin("fail", count=2, code=804)
    expect_fault(call_soap("getVersion", []), 804, "injected 1")
    expect_fault(call_json("getUser", [("valtoken", u["token"])]), 804, "injected 2")
    check("version" in call_pkt("getVersion", []), "after injection")
    admin("fail", count=1, code=802, method="listFiles")
    check("user" in call_soap("getUser", [("valtoken", u["token"])]), "other method unaffected")
    expect_fault(call_soap("listFiles", drive_args(u)), 802, "injected on listFiles")
    # A drive switched offline answers 802 to drive calls and 503 to content.
    admin("offline", serviceid=u["serviceids"][0])
    for c in (call_soap, call_pkt, call_json):
        expect_fault(c("getFile", drive_args(u) + [("fileid", "0")]), 802, "offline getFile")
        expect_fault(c("createFile", drive_args(u) + [("filename", "y")]), 802, "offline create")
    s = as_list(call_soap("listServices", [("valtoken", u["token"])])["services"])[0]
    check(s["online"] == "0", "listed as offline %r" % s)
    check(put(u, fid, b"abc") == 503, "offline upload")
    admin("online", serviceid=u["serviceids"][0])
    check(put(u, fid, b"abc") == 200, "upload once online")
    # A revoked token is refused everywhere.
    admin("revoke", token=u["token"])
    for c in (call_soap, call_pkt, call_json):
        expect_fault(c("getUser", [("valtoken", u["token"])]), 606, "revoked token")
    check(get(u, fid)[0] == 401, "revoked token on content")
    # The admin endpoint wants its secret.
    st, _, _ = request("GET", "/admin/fail?count=5&code=606&secret=" + "0" * 32)
    check(st == 403, "admin with a wrong secret: %d" % st)
    st, _, _ = request("GET", "/admin/fail?count=5&code=606")
    check(st == 403, "admin without a secret: %d" % st)
    check("version" in call_soap("getVersion", []), "refused admin command had no effect")


def case_uploads():
    u = user()
    data = os.urandom(300000)
    fid = create(call_soap, u, "p.jpg", extra=[("mimetype", "image/jpeg")])
    check(get(u, fid)[0] == 404, "no content before upload")
    check(put(u, fid, data) == 200, "Content-Length upload")
    st, got = get(u, fid)
    check(st == 200 and got == data, "download equals upload")
    f = call_soap("getFile", drive_args(u) + [("fileid", fid)])["file"]
    check(f["size"] == str(len(data)), "size after upload %r" % f["size"])
    check(put(u, fid, data[:1000], stream="tn", auth="header") == 200, "tn stream")
    check(put(u, fid, data[:2000], stream="pv", chunked=True) == 200, "pv stream chunked")
    check(get(u, fid, "tn") == (200, data[:1000]) and get(u, fid, "pv") == (200, data[:2000]),
          "streams kept beside the original")
    check(get(u, fid)[1] == data, "original untouched by streams")
    # Chunked replacement of the main content, and the token-in-path form.
    other = os.urandom(123457)
    check(put(u, fid, other, chunked=True) == 200, "chunked upload")
    check(get(u, fid)[1] == other, "chunked content")
    check(put(u, fid, b"xyz", auth="path") == 200, "token in the path")
    check(get(u, fid)[1] == b"xyz", "token-path content")
    check(put(u, fid, b"", auth="cookie") == 200 and get(u, fid) == (200, b""), "empty upload")
    check(put(u, fid, b"abc", auth="none") == 401, "upload without a token")
    check(put(u, fid, b"abc", stream="zz") == 404, "unknown stream")
    # Space reported as what is left.
    s = as_list(call_soap("listServices", [("valtoken", u["token"])])["services"])[0]
    free, total = map(int, s["space"].split("/"))
    # The streams, and the file's name and properties.
    check(3000 < total - free < 3000 + 1024, "space used %r" % s["space"])
    # Removing the file frees its space and its content.
    call_soap("removeFile", drive_args(u) + [("fileid", fid)])
    check(get(u, fid)[0] == 404, "content of a removed file")
    s = as_list(call_soap("listServices", [("valtoken", u["token"])])["services"])[0]
    check(s["space"].split("/")[0] == s["space"].split("/")[1], "space after removal %r" % s["space"])
    check(leftovers() == [], "temporary files left: %r" % leftovers())


def leftovers():
    return [n for n in os.listdir(os.path.join(ARGS.data, "tmp"))]


def case_quota():
    u = user()  # made with --quota 100000
    fid = create(call_soap, u, "big.bin")
    # Refused before the body is read: the client may even keep the body.
    c = conn()
    c.putrequest("PUT", files_path(u, fid))
    c.putheader("Cookie", "valtoken=" + u["token"])
    c.putheader("Content-Length", "100001")
    c.putheader("Expect", "100-continue")
    c.endheaders()
    r = c.getresponse()
    check(r.status == 507, "quota refusal: %d" % r.status)
    c.close()
    check(put(u, fid, os.urandom(100001)) == 507, "quota refusal with the body sent")
    check(put(u, fid, os.urandom(100001), chunked=True) == 507, "quota refusal of a chunked body")
    check(get(u, fid)[0] == 404, "nothing stored after refusal")
    check(put(u, fid, os.urandom(60000)) == 200, "fits")
    fid2 = create(call_soap, u, "second.bin")
    check(put(u, fid2, os.urandom(50000)) == 507, "second file does not fit")
    check(put(u, fid, os.urandom(90000)) == 200, "replacing counts the old size as free")
    s = as_list(call_soap("listServices", [("valtoken", u["token"])])["services"])[0]
    free, total = map(int, s["space"].split("/"))
    check(total == 100000 and 10000 - 1024 < free < 10000, "space %r" % s["space"])
    check(leftovers() == [], "temporary files left: %r" % leftovers())


def fill(path):
    """Writes `path` until its file system is full."""
    with open(path, "wb", buffering=0) as f:
        for block in (65536, 4096):
            try:
                while f.write(b"\0" * block) == block:
                    pass
            except OSError as e:
                check(e.errno in (errno.ENOSPC, errno.EDQUOT), "filling the disk: %r" % e)


def case_diskfull():
    """The data folder alone on a small file system (mounted at its parent), filled up: every
    store that cannot be written is a failure that leaves nothing half-done."""
    u = user()
    args = drive_args(u)
    keep = create(call_soap, u, "kept.jpg")
    body = os.urandom(50000)
    check(put(u, keep, body) == 200, "upload before the disk fills")
    folder = call_soap("createFile", args + [("filename", "Photos"), ("type", "1")])["file"]["fileid"]
    filler = os.path.join(os.path.dirname(ARGS.data), "filler")
    fill(filler)
    kept = lambda what: check(get(u, keep) == (200, body), "content kept: " + what)
    # Content that cannot be written: 507, no temporary file left, the old content kept.
    check(put(u, keep, os.urandom(200000)) == 507, "PUT on a full disk")
    check(put(u, keep, os.urandom(200000), chunked=True) == 507, "chunked PUT on a full disk")
    check(leftovers() == [], "temporary files left: %r" % leftovers())
    kept("refused uploads")
    # Records that cannot be written are faults on every transport, never a file 0.
    for i in range(20):
        r = call_soap("createFile", args + [("parentid", folder), ("filename", "p%d.jpg" % i)])
        if "fault" in r:
            break
        check(r["file"]["fileid"] not in ("", "0"), "createFile answered %r" % r)
    expect_fault(r, 507, "createFile on a full disk")
    expect_fault(call_json("createFile", args + [("filename", "j.jpg")]), 507, "createFile (JSON)")
    expect_fault(call_pkt("createFile", args + [("filename", "k.jpg"), ("type", "1")]), 507,
                 "a folder (packet)")
    expect_fault(call_soap("moveFile", args + [("fileid", keep), ("filename", "moved.jpg")]), 507,
                 "moveFile on a full disk")
    # A removal that cannot be stored keeps the file and its content; the root is never removed.
    expect_fault(call_soap("removeFile", args + [("fileid", keep)]), 507, "removeFile on a full disk")
    kept("refused removal")
    for root in ("0", "00"):
        expect_fault(call_soap("removeFile", args + [("fileid", root)]), 400, "removing the root")
    # Room for the body but not for its record: the replaced content comes back.
    os.truncate(filler, os.path.getsize(filler) - 65536)
    check(put(u, keep, os.urandom(61440)) == 507, "PUT whose record cannot be stored")
    check(leftovers() == [], "temporary files left: %r" % leftovers())
    kept("an upload whose record failed")
    f = call_soap("getFile", args + [("fileid", keep)])["file"]
    check(f["name"] == "kept.jpg" and f["size"] == str(len(body)), "record kept %r" % f)
    # Space again: everything works, and nothing of the failures shows.
    os.unlink(filler)
    names = [x["name"] for x in as_list(call_soap("listFiles", args + [("parentid", folder)])["files"])]
    check(all(n.startswith("p") for n in names), "files of the folder %r" % names)
    fid = create(call_soap, u, "after.jpg", folder)
    check(fid != "0" and put(u, fid, body) == 200 and get(u, fid) == (200, body), "upload after")
    check(put(u, keep, b"new") == 200 and get(u, keep) == (200, b"new"), "replacing after")
    check("fileid" in call_soap("removeFile", args + [("fileid", keep)]), "removeFile after")
    check(get(u, keep)[0] == 404, "content of the removed file")


def raw(data, read=True, tls=False):
    s = socket.create_connection((HOST, PORT), timeout=10)
    if tls:
        s = ssl._create_unverified_context().wrap_socket(s)
    s.sendall(data)
    out = b""
    if read:
        try:
            while True:
                b = s.recv(65536)
                if not b:
                    break
                out += b
        except (ConnectionResetError, socket.timeout):
            pass
    s.close()
    return out


def wait_until(pred, what):
    for _ in range(200):
        if pred():
            return
        time.sleep(0.02)
    fail("timed out waiting for " + what)


def case_cut():
    u = user()
    fid = create(call_soap, u, "cut.bin")
    check(put(u, fid, b"old content") == 200, "first upload")
    # The client goes away half-way.
    head = ("PUT %s HTTP/1.1\r\nHost: x\r\nCookie: valtoken=%s\r\nContent-Length: 200000\r\n\r\n"
            % (files_path(u, fid), u["token"])).encode()
    s = socket.create_connection((HOST, PORT), timeout=10)
    s.sendall(head + os.urandom(100000))
    wait_until(lambda: leftovers() != [], "the upload to begin")
    s.close()
    wait_until(lambda: leftovers() == [], "the cut upload's temporary file to go")
    check(get(u, fid) == (200, b"old content"), "a cut upload leaves the old content")
    # The server cuts the connection half-way.
    admin("upload", mode="cut", after=50000)
    try:
        st = put(u, fid, os.urandom(100000))
        fail("cut upload answered %d" % st)
    except (http.client.HTTPException, ConnectionError, OSError):
        pass
    wait_until(lambda: leftovers() == [], "temporary file of the server-cut upload")
    check(get(u, fid) == (200, b"old content"), "server-cut upload left nothing")
    # A stalled upload finishes once the stall ends.
    admin("upload", mode="stall", after=1000, ms=300)
    data = os.urandom(5000)
    check(put(u, fid, data) == 200, "stalled upload")
    check(get(u, fid) == (200, data), "stalled upload content")
    # A fresh file cut before any content stays without content.
    fid2 = create(call_soap, u, "never.bin")
    admin("upload", mode="cut", after=10)
    try:
        put(u, fid2, os.urandom(1000), chunked=True)
    except (http.client.HTTPException, ConnectionError, OSError):
        pass
    check(get(u, fid2)[0] == 404, "no content for a cut first upload")


def case_concurrent():
    u = user()
    ids = [create(call_soap, u, "c%d.bin" % i) for i in range(16)]
    blobs = [os.urandom(50000 + i * 977) for i in range(16)]
    results = [None] * 16

    def worker(i):
        try:
            results[i] = put(u, ids[i], blobs[i], chunked=(i % 2 == 1))
        except Exception as e:  # reported below
            results[i] = repr(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    check(results == [200] * 16, "concurrent uploads %r" % results)
    for i in range(16):
        check(get(u, ids[i]) == (200, blobs[i]), "content of upload %d" % i)


def signin_form(tls=True):
    """The sign-in form as a browser gets it: its anti-forgery field and cookie."""
    st, hdr, page = request("GET", "/oauth?client_id=abc123&response_type=token&"
                                   "redirect_uri=ytoauth://postauth", tls=tls)
    check(st == 200 and b"<form" in page and b"password" in page, "login form")
    csrf = re.search(rb'name="csrf" value="([0-9a-f]{32})"', page).group(1).decode()
    cookie = hdr["set-cookie"].split(";")[0]
    check(cookie == "oauth_csrf=" + csrf, "form cookie %r" % hdr["set-cookie"])
    return csrf, cookie, hdr


def case_signin():
    csrf, cookie, _ = signin_form()
    form = lambda name, pw, redirect="ytoauth://postauth": urllib.parse.urlencode(
        {"client_id": "abc123", "response_type": "token", "redirect_uri": redirect,
         "username": name, "password": pw, "csrf": csrf}).encode()
    hdrs = {"Content-Type": "application/x-www-form-urlencoded", "Cookie": cookie}
    st, hdr, page = request("POST", "/oauth", form(user()["user"], "wrong"), hdrs, tls=True)
    check(st == 200 and b"<form" in page and b"error" in page, "wrong password shows the form")
    check("location" not in hdr, "no redirect for a wrong password")
    st, hdr, page = request("POST", "/oauth", form("nobody", "pw"), hdrs, tls=True)
    check(st == 200 and "location" not in hdr, "unknown user")
    st, hdr, page = request("POST", "/oauth", form(user()["user"], "pw"), hdrs, tls=True)
    check(st == 302, "sign-in status %d" % st)
    loc = hdr["location"]
    prefix = "ytoauth://postauth#access_token="
    check(loc.startswith(prefix) and loc.endswith("&token_type=bearer"), "redirect %r" % loc)
    token = loc[len(prefix):-len("&token_type=bearer")]
    check(len(token) == 32 and token != user()["token"], "token %r" % token)
    check(call_json("getUser", [("valtoken", token)], tls=True)["user"]["name"] == user()["user"],
          "the new token works")
    st, hdr, page = request("POST", "/oauth", form(user()["user"], "pw", "https://evil.example/"),
                            hdrs, tls=True)
    check(st == 400 and "location" not in hdr, "token never goes to a web address")
    # The same sign-in works on plain HTTP too (same port).
    st, hdr, _ = request("POST", "/oauth", form(user()["user"], "pw"), hdrs)
    check(st == 302, "plain sign-in")
    # The service's loginUser call hands out a token as well.
    r = call_json("loginUser", [("username", user()["user"]), ("password", "pw")], tls=True)
    check(len(r["valtoken"]) == 32, "loginUser %r" % r)
    expect_fault(call_json("loginUser", [("username", user()["user"]), ("password", "x")]), 606,
                 "loginUser with a wrong password")


def case_tls():
    u = user()
    check("version" in call_json("getVersion", [], tls=True), "JSON over TLS")
    check("user" in call_soap("getUser", [("valtoken", u["token"])], tls=True), "SOAP over TLS")
    fid = create(call_soap, u, "t.bin")
    data = os.urandom(70000)
    check(put(u, fid, data, tls=True, chunked=True) == 200, "upload over TLS")
    check(get(u, fid, tls=True) == (200, data), "download over TLS")
    # Keep-alive over both kinds of connection.
    for tls in (False, True):
        c = conn(tls)
        for _ in range(3):
            st, _, body = request("POST", "/svc/api/json/getVersion", b"{}", {}, c=c)
            check(st == 200 and b"version" in body, "keep-alive call")
        c.close()
    # A broken handshake does not take the server down.
    raw(b"\x16\x03\x01\x00\x05hello", read=True)
    check("version" in call_soap("getVersion", []), "alive after a broken handshake")


def case_badinput():
    u = user()
    other = add_user("mallory")
    fid = create(call_soap, u, "mine.bin")
    check(put(u, fid, b"secret") == 200, "upload")
    # Another user's file and drive stay out of reach.
    o = drive_args(other)
    expect_fault(call_soap("getFile", o + [("fileid", fid)]), 804, "other user's file id")
    expect_fault(call_soap("removeFile", o + [("fileid", fid)]), 804, "remove other user's file")
    expect_fault(call_soap("getFile", [("valtoken", other["token"]), ("deviceid", u["deviceid"]),
                                       ("serviceid", u["serviceids"][0]), ("fileid", fid)]), 803,
                 "other user's drive")
    st, _, _ = request("GET", files_path(u, fid), None, {"Cookie": "valtoken=" + other["token"]})
    check(st == 404, "other user's content: %d" % st)
    st, _, _ = request("GET", "/svc/files/%s/%s/%s/%s" % (other["token"], other["deviceid"],
                                                          other["serviceids"][0], fid))
    check(st == 404, "other user's file id on own drive: %d" % st)
    check(get(u, fid) == (200, b"secret"), "content intact")
    # Path tricks.
    ck = {"Cookie": "valtoken=" + u["token"]}
    for p in ("/svc/files/../meta.db", "/svc/files/%s/%s/..%%2F..%%2Fmeta.db" % (u["deviceid"], u["serviceids"][0]),
              "/svc/files/%s/%s/%s%%2Fpv" % (u["deviceid"], u["serviceids"][0], fid),
              "/svc/files/%s/..%%2F%s/%s" % (u["deviceid"], u["serviceids"][0], fid),
              "/svc/files/%s/%s/%%2E%%2E" % (u["deviceid"], u["serviceids"][0]),
              "/svc/files/%s/%s/%s/..%%2f..%%2fmeta.db" % (u["deviceid"], u["serviceids"][0], fid),
              "/svc/files/%s/%s/-1" % (u["deviceid"], u["serviceids"][0]),
              "/svc/files/%s/%s/0" % (u["deviceid"], u["serviceids"][0])):
        st, _, body = request("GET", p, None, ck)
        check(st in (400, 404), "path trick %s: %d" % (p, st))
        check(b"SQLite" not in body, "database leaked")
    for name in ("..", ".", "a/b", "", "x\x01y", "n" * 256):
        expect_fault(call_soap("createFile", drive_args(u) + [("filename", name)]), 400,
                     "name %r" % name)
    expect_fault(call_soap("createFile", drive_args(u) + [("parentid", fid), ("filename", "x")]),
                 805, "a file as parent")
    expect_fault(call_soap("createFile", drive_args(u) + [("parentid", "../0"), ("filename", "x")]),
                 804, "bad parent id")
    expect_fault(call_soap("removeFile", drive_args(u) + [("fileid", "0")]), 400, "remove root")
    # Malformed bodies of each transport.
    for body in (b"not xml", b"<a><b></a>", b"<Envelope><Nobody/></Envelope>",
                 b'<?xml version="1.0"?><!DOCTYPE x [<!ENTITY a "aaaa"><!ENTITY b "&a;&a;&a;">]>'
                 b"<Envelope><Body><getVersion>&b;</getVersion></Body></Envelope>"):
        st, _, data = request("POST", "/svc/api", body, {"Content-Type": "text/xml"})
        check(st in (200, 400) and (st == 200 or b"VXError" in data), "bad SOAP %r: %d" % (body, st))
    for body in (b"{", b"[1,2]", b'{"valtoken":', b"<x>"):
        st, _, data = request("POST", "/svc/api/json/getUser", body, {})
        check(st == 400 and b"HB-EXCEPTION" in data, "bad JSON %r: %d" % (body, st))
    for body in (b"\x04\x03it", b"\x04\x04iter", b"\xff\xff\xff", b"\x07", b"\x04\x03map\x0c\x05",
                 b"\x04\x03map\x0c\x01a", b"\x2c" + b"\x80" * 11, pkt_str(0, "map") + b"\x2d\x01\x2d"):
        st, _, data = request("POST", "/svc/pktm/getUser", body, {})
        check(st == 400 and pkt_value(pkt_parse(data))["errorCode"] == "400",
              "bad packet %r: %d" % (body, st))
    # Deep nesting of packet messages is refused, not followed.
    nested = pkt_str(0, "map")
    for _ in range(40):
        nested = varint(2 * 8 + 5) + varint(len(nested)) + nested
    st, _, _ = request("POST", "/svc/pktm/getUser", pkt_str(0, "map") + pkt_str(1, "k") + nested, {})
    check(st == 400, "deep packet nesting: %d" % st)
    # Framing faults.
    out = raw(b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 20000 + b"\r\n\r\n")
    check(out.startswith(b"HTTP/1.1 431"), "oversized header: %r" % out[:40])
    out = raw(b"POST /svc/api HTTP/1.1\r\nHost: x\r\nContent-Length: 2000000\r\n\r\n" + b"<" * 2000000)
    check(out.startswith(b"HTTP/1.1 413"), "oversized body: %r" % out[:40])
    out = raw(b"POST /svc/api HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n")
    check(out.startswith(b"HTTP/1.1 400"), "bad chunk: %r" % out[:40])
    out = raw(b"POST /svc/api HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n"
              b"Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n")
    check(out.startswith(b"HTTP/1.1 400"), "both framings: %r" % out[:40])
    out = raw(b"POST /svc/api HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n")
    check(out.startswith(b"HTTP/1.1 400"), "negative length: %r" % out[:40])
    out = raw(b"GARBAGE\r\n\r\n")
    check(out.startswith(b"HTTP/1.1 400"), "bad request line: %r" % out[:40])
    out = raw(b"\x00\x01\x02\x03\r\n\r\n")
    check(out.startswith(b"HTTP/1.1 400"), "binary request: %r" % out[:40])
    # Two requests in one write are both answered, in order.
    out = raw(b"GET / HTTP/1.1\r\nHost: x\r\n\r\nGET /nothere HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    check(out.count(b"HTTP/1.1 ") == 2 and b"404" in out.split(b"HTTP/1.1 ")[2][:4], "pipelined")
    check("version" in call_soap("getVersion", []), "still serving")
    check(get(u, fid) == (200, b"secret"), "still intact")


def case_cors():
    page = "res://tesselutilbrowser.exe"
    st, hdr, _ = request("OPTIONS", "/svc/api/json/getUser", None,
                         {"Origin": page, "Access-Control-Request-Method": "POST"})
    check(st == 204, "preflight %d" % st)
    check(hdr.get("access-control-allow-origin") == page and "POST" in hdr.get(
        "access-control-allow-methods", ""), "preflight headers %r" % hdr)
    # A JSON object body is accepted as well as the envelope.
    r = json.loads(request("POST", "/svc/api/json/getUser",
                           json.dumps({"valtoken": user()["token"]}).encode(), {})[2])
    check(r["user"]["name"] == user()["user"], "JSON object body %r" % r)


def case_pktm_drive():
    # A drive made with the packet transport hands out a /pktm/ address that serves calls,
    # while its content still lives under /svc/files.
    u = user()
    s = as_list(call_soap("listServices", [("valtoken", u["token"])])["services"])[0]
    check(s["apiurl"].endswith("/svc/api/pktm/"), "apiurl %r" % s["apiurl"])
    path = urllib.parse.urlparse(s["apiurl"]).path
    r = call_pkt("createFile", drive_args(u) + [("filename", "p.bin")], prefix=path)
    fid = r["file"]["fileid"]
    check(put(u, fid, b"data") == 200 and get(u, fid) == (200, b"data"), "content")
    r = call_pkt("listServices", [("valtoken", u["token"])], prefix=path)
    check(isinstance(r["services"], list) and len(r["services"]) == 1, "iter of one %r" % r)
    # The pages append "json/" to a drive's address.
    r = call_json("getFile", drive_args(u) + [("fileid", fid)], prefix=path + "json/")
    check(r["file"]["name"] == "p.bin", "pages' call on a packet address %r" % r)


def case_sigterm():
    u = user()
    fid = create(call_soap, u, "late.bin")
    admin("upload", mode="stall", after=1000, ms=1500)
    data = os.urandom(20000)
    result = []
    t = threading.Thread(target=lambda: result.append(put(u, fid, data)))
    t.start()
    # The upload's temporary file shows that the request is being answered.
    wait_until(lambda: leftovers() != [], "the upload to begin")
    os.kill(ARGS.pid, signal.SIGTERM)
    t.join(20)
    check(result == [200], "upload in flight at SIGTERM: %r" % result)


def case_owner():
    # Started with --owner alice: callers on this machine get a token without signing in.
    for c in (call_soap, call_pkt, call_json):
        tok = c("getOwnerAuth", [])["valtoken"]
        check(len(tok) == 32 and tok != user()["token"], "owner token %r" % tok)
        check(c("getUser", [("valtoken", tok)])["user"]["name"] == user()["user"], "owner user")


def read_answers(s, heads):
    """The answers on socket `s` to requests sent with the methods `heads` (in order): status,
    header fields (lower-case names), body."""
    buf, out = b"", []
    for method in heads:
        while b"\r\n\r\n" not in buf:
            b = s.recv(65536)
            check(b, "connection closed after %d answers" % len(out))
            buf += b
        head, buf = buf.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        hdr = dict((k.strip().lower(), v.strip()) for k, v in
                   (line.split(":", 1) for line in lines[1:]))
        n = 0 if method == "HEAD" else int(hdr["content-length"])
        while len(buf) < n:
            b = s.recv(65536)
            check(b, "connection closed inside an answer")
            buf += b
        out.append((int(lines[0].split(" ")[1]), hdr, buf[:n]))
        buf = buf[n:]
    return out


def case_web_content():
    """The pages' content over kept-alive connections: many requests sent at once, answered in
    order, small ones by the loop and large ones or calls by workers, with every rule intact."""
    u = user()
    tok = call_json("loginUser", [("username", u["user"]), ("password", "pw")])["valtoken"]
    sid = u["serviceids"][0]
    fid = create(call_soap, u, "p.jpg", extra=[("mimetype", "image/jpeg")])
    orig, tn, pv = os.urandom(300000), os.urandom(12000), os.urandom(70000)
    for data, stream in ((orig, None), (tn, "tn"), (pv, "pv")):
        check(put(u, fid, data, stream) == 200, "upload %s" % stream)
    bob = add_user("bob")
    bob_fid = create(call_soap, bob, "b.jpg", extra=[("mimetype", "image/jpeg")])
    check(put(bob, bob_fid, b"bob's", "tn") == 200, "bob's thumbnail")
    f = "/web/file/%s/%s/" % (sid, fid)
    reqs = [  # method, path, extra header, status, body
        ("GET", f + "tn", "", 200, tn),
        ("GET", f + "tn", "Range: bytes=100-199\r\n", 206, tn[100:200]),
        ("HEAD", f + "tn", "", 200, b""),
        ("GET", f + "orig", "", 200, orig),
        ("GET", f + "orig", "Range: bytes=-10\r\n", 206, orig[-10:]),
        ("GET", f + "tn", "Range: bytes=99999-\r\n", 416, b""),
        ("GET", f + "pv?dl=1", "", 200, pv),
        ("GET", "/web/file/%s/%s/tn" % (bob["serviceids"][0], bob_fid), "", 404, None),
        ("GET", "/web/file/%s/%s/tn" % (sid, bob_fid), "", 404, None),
        ("GET", f + "st", "", 404, None),
        ("GET", "/web/file/%s/x/tn" % sid, "", 404, None),
        ("GET", "/web/static/mark.svg", "", 200, None),
        ("POST", "/svc/api/json/getVersion", "Content-Length: 2\r\n", 200, None),
    ] * 3
    wire = b"".join(("%s %s HTTP/1.1\r\nHost: x\r\nCookie: tesselweb=%s\r\n%s\r\n%s" % (
        m, p, tok, h, "{}" if m == "POST" else "")).encode() for m, p, h, _, _ in reqs)
    for tls in (False, True):
        s = socket.create_connection((HOST, PORT), timeout=20)
        if tls:
            s = ssl._create_unverified_context().wrap_socket(s)
        s.sendall(wire)
        got = read_answers(s, [r[0] for r in reqs])
        for (m, p, h, st, body), (gst, hdr, gbody) in zip(reqs, got):
            what = "%s %s %s (tls %s)" % (m, p, h.strip(), tls)
            check(gst == st, "%s: status %d" % (what, gst))
            check(hdr.get("connection") == "keep-alive", "%s: %r" % (what, hdr))
            check(body is None or gbody == body, "%s: %d bytes" % (what, len(gbody)))
            if p.startswith("/web/file/") and st in (200, 206):
                check(hdr["content-type"] == "image/jpeg" and hdr["accept-ranges"] == "bytes" and
                      hdr["x-content-type-options"] == "nosniff" and
                      hdr["content-security-policy"] == "default-src 'none'; sandbox" and
                      hdr["cache-control"] == "private, max-age=3600", "%s: %r" % (what, hdr))
                check(("attachment" in hdr.get("content-disposition", "")) == ("dl=1" in p),
                      "%s: %r" % (what, hdr))
            if st == 206:
                check(hdr["content-range"] == "bytes %d-%d/%d" % (
                    (100, 199, 12000) if "100" in h else (299990, 299999, 300000)), what)
            if st == 416:
                check(hdr["content-range"] == "bytes */12000", what)
            if m == "HEAD":
                check(hdr["content-length"] == "12000", "%s: %r" % (what, hdr))
        # Signing out ends the session at once, also for a connection kept alive with it.
        if not tls:
            csrf = hashlib.sha256(("tesselweb-csrf:" + tok).encode()).hexdigest()[:32]
            st, _, _ = request("POST", "/web/signout", ("csrf=" + csrf).encode(),
                               {"Cookie": "tesselweb=" + tok,
                                "Content-Type": "application/x-www-form-urlencoded"})
            check(st == 303, "sign-out: %d" % st)
            s.sendall(("GET %stn HTTP/1.1\r\nHost: x\r\nCookie: tesselweb=%s\r\n\r\n"
                       % (f, tok)).encode())
            check(read_answers(s, ["GET"])[0][0] == 401, "a thumbnail after the sign-out")
            tok = call_json("loginUser", [("username", u["user"]), ("password", "pw")])["valtoken"]
            wire = wire.replace(wire[wire.index(b"tesselweb=") + 10:][:32], tok.encode())
        s.close()
    # Without a session nothing is served, well formed or not; Connection: close is honoured.
    s = socket.create_connection((HOST, PORT), timeout=20)
    s.sendall(("GET %stn HTTP/1.1\r\nHost: x\r\n\r\nGET /web/file/a/b/c HTTP/1.1\r\n"
               "Host: x\r\nConnection: close\r\n\r\n" % f).encode())
    got = read_answers(s, ["GET", "GET"])
    check([g[0] for g in got] == [401, 401] and got[1][1]["connection"] == "close", "%r" % got)
    check(s.recv(10) == b"", "closed after Connection: close")
    s.close()


def case_ranges_moves():
    u = user()
    data = os.urandom(100000)
    fid = create(call_soap, u, "v.mp4", extra=[("mimetype", "video/mp4")])
    check(put(u, fid, data) == 200, "upload")
    cookie = {"Cookie": "valtoken=" + u["token"]}

    def ranged(rng, method="GET"):
        return request(method, files_path(u, fid), None, dict(cookie, Range=rng))
    # One range: the bytes asked for, with their place in the whole; a reused connection stays
    # in step after a partial body.
    c = conn()
    for rng, lo, hi in (("bytes=0-99", 0, 99), ("bytes=99990-", 99990, 99999),
                        ("bytes=-10", 99990, 99999), ("bytes=50000-200000", 50000, 99999),
                        ("bytes = 7-7", 7, 7), ("bytes=-200000", 0, 99999)):
        st, hdr, got = request("GET", files_path(u, fid), None, dict(cookie, Range=rng), c=c)
        check(st == 206 and got == data[lo:hi + 1], "%s: %d, %d bytes" % (rng, st, len(got)))
        check(hdr["content-range"] == "bytes %d-%d/100000" % (lo, hi), "%s: %r" % (rng, hdr))
    c.close()
    st, hdr, got = ranged("bytes=10-19", "HEAD")
    check(st == 206 and got == b"" and hdr["content-length"] == "10", "HEAD of a range %r" % hdr)
    # Beyond the end: 416 with the size; the connection goes on.
    for rng in ("bytes=100000-", "bytes=-0", "bytes=200000-300000"):
        st, hdr, _ = ranged(rng)
        check(st == 416 and hdr["content-range"] == "bytes */100000", "%s: %d %r" % (rng, st, hdr))
    # Anything else is the whole body, and plain answers say ranges are taken.
    for rng in ("bytes=0-1,5-6", "items=0-5", "bytes=9-3", "bytes=x-", "bytes="):
        st, hdr, got = ranged(rng)
        check(st == 200 and got == data, "%s: %d" % (rng, st))
    st, hdr, got = request("GET", files_path(u, fid), None, cookie)
    check(st == 200 and hdr.get("accept-ranges") == "bytes" and got == data, "plain GET")

    # moveFile: a rename in place, a move into a folder, and what it refuses.
    args = drive_args(u)
    a = create(call_soap, u, "A", extra=[("type", "1")])
    b = create(call_soap, u, "B", parent=a, extra=[("type", "1")])
    other = create(call_soap, u, "other.txt")
    r = call_soap("moveFile", args + [("fileid", fid), ("filename", "w.mp4")])
    check(r["file"]["name"] == "w.mp4" and r["file"]["parentid"] == "0", "rename %r" % r)
    r = call_json("moveFile", args + [("fileid", fid), ("parentid", b)])
    check(r["file"]["name"] == "w.mp4" and r["file"]["parentid"] == b, "move %r" % r)
    check(get(u, fid) == (200, data), "content follows the move")
    got = as_list(call_soap("listFiles", args + [("parentid", b)])["files"])
    check([f["name"] for f in got] == ["w.mp4"], "listing after the move %r" % got)
    r = call_soap("moveFile", args + [("fileid", fid), ("parentid", "0"), ("filename", "other.txt")])
    expect_fault(r, 808, "a taken name")
    expect_fault(call_soap("moveFile", args + [("fileid", a), ("parentid", b)]), 400, "into itself")
    expect_fault(call_soap("moveFile", args + [("fileid", a), ("parentid", a)]), 400, "into itself")
    expect_fault(call_soap("moveFile", args + [("fileid", "0"), ("parentid", b)]), 400, "the root")
    expect_fault(call_soap("moveFile", args + [("fileid", "999999")]), 804, "no such file")
    expect_fault(call_soap("moveFile", args + [("fileid", fid), ("parentid", other)]), 805,
                 "into a file")
    for bad in ("..", "a/b", "x" * 256, "tab\there"):
        expect_fault(call_soap("moveFile", args + [("fileid", fid), ("filename", bad)]), 400, bad)
    check(call_soap("getFile", args + [("fileid", fid)])["file"]["parentid"] == b, "unchanged")
    r = call_soap("moveFile", args + [("fileid", b), ("parentid", "0")])
    check(r["file"]["parentid"] == "0", "a folder with its files %r" % r)
    check(call_soap("getFile", args + [("parentid", "0"), ("filename", "B/w.mp4")])["file"]
          ["fileid"] == fid, "path below the moved folder")


CASES = {
    "ranges_moves": case_ranges_moves,
    "owner": case_owner,
    "methods_soap": lambda: case_methods("soap"),
    "methods_pktm": lambda: case_methods("pktm"),
    "methods_json": lambda: case_methods("json"),
    "paging": case_paging,
    "names": case_names,
    "faults": case_faults,
    "uploads": case_uploads,
    "quota": case_quota,
    "diskfull": case_diskfull,
    "cut": case_cut,
    "concurrent": case_concurrent,
    "signin": case_signin,
    "tls": case_tls,
    "badinput": case_badinput,
    "cors": case_cors,
    "pktm_drive": case_pktm_drive,
    "sigterm": case_sigterm,
    "web_content": case_web_content,
}


def main():
    global ARGS, HOST, PORT
    p = argparse.ArgumentParser()
    p.add_argument("case", choices=sorted(CASES))
    p.add_argument("--url", required=True)
    p.add_argument("--secret", required=True)
    p.add_argument("--data", required=True)
    p.add_argument("--bin", required=True)
    p.add_argument("--user", required=True)
    p.add_argument("--pid", type=int, default=0)
    p.add_argument("--db", default="", help="the PostgreSQL database the service keeps its records in")
    p.add_argument("--sanitized", action="store_true", help="the service runs under sanitizers")
    ARGS = p.parse_args()
    u = urllib.parse.urlparse(ARGS.url)
    HOST, PORT = u.hostname, u.port
    CASES[ARGS.case]()
    print("OK " + ARGS.case)


if __name__ == "__main__":
    main()
