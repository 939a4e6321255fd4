"""The PEP 249 surface: module, connection, cursor, transactions, parameters."""

import pytest

import kvc


def test_module_globals_and_exception_hierarchy(conn):
    assert (kvc.apilevel, kvc.threadsafety, kvc.paramstyle) == ("2.0", 1, "qmark")
    hierarchy = {
        kvc.Warning: Exception, kvc.Error: Exception, kvc.InterfaceError: kvc.Error,
        kvc.DatabaseError: kvc.Error, kvc.DataError: kvc.DatabaseError,
        kvc.OperationalError: kvc.DatabaseError, kvc.IntegrityError: kvc.DatabaseError,
        kvc.InternalError: kvc.DatabaseError, kvc.ProgrammingError: kvc.DatabaseError,
        kvc.NotSupportedError: kvc.DatabaseError,
    }
    for cls, base in hierarchy.items():
        assert issubclass(cls, base)
        assert getattr(conn, cls.__name__) is cls


def test_connect_with_a_connection_string(server):
    dsn = "IP=127.0.0.1;PORT=%d;DB=dsn;USER=u;PWD=p" % server.port
    with kvc.connect(dsn, autocommit=True) as conn:
        cur = conn.cursor()
        cur.execute("SELECT 41 + 1")
        assert cur.fetchone() == (42,)
    assert conn.closed


def test_unknown_connect_argument_is_refused():
    with pytest.raises(kvc.InterfaceError):
        kvc.connect(hots="127.0.0.1")


def test_fetch_methods_iteration_and_counts(conn):
    cur = conn.cursor()
    cur.execute("CREATE TABLE t(id INTEGER PRIMARY KEY, name VARCHAR)")
    cur.execute("INSERT INTO t(name) VALUES (?)", ("a",))
    assert (cur.rowcount, cur.lastrowid) == (1, 1)
    cur.execute("INSERT INTO t(name) VALUES ('b'), ('c'), ('d'), ('e')")
    assert (cur.rowcount, cur.lastrowid) == (4, 5)
    assert cur.description is None
    with pytest.raises(kvc.ProgrammingError):
        cur.fetchone()
    cur.execute("UPDATE t SET name = upper(name) WHERE id > 2")
    assert cur.rowcount == 3
    cur.execute("SELECT id, name FROM t ORDER BY id")
    assert cur.rowcount == 5
    assert [d[0] for d in cur.description] == ["id", "name"]
    assert cur.fetchone() == (1, "a")
    assert cur.fetchmany() == [(2, "b")]
    cur.arraysize = 2
    assert cur.fetchmany() == [(3, "C"), (4, "D")]
    assert list(cur) == [(5, "E")]
    assert cur.fetchone() is None and cur.fetchall() == [] and cur.fetchmany(3) == []
    cur.execute("DELETE FROM t WHERE id < 3")
    assert cur.rowcount == 2


def test_named_and_positional_parameters(conn):
    cur = conn.cursor()
    cur.execute("SELECT ? || ?, ?", ("a", "b", None))
    assert cur.fetchone() == ("ab", None)
    cur.execute("SELECT :first || :second, :first", {"first": "x", "second": "y"})
    assert cur.fetchone() == ("xy", "x")
    with pytest.raises(kvc.ProgrammingError):
        cur.execute("SELECT ?", "not a sequence")


def test_commit_rollback_and_autocommit(connect):
    writer, reader = connect(), connect(autocommit=True)
    w, r = writer.cursor(), reader.cursor()
    w.execute("CREATE TABLE t(v INT)")
    writer.commit()
    w.execute("INSERT INTO t VALUES (1)")
    writer.rollback()
    w.execute("INSERT INTO t VALUES (2)")
    r.execute("SELECT count(*) FROM t")
    assert r.fetchone() == (0,)          # not committed yet
    writer.commit()
    r.execute("SELECT v FROM t")
    assert r.fetchall() == [(2,)]
    writer.autocommit = True
    w.execute("INSERT INTO t VALUES (3)")
    r.execute("SELECT count(*) FROM t")
    assert r.fetchone() == (2,)


def test_connection_context_commits_or_rolls_back(connect):
    with connect() as conn:
        conn.cursor().execute("CREATE TABLE t(v INT)")
    with pytest.raises(ZeroDivisionError):
        with connect() as conn:
            conn.cursor().execute("INSERT INTO t VALUES (1)")
            1 / 0
    with connect() as conn:
        cur = conn.cursor()
        cur.execute("SELECT count(*) FROM t")
        assert cur.fetchone() == (0,)


def test_closed_cursor_and_connection_refuse_use(connect):
    conn = connect()
    with conn.cursor() as cur:
        cur.execute("SELECT 1")
    with pytest.raises(kvc.InterfaceError):
        cur.execute("SELECT 1")
    with pytest.raises(kvc.InterfaceError):
        cur.fetchall()
    other = conn.cursor()
    conn.close()
    conn.close()   # closing twice is harmless
    for action in (conn.cursor, conn.commit, conn.rollback, lambda: other.execute("SELECT 1")):
        with pytest.raises(kvc.InterfaceError):
            action()


def test_several_results_in_one_reply(conn):
    cur = conn.cursor()
    cur.execute("CREATE TABLE t(v INT)")
    cur.execute("INSERT INTO t VALUES (1); SELECT v FROM t; SELECT v + 1, v + 2 FROM t")
    assert cur.fetchall() == [(1,)]
    assert cur.nextset() is True
    assert cur.fetchall() == [(2, 3)]
    assert cur.nextset() is None
    cur.setinputsizes([10])
    cur.setoutputsize(100)


def test_procedure_with_output_parameters(conn):
    cur = conn.cursor()
    assert cur.callproc("kvc_add", [2, 40, kvc.Out(int)]) == [2, 40, 42]
    assert cur.callproc("kvc_scale", [2.5, kvc.InOut(1.5)]) == [2.5, 3.75]
    assert cur.callproc("kvc_account", [30, kvc.InOut(100), kvc.Out(int)], returns=str) == [30, 130, 100]
    assert cur.return_value == "ok"
    # The server counts the joined text in bytes.
    assert cur.callproc("kvc_concat", ["ab", "\u00e9", kvc.Out(str), kvc.Out(int)]) == ["ab", "\u00e9", "ab\u00e9", 4]
    assert cur.callproc("kvc_swap", [kvc.InOut("left"), kvc.InOut("right")]) == ["right", "left"]
    assert cur.callproc("kvc_series", [4, kvc.Out(int)]) == [4, 10]
    assert [row[0] for row in cur.fetchall()] == [1, 2, 3, 4]
    with pytest.raises(kvc.ProgrammingError):
        cur.callproc("x; DROP TABLE t", [])


def test_encrypted_connection(connect):
    conn = connect(ssl=True)
    cur = conn.cursor()
    cur.execute("CREATE TABLE t(s VARCHAR)")
    text = "secret \u2713 " * 2000          # several keystream blocks both ways
    cur.execute("INSERT INTO t VALUES (?)", (text,))
    cur.execute("SELECT s FROM t")
    assert cur.fetchall() == [(text,)]

