"""Every value type, from Python to the server and back, over both row loops."""

import datetime as dt
import io
from decimal import Decimal

import pytest

import kvc

UTC_PLUS_2 = dt.timezone(dt.timedelta(hours=2))
UTC_MINUS_530 = dt.timezone(-dt.timedelta(hours=5, minutes=30))

# (declared column type, value sent, value expected back)
ROUND_TRIPS = [
    ("BIGINT", -(2 ** 63), -(2 ** 63)),
    ("BIGINT", 2 ** 62 + 7, 2 ** 62 + 7),
    ("INT", -123456, -123456),
    ("SMALLINT", -300, -300),
    ("TINYINT", -7, -7),
    ("BOOLEAN", True, True),
    ("BOOLEAN", False, False),
    ("DOUBLE", 1.25e100, 1.25e100),
    ("REAL", 0.5, 0.5),
    ("NUMERIC", Decimal("12345.5"), Decimal("12345.5")),
    ("VARCHAR(40)", "h\u00e9llo \u2713", "h\u00e9llo \u2713"),
    ("TEXT", "x" * 100000 + "\u00e9", "x" * 100000 + "\u00e9"),   # longer than the first read buffer
    ("VARBINARY", bytes(range(256)), bytes(range(256))),
    ("BLOB", b"\x00\xff" * 70000, b"\x00\xff" * 70000),
    ("DATE", dt.date(1969, 12, 31), dt.date(1969, 12, 31)),
    ("DATE", dt.date(2024, 2, 29), dt.date(2024, 2, 29)),
    ("TIME", dt.time(13, 45, 7, 250000), dt.time(13, 45, 7, 250000)),
    ("DATETIME", dt.datetime(1969, 12, 31, 23, 59, 59, 999000), dt.datetime(1969, 12, 31, 23, 59, 59, 999000)),
    ("TIMESTAMP", dt.datetime(2024, 5, 1, 13, 45), dt.datetime(2024, 5, 1, 13, 45)),
    ("TIMETZ", dt.time(23, 0, 0, 500000, tzinfo=UTC_PLUS_2), dt.time(23, 0, 0, 500000, tzinfo=UTC_PLUS_2)),
    ("TIMESTAMPTZ", dt.datetime(2024, 5, 1, 8, 15, 30, 123456, tzinfo=UTC_MINUS_530),
     dt.datetime(2024, 5, 1, 8, 15, 30, 123456, tzinfo=UTC_MINUS_530)),
    ('"INTERVAL DAY TO SECOND"', dt.timedelta(days=-1, seconds=3, microseconds=7),
     dt.timedelta(days=-1, seconds=3, microseconds=7)),
    ('"INTERVAL YEAR TO MONTH"', 27, 27),
]


@pytest.mark.parametrize("decl,sent,expected", ROUND_TRIPS, ids=lambda x: str(x)[:24])
def test_value_round_trip(conn, fetch_path, decl, sent, expected):
    cur = conn.cursor()
    cur.execute("CREATE TABLE t(v %s)" % decl)
    cur.execute("INSERT INTO t VALUES (?)", (sent,))
    cur.execute("INSERT INTO t VALUES (?)", (None,))
    cur.execute("SELECT v FROM t")
    rows = cur.fetchall()
    assert rows == [(expected,), (None,)]
    assert type(rows[0][0]) is type(expected)


def test_type_codes_compare_with_type_objects(conn):
    cur = conn.cursor()
    cur.execute("CREATE TABLE t(i INT, s VARCHAR, b BLOB, d DATE, ts TIMESTAMPTZ, n NUMERIC)")
    cur.execute("SELECT * FROM t")
    codes = [d[1] for d in cur.description]
    assert [d[0] for d in cur.description] == ["i", "s", "b", "d", "ts", "n"]
    assert codes[0] == kvc.NUMBER and codes[5] == kvc.NUMBER
    assert codes[1] == kvc.STRING and codes[1] != kvc.NUMBER
    assert codes[2] == kvc.BINARY
    assert codes[3] == kvc.DATETIME and codes[4] == kvc.DATETIME
    assert all(code != kvc.ROWID for code in codes)


def test_constructors():
    assert kvc.Date(2024, 5, 1) == dt.date(2024, 5, 1)
    assert kvc.Binary(b"ab") == b"ab"
    assert kvc.DateFromTicks(0) == dt.date.fromtimestamp(0)
    assert kvc.TimestampFromTicks(86400.5).replace(microsecond=0) == dt.datetime.fromtimestamp(86400)
    assert kvc.TimeFromTicks(3600) == dt.datetime.fromtimestamp(3600).time()


def test_python_int_beyond_64_bits_is_sent_as_exact_text(conn):
    cur = conn.cursor()
    cur.execute("SELECT CAST(? AS TEXT)", (2 ** 70,))
    assert cur.fetchone() == (str(2 ** 70),)


def test_unsupported_parameter_type_is_a_programming_error(conn):
    with pytest.raises(kvc.ProgrammingError):
        conn.cursor().execute("SELECT ?", (object(),))


FIVE_MIB = bytes((k * 131 >> 3) & 0xFF for k in range(256)) * (5 * 4096)


@pytest.mark.parametrize("descriptors", [False, True], ids=["inline", "descriptors"])
def test_large_object_whole_and_streamed(connect, descriptors):
    conn = connect(lob_descriptors=descriptors)
    cur = conn.cursor()
    cur.execute("CREATE TABLE docs(id INT, body BLOB, text CLOB)")
    # A file-like parameter is sent through a large object piece by piece.
    cur.execute("INSERT INTO docs VALUES (1, ?, ?)", (io.BytesIO(FIVE_MIB), io.StringIO("\u00e9" * 300000)))
    cur.execute("SELECT body, text FROM docs")
    body, text = cur.fetchone()
    assert body == FIVE_MIB and text == "\u00e9" * 300000

    cur.lob_mode = "stream"
    cur.execute("SELECT body FROM docs")
    (reader,) = cur.fetchone()
    with reader:
        assert reader.length == len(FIVE_MIB)
        pieces = iter(lambda: reader.read(1 << 20), b"")
        assert b"".join(pieces) == FIVE_MIB
        reader.seek(-10, io.SEEK_END)
        assert reader.read() == FIVE_MIB[-10:]


@pytest.mark.parametrize("decl,stored", [("DATE", "0000-06-01"), ("DATETIME", "0000-12-31 10:00:00")])
def test_value_outside_pythons_calendar_is_a_data_error(conn, fetch_path, decl, stored):
    cur = conn.cursor()
    cur.execute("CREATE TABLE t(v %s)" % decl)
    cur.execute("INSERT INTO t VALUES ('%s')" % stored)
    cur.execute("SELECT v FROM t")
    with pytest.raises(kvc.DataError):
        cur.fetchall()
