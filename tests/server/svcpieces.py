#!/usr/bin/python3
"""Uploads in pieces against tesselsvc: the announcement, pieces with a cut one, hostile pieces,
what went over the wire, pending uploads across a restart, the sweep of old ones and the switch
that makes the service an old one. Same arguments as svcclient.py (whose helpers it uses); the
first case leaves state in DATA/pieces-state.json for the second, run after a restart. The user
has a quota of 1 000 000 bytes."""

import http.client
import json
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import svcclient as C  # noqa: E402
from svcclient import check, fail  # noqa: E402


def blob(seed, n):
    return random.Random(seed).randbytes(n)


def piece(u, fid, rng, body=b"", length=None, chunked=False, token=None):
    """One PUT with Content-Range: (status, headers)."""
    c = C.conn()
    headers = {"Cookie": "valtoken=" + (token or u["token"]), "Content-Range": rng}
    if chunked:
        c.request("PUT", C.files_path(u, fid), body=iter([body]), headers=headers,
                  encode_chunked=True)
    else:
        headers["Content-Length"] = str(len(body) if length is None else length)
        c.request("PUT", C.files_path(u, fid), body=body, headers=headers)
    r = c.getresponse()
    r.read()
    c.close()
    return r.status, dict((k.lower(), v) for k, v in r.getheaders())


def send(u, fid, data, first, last):
    return piece(u, fid, "bytes %d-%d/%d" % (first, last, len(data)), data[first:last + 1])


def held(u, fid, total):
    st, h = piece(u, fid, "bytes */%d" % total)
    check(st == 202, "question answered %d" % st)
    check(h.get("x-upload-total") == str(total), "question's total %r" % h)
    return int(h["x-upload-offset"])


def offsets(answer):
    st, h = answer
    return st, int(h.get("x-upload-offset", -1)), int(h.get("x-upload-total", -1))


def received():
    st, _, data = C.request("GET", "/admin/received?secret=" + C.ARGS.secret)
    check(st == 200, "received: %d" % st)
    return json.loads(data)["bytes"]


def pending_files():
    out = []
    for root, _, names in os.walk(os.path.join(C.ARGS.data, "pending")):
        out += [os.path.join(root, n) for n in names]
    return out


def state_path():
    return os.path.join(C.ARGS.data, "pieces-state.json")


def case_pieces():
    u = C.user()
    check(C.call_json("getVersion", []).get("resumable") == "1", "no announcement")
    C.admin("reset")
    fid = C.create(C.call_soap, u, "pieces.bin")
    check(C.put(u, fid, b"old") == 200, "plain upload")
    sent = 3
    data = blob(1, 350000)
    check(offsets(send(u, fid, data, 0, 99999)) == (202, 100000, 350000), "first piece")
    sent += 100000
    # The second piece is cut 50 000 bytes in: what arrived is kept.
    C.admin("upload", mode="cut", after=50000, across=1)
    try:
        send(u, fid, data, 100000, 199999)
        fail("a cut piece was answered")
    except (http.client.HTTPException, ConnectionError, OSError):
        pass
    sent += 50000
    check(held(u, fid, 350000) == 150000, "bytes held after the cut")
    check(held(u, fid, 999) == 0, "a question of another total")
    check(C.get(u, fid) == (200, b"old"), "a pending upload is not visible")

    # Hostile pieces: each refused, nothing held lost, and none of their bodies read.
    bob = C.add_user("bob")
    for what, answer, want in [
        ("overlapping", send(u, fid, data, 100000, 199999), (409, 150000, 350000)),
        ("out of order", send(u, fid, data, 200000, 299999), (409, 150000, 350000)),
        ("a total that changes", piece(u, fid, "bytes 150000-150009/400000", b"x" * 10),
         (409, 150000, 350000)),
        ("a piece beyond the total", piece(u, fid, "bytes 340000-360000/350000", b"x" * 20001),
         (400, -1, -1)),
        ("a length that is not the range's", piece(u, fid, "bytes 150000-150019/350000", b"y" * 10),
         (400, -1, -1)),
        ("last before first", piece(u, fid, "bytes 5-3/350000", b""), (400, -1, -1)),
        ("garbage", piece(u, fid, "bytes abc", b"z"), (400, -1, -1)),
        ("a total above the limit", piece(u, fid, "bytes 0-0/2000000000000", b"z"), (400, -1, -1)),
        ("a question with a body", piece(u, fid, "bytes */350000", b"z"), (400, -1, -1)),
        ("chunked", piece(u, fid, "bytes 150000-150009/350000", b"x" * 10, chunked=True),
         (411, -1, -1)),
    ]:
        check(offsets(answer) == want, "%s: %r, wanted %r" % (what, offsets(answer), want))
    st, _ = piece(u, fid, "bytes 150000-150009/350000", b"x" * 10, token=bob["token"])
    check(st == 404, "a piece on another user's file: %d" % st)
    check(held(u, fid, 350000) == 150000, "hostile pieces lost what was held")
    check(received() == sent, "received %d, sent %d" % (received(), sent))

    # The client goes on from the offset; the last piece publishes the whole stream.
    check(offsets(send(u, fid, data, 150000, 299999)) == (202, 300000, 350000), "third piece")
    check(C.get(u, fid) == (200, b"old"), "visible before the last piece")
    st, off, _ = offsets(send(u, fid, data, 300000, 349999))
    check((st, off) == (200, 350000), "last piece: %d %d" % (st, off))
    check(C.get(u, fid) == (200, data), "content in pieces differs")
    sent += 200000
    check(received() == sent, "received %d, sent %d" % (received(), sent))
    check(held(u, fid, 350000) == 0, "a published upload still pending")
    r = C.call_soap("getFile", C.drive_args(u) + [("fileid", fid)])
    check(r["file"]["size"] == "350000", "size %r" % r["file"]["size"])

    # Left for the restart: 200 000 of 600 000 held, which count against the drive's space. A
    # first piece starts over: what an earlier pending upload of the key held goes.
    big = C.create(C.call_soap, u, "restart.bin")
    other = C.create(C.call_soap, u, "other.bin")
    check(offsets(send(u, big, blob(9, 600000), 0, 99999)) == (202, 100000, 600000), "begun")
    check(offsets(send(u, big, blob(2, 600000), 0, 199999)) == (202, 200000, 600000), "started over")
    check(C.put(u, other, b"o" * 400000) == 507, "pending bytes do not count")
    with open(state_path(), "w") as f:
        json.dump({"pieces": fid, "big": big, "other": other}, f)


