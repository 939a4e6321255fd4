"""Batches and server cursors over many rows."""

import datetime as dt
from decimal import Decimal

import pytest

import kvc


def _rows(count):
    day = dt.date(2024, 1, 1)
    return [(k, k * 0.5, "name %d" % k if k % 7 else None, k % 2 == 0, Decimal(k) / 4,
             day + dt.timedelta(days=k % 366), b"\x00%d" % k) for k in range(count)]


def test_executemany_of_ten_thousand_rows_goes_as_one_batch(conn, fetch_path):
    cur = conn.cursor()
    cur.execute("CREATE TABLE t(id BIGINT, x DOUBLE, name VARCHAR, flag BOOLEAN, amount NUMERIC, day DATE, raw BLOB)")
    rows = _rows(10000)
    cur.executemany("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?, ?)", rows)
    conn.commit()
    cur.execute("SELECT * FROM t ORDER BY id")
    assert cur.fetchall() == rows


@pytest.mark.parametrize("decl,rows,expected", [
    # int and float in one column widen to float
    ("a DOUBLE, b VARCHAR", [(1, "one"), (2.5, "two")], [(1.0, "one"), (2.5, "two")]),
    # no common array type: row by row
    ("a VARCHAR, b VARCHAR", [(1, "one"), ("two", 2)], [("1", "one"), ("two", "2")]),
    # mappings bind by name
    ("a INT, b VARCHAR", [{"a": 1, "b": "x"}, {"a": 2, "b": None}], [(1, "x"), (2, None)]),
], ids=["widened", "row-by-row", "by-name"])
def test_executemany_of_mixed_rows(conn, decl, rows, expected):
    cur = conn.cursor()
    cur.execute("CREATE TABLE t(%s)" % decl)
    markers = ":a, :b" if isinstance(rows[0], dict) else "?, ?"
    cur.executemany("INSERT INTO t VALUES (%s)" % markers, rows)
    cur.execute("SELECT a, b FROM t ORDER BY rowid")
    assert cur.fetchall() == expected


def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_named_cursor_reads_a_large_result_in_bounded_memory(conn):
    cur = conn.cursor()
    cur.execute("CREATE TABLE big(id BIGINT, pad VARCHAR)")
    # 100,000 rows of 600 bytes: 60 MB if they were held at once.
    cur.execute("""WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000)
                   INSERT INTO big SELECT i, printf('%.600c', 'x') FROM n""")
    named = conn.cursor(name="walk_big")
    named.arraysize = 500
    named.execute("SELECT id, pad FROM big WHERE id > ? ORDER BY id", (0,))
    assert [d[0] for d in named.description] == ["id", "pad"]
    before = _resident_bytes()
    growth = 0
    expected = 1
    for row_id, pad in named:
        assert row_id == expected and len(pad) == 600
        expected += 1
        if expected % 10000 == 0:
            growth = max(growth, _resident_bytes() - before)
    assert expected == 100001
    assert growth < 20 * 1024 * 1024
    named.close()

    # Large blocks are fetched ahead; other statements on the connection wait for them.
    ahead = conn.cursor(name="ahead")
    ahead.arraysize = 7000
    ahead.execute("SELECT id FROM big ORDER BY id")
    other = conn.cursor()
    seen = 0
    for (row_id,) in ahead:
        seen += 1
        assert row_id == seen
        if seen % 9000 == 0:
            other.execute("SELECT count(*) FROM big WHERE id <= ?", (seen,))
            assert other.fetchone() == (seen,)
    assert seen == 100000
    # The server cursor is gone; the name can be used again.
    again = conn.cursor(name="walk_big")
    again.execute("SELECT id FROM big WHERE id <= 3 ORDER BY id")
    assert again.fetchmany(2) == [(1,), (2,)] and again.fetchall() == [(3,)]


def test_named_cursor_names_are_checked(conn):
    with pytest.raises(kvc.ProgrammingError):
        conn.cursor(name="bad name; DROP TABLE x")
