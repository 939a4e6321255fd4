#!/usr/bin/env python3
"""Writes the seed corpora: valid replies for every reader, connection
strings, and rows for the conversion target. Run from anywhere; rewrites
fuzz/corpus/<target>/seed-*."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

READERS = ["noquery", "procedure", "single", "statement", "cursor", "prepare", "simple", "lob", "login"]


def i32(v):
    return struct.pack(">i", v)


def i64(v):
    return struct.pack(">q", v)


def text(s):
    b = s.encode() if isinstance(s, str) else s
    return i32(len(b)) + b


def columns(cols):
    out = b"A" + i32(len(cols))
    for name, server_type in cols:
        out += text(name) + i32(server_type) + i32(0) + i32(0)
    return out


def int_rows(n, first=1):
    return b"".join(b"R" + i32(4) + i32(first + i) for i in range(n))


ALL_TYPES_ROW = (
    b"R" + i32(1) + b"T" + i32(1) + b"\x7f" + i32(2) + struct.pack(">h", -2) + i32(4) + i32(42)
    + i32(8) + i64(-7) + i32(4) + struct.pack(">f", 1.5) + i32(8) + struct.pack(">d", 2.25)
    + i32(4) + i32(11016) + i32(4) + i32(3723004) + i32(8) + i64(1600000000123)
    + text("cabc") + i32(0) + text("-12.50") + i32(-1)
)
ALL_TYPES = columns([("b", 2), ("t.i1", 3), ("i2", 4), ("i4%alias", 5), ("i8", 6), ("r4", 8),
                     ("r8", 9), ("d", 10), ("tm", 11), ("dt", 13), ("s", 30), ("n", 45),
                     ("dec", 7), ("z", 5)])

REPLIES = {
    "noquery": [b"U" + i32(5) + b"K", b"I" + text("abc") + b"I" + text("abd") + b"K",
                b"E" + text("bad") + b"W" + text("warn") + b"K", b"O" + i32(5) + text(i32(3)) + b"K",
                b"D" + i32(2) + b"M" + text("m") + b"K", b"I" + text("9" * 40) + b"K"],
    "procedure": [b"O" + i32(9) + text(struct.pack(">d", 4.5)) + b"P" + i32(0) + i32(5) + text(i32(42))
                  + b"P" + i32(1) + i32(5) + text(i32(7)) + b"K",
                  columns([("n", 5)]) + int_rows(450) + b"K",
                  b"P" + i32(0) + i32(13) + text(i64(86400000)) + b"W" + text("w") + b"K",
                  b"P" + i32(0) + i32(30) + text("a long output text") + b"K"],
    "single": [columns([("n", 5)]) + int_rows(1) + b"K", columns([("n", 5)]) + int_rows(250) + b"K",
               columns([("s", 30)]) + b"R" + text("x" * 80) + b"K", b"U" + i32(3) + b"K",
               b"E" + text("no table") + b"K", columns([("n", 5)]) + b"K"],
    "statement": [ALL_TYPES + ALL_TYPES_ROW + ALL_TYPES_ROW + b"K",
                  b"U" + i32(1) + columns([("a", 5), ("t.b%c", 30)]) + b"R" + i32(4) + i32(1) + text("x")
                  + b"W" + text("between") + b"*" + text("tag") + i32(0) + i32(-1) + b"I" + text("id7") + b"K",
                  b"E" + text("oops") + b"K", columns([("n", 5)]) + int_rows(300) + b"D" + i32(4) + b"K"],
    "cursor": [columns([("n", 5)]) + int_rows(30) + b"K", b"W" + text("w") + columns([("n", 6)]) + b"K",
               ALL_TYPES + ALL_TYPES_ROW + b"K"],
    "prepare": [columns([("a", 5), ("b", 30)]) + b"$" + i32(2) + text("p1") + i32(1) + i32(5) + i32(4)
                + text("p2") + i32(2) + i32(30) + i32(64) + b"K",
                b"E" + text("syntax") + b"K", b"K"],
    "simple": [b"K", b"E" + text("no such statement") + b"K", b"M" + text("m") + b"E" + text("e") + b"K"],
    "lob": [columns([("lob", 31)]) + b"R" + i32(1) + text("0123456789") + i32(1) + text("abc") + i32(0) + b"K",
            b"E" + text("no such lob") + b"K", columns([("lob", 31)]) + b"K"],
    "login": [b"K", b"N\x00\x00\x01\x2dK", b"X" + text("refused")],
}


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(data)


def main():
    for index, reader in enumerate(READERS):
        for n, reply in enumerate(REPLIES[reader]):
            # reader, flags (bit 7: encrypted; low 4 bits: number of cuts), cuts, reply
            write("reply_readers", "%s-%d" % (reader, n), bytes([index, 0]) + reply)
            write("reply_readers", "%s-%d-cut" % (reader, n), bytes([index, 0x83, 0, 6, 200]) + reply)
    for n, s in enumerate(["IP=127.0.0.1;PORT=5432;DB=D;USER=U;PWD=p=w;CHAR_SET=UTF8",
                           "IPS=10.0.0.1,10.0.0.2,10.0.0.3;DB=X;USE_SSL=yes;LOB_RET=off",
                           "DB=A,USER=B,CHAR_SET=C,LOCK TIMEOUT=5,RECV_TIMEOUT=1,CONNECT TIMEOUT=2",
                           " user id = APPUSER ; AUTO_COMMIT=OFF;ISO LEVEL=x;RETURN ROWID=on;TIME_ZONE=z"]):
        write("conn_string", str(n), s.encode())
    # conversion: column count, server types, then per row and column a length byte and the value
    write("conversion", "0", bytes([3, 5, 30, 9]) + bytes([4, 0, 0, 0, 42, 3]) + b"abc" + bytes([8]) + struct.pack(">d", 2.5))
    write("conversion", "1", bytes([4, 10, 11, 13, 7]) + bytes([4]) + i32(11016) + bytes([4]) + i32(3723004)
          + bytes([8]) + i64(1600000000123) + bytes([6]) + b"-12.50")
    write("conversion", "2", bytes([2, 2, 12]) + bytes([1]) + b"T" + bytes([6]) + b"\x02\x93\x2e\x00\x00\x78")


if __name__ == "__main__":
    main()
