"""kvc: a Python Database API 2.0 (PEP 249) driver for vavovadezar, over libkvc.

    import kvc
    with kvc.connect(host="127.0.0.1", port=5544, database="demo", user="u", password="p") as conn:
        cur = conn.cursor()
        cur.execute("SELECT id, name FROM t WHERE id > ?", (10,))
        for row in cur:
            print(row)
"""

import math

from ._result import LobReader
from .connection import Connection, build_dsn
from .cursor import Cursor, NamedCursor
from .exceptions import (DatabaseError, DataError, Error, IntegrityError, InterfaceError, InternalError,
                         NotSupportedError, OperationalError, ProgrammingError, Warning)
from .types import (BINARY, DATETIME, NUMBER, ROWID, STRING, Binary, Date, DateFromTicks, InOut, Out, Time,
                    TimeFromTicks, Timestamp, TimestampFromTicks)

apilevel = "2.0"
threadsafety = 1
paramstyle = "qmark"

__all__ = [
    "apilevel", "threadsafety", "paramstyle", "connect", "Connection", "Cursor", "NamedCursor", "LobReader",
    "Warning", "Error", "InterfaceError", "DatabaseError", "DataError", "OperationalError", "IntegrityError",
    "InternalError", "ProgrammingError", "NotSupportedError",
    "Date", "Time", "Timestamp", "DateFromTicks", "TimeFromTicks", "TimestampFromTicks", "Binary",
    "STRING", "BINARY", "NUMBER", "DATETIME", "ROWID", "Out", "InOut",
]


def connect(dsn=None, *, autocommit=False, library=None, connect_timeout=None, **options):
    """Open a connection.

    `dsn` is a libkvc connection string ("IP=127.0.0.1;PORT=5544;DB=demo;USER=u;PWD=p");
    keywords add to it: host, port, database, user, password, charset, schema,
    lock_timeout, ssl (the protocol's encrypted login), lob_descriptors (large
    objects fetched on demand). `autocommit` is off by default: statements run
    in a transaction that commit() or rollback() ends. `library` names the
    libkvc file to load (else $KVC_LIBRARY, else libkvc.so.1). `connect_timeout`
    bounds the wait for an unreachable server and `recv_timeout` the wait for
    each reply (seconds, rounded up to whole ones)."""
    unknown = set(options) - {"host", "port", "database", "user", "password", "charset", "schema",
                              "lock_timeout", "ssl", "lob_descriptors", "recv_timeout"}
    if unknown:
        raise InterfaceError("unknown connect() argument(s): %s" % ", ".join(sorted(unknown)))
    options = dict(options)
    for name, seconds in (("connect_timeout", connect_timeout), ("recv_timeout", options.get("recv_timeout"))):
        if seconds is not None:
            # The library counts whole seconds; a fraction must not become "no limit".
            options[name] = max(1, math.ceil(seconds))
    return Connection(build_dsn(dsn, options), autocommit=autocommit, library=library)
