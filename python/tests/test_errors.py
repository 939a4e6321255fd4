"""Failures reach the caller as the right PEP 249 class, with the library's code."""

import socket

import pytest

import kvc

from conftest import Server

SERVER_ERRORS = [
    ("SELEC 1", kvc.ProgrammingError),
    ("SELECT * FROM missing_table", kvc.ProgrammingError),
    ("SELECT missing_column FROM t", kvc.ProgrammingError),
    ("CREATE TABLE t(x INT)", kvc.ProgrammingError),
    ("INSERT INTO t VALUES (1, 'dup', 1)", kvc.IntegrityError),
    ("INSERT INTO t VALUES (2, NULL, 1)", kvc.IntegrityError),
    ("INSERT INTO t VALUES (3, 'c', -1)", kvc.IntegrityError),
    ("SELECT kvc_double(9223372036854775807)", kvc.DataError),
]


@pytest.mark.parametrize("sql,error", SERVER_ERRORS, ids=[s for s, _ in SERVER_ERRORS])
def test_server_errors_map_to_classes(conn, sql, error):
    cur = conn.cursor()
    cur.execute("CREATE TABLE t(id INTEGER PRIMARY KEY, name VARCHAR NOT NULL, qty INT CHECK (qty >= 0))")
    cur.execute("INSERT INTO t VALUES (1, 'a', 1)")
    with pytest.raises(error) as caught:
        cur.execute(sql)
    assert caught.value.code == "EC0100" and caught.value.status == -1
    # The connection stays usable after a statement error.
    cur.execute("SELECT count(*) FROM t")
    assert cur.fetchone() == (1,)


def test_stored_value_its_column_cannot_carry_is_a_data_error(conn):
    cur = conn.cursor()
    cur.execute("CREATE TABLE s(v SMALLINT)")
    cur.execute("INSERT INTO s VALUES (70000)")
    with pytest.raises(kvc.DataError):
        cur.execute("SELECT v FROM s")


def test_error_after_a_successful_statement_of_the_same_text_is_raised(conn):
    cur = conn.cursor()
    cur.execute("CREATE TABLE t(v INT)")
    with pytest.raises(kvc.ProgrammingError):
        cur.execute("INSERT INTO t VALUES (1); INSERT INTO missing_table VALUES (2)")


def test_failed_batch_is_an_integrity_error_and_leaves_nothing(connect):
    conn = connect(autocommit=True)
    cur = conn.cursor()
    cur.execute("CREATE TABLE t(id INTEGER PRIMARY KEY)")
    with pytest.raises(kvc.IntegrityError):
        cur.executemany("INSERT INTO t VALUES (?)", [(1,), (2,), (1,)])
    cur.execute("SELECT count(*) FROM t")
    assert cur.fetchone() == (0,)


def test_refused_login_and_unreachable_server_are_operational():
    guarded = Server("--user", "U", "--password", "P")
    try:
        with pytest.raises(kvc.OperationalError) as caught:
            kvc.connect(host="127.0.0.1", port=guarded.port, database="d", user="U", password="wrong")
        assert caught.value.status == -9
    finally:
        guarded.stop()
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        free_port = s.getsockname()[1]
    for timeout in (None, 2):
        with pytest.raises(kvc.OperationalError):
            kvc.connect(host="127.0.0.1", port=free_port, database="d", user="u", password="p",
                        connect_timeout=timeout)


def test_silent_server_fails_after_the_receive_timeout():
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)  # the handshake completes; nothing is ever answered
        with pytest.raises(kvc.OperationalError):
            kvc.connect(host="127.0.0.1", port=listener.getsockname()[1], database="d", user="u",
                        password="p", recv_timeout=0.5)


def test_broken_connection_is_operational():
    server = Server()
    conn = kvc.connect(host="127.0.0.1", port=server.port, database="d", user="u", password="p")
    cur = conn.cursor()
    cur.execute("SELECT 1")
    server.stop()
    with pytest.raises(kvc.OperationalError):
        cur.execute("SELECT 2")
    conn.close()