def case_pieces_restarted():
    u = C.user()
    with open(state_path()) as f:
        s = json.load(f)
    big, other = s["big"], s["other"]
    data = blob(2, 600000)
    check(held(u, big, 600000) == 200000, "held after the restart")
    check(C.put(u, other, b"o" * 400000) == 507, "pending bytes do not count after a restart")
    check(offsets(send(u, big, data, 200000, 599999))[:2] == (200, 600000), "continued")
    check(C.get(u, big) == (200, data), "content continued after a restart")
    C.call_soap("removeFile", C.drive_args(u) + [("fileid", big)])
    C.call_soap("removeFile", C.drive_args(u) + [("fileid", s["pieces"])])

    # A piece for a file removed meanwhile: 404, and its pending upload is gone.
    gone = C.create(C.call_soap, u, "gone.bin")
    check(offsets(send(u, gone, blob(3, 5000), 0, 999)) == (202, 1000, 5000), "gone: first")
    C.call_soap("removeFile", C.drive_args(u) + [("fileid", gone)])
    check(send(u, gone, blob(3, 5000), 1000, 1999)[0] == 404, "a piece of a removed file")
    check(pending_files() == [], "pending upload of a removed file: %r" % pending_files())

    # An old pending upload is swept and its space given back.
    exp = C.create(C.call_soap, u, "expire.bin")
    check(offsets(send(u, exp, blob(4, 600000), 0, 99999)) == (202, 100000, 600000), "expire: first")
    check(C.put(u, other, b"o" * 500000) == 507, "held before the sweep")
    C.admin("pending", maxage=1)
    deadline = time.monotonic() + 60
    while held(u, exp, 600000) != 0:
        check(time.monotonic() < deadline, "the old pending upload was not swept")
        time.sleep(0.1)
    check(pending_files() == [], "swept pending upload left %r" % pending_files())
    check(C.put(u, other, b"o" * 500000) == 200, "space of the swept upload")

    # As an old service: no announcement, pieces refused.
    C.admin("pieces", enabled=0)
    check("resumable" not in C.call_json("getVersion", []), "announced while switched off")
    check(send(u, exp, blob(4, 600000), 0, 99)[0] == 501, "a piece taken while switched off")
    check(piece(u, exp, "bytes */600000")[0] == 501, "a question taken while switched off")
    check(C.put(u, exp, b"plain") == 200, "plain upload while switched off")
    C.admin("pieces", enabled=1)
    check(C.call_json("getVersion", []).get("resumable") == "1", "announced again")


CASES = {"pieces": case_pieces, "pieces_restarted": case_pieces_restarted}


if __name__ == "__main__":
    C.CASES.clear()
    C.CASES.update(CASES)
    C.main()
