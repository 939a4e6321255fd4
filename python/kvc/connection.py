"""Connections: opening, transactions, and running one statement."""

import ctypes
import re
import weakref
from collections.abc import Mapping
from ctypes import byref, c_int, c_int64, c_void_p

from . import _native as n
from . import _values as v
from . import exceptions as e
from .cursor import Cursor, NamedCursor
from .exceptions import InterfaceError, OperationalError, ProgrammingError, from_status

# Keyword arguments of connect() and the connection-string keys they become.
_KEYS = (("host", "IP"), ("port", "PORT"), ("database", "DB"), ("user", "USER"), ("password", "PWD"),
         ("charset", "CHAR_SET"), ("schema", "CURRENT_SCHEMA"), ("lock_timeout", "LOCK_TIMEOUT"),
         ("connect_timeout", "CONNECT_TIMEOUT"), ("recv_timeout", "RECV_TIMEOUT"))
_CONTROL = re.compile(r"\s*(BEGIN|START|COMMIT|END|ROLLBACK)\b", re.IGNORECASE)


def build_dsn(dsn, options):
    """The connection string for connect()'s arguments: `dsn` first, then one
    item per keyword."""
    items = [dsn.strip().rstrip(";")] if dsn else []
    for name, key in _KEYS:
        value = options.pop(name, None)
        if value is not None:
            if ";" in str(value):
                # The separator cannot be escaped inside a value.
                raise InterfaceError("the %s cannot contain ';'" % name)
            items.append("%s=%s" % (key, value))
    if options.pop("ssl", False):
        items.append("USE_SSL=on")
    if options.pop("lob_descriptors", False):
        items.append("LOB_RET=on")
    # A single item without a separator would not be parsed at all.
    return ";".join(items) + ";"


def _dsn_value(dsn, *keys):
    for item in re.split(r"[;,]", dsn):
        key, _, value = item.partition("=")
        if key.strip().upper() in keys:
            return value.strip()
    return None


class Connection:
    """A PEP 249 connection over one libkvc connection handle."""

    Warning, Error, InterfaceError, DatabaseError = e.Warning, e.Error, e.InterfaceError, e.DatabaseError
    DataError, OperationalError, IntegrityError = e.DataError, e.OperationalError, e.IntegrityError
    InternalError, ProgrammingError, NotSupportedError = e.InternalError, e.ProgrammingError, e.NotSupportedError

    def __init__(self, dsn, autocommit=False, library=None):
        self._lib = n.library(library)
        self._read_next = n.function_address(self._lib, "KVC_ReadNext")
        self._get_data = n.function_address(self._lib, "KVC_GetData")
        self._lob_descriptors = _dsn_value(dsn, "LOB_RET", "LOB RET", "LOBRET") is not None
        self._handle = c_void_p()
        status = self._lib.KVC_OpenConn(dsn.encode("utf-8"), byref(self._handle))
        if status != n.OPEN_OK:
            error = from_status(self._lib, self._handle, status, "connect")
            self._lib.KVC_CloseConn(byref(self._handle))
            raise error
        self._autocommit = bool(autocommit)
        self._in_transaction = False
        self._cursors = weakref.WeakSet()
        self._background = None

    # ---- PEP 249 --------------------------------------------------------------

    def cursor(self, name=None):
        self._check()
        return NamedCursor(self, name) if name is not None else Cursor(self)

    def commit(self):
        self._check()
        if self._in_transaction:
            # A refused commit leaves the transaction open.
            self._run_simple("COMMIT")
            self._in_transaction = False

    def rollback(self):
        self._check()
        if self._in_transaction:
            self._in_transaction = False
            self._run_simple("ROLLBACK")

    def close(self):
        """Close the connection; an open transaction is rolled back. Closing
        twice is allowed."""
        if not self._handle:
            return
        self._settle()
        for cursor in list(self._cursors):
            try:
                cursor._release()
            except e.Error:
                pass   # the server drops what is left with the connection
        self._lib.KVC_CloseConn(byref(self._handle))
        self._handle = c_void_p()

    @property
    def closed(self):
        return not self._handle

    @property
    def autocommit(self):
        return self._autocommit

    @autocommit.setter
    def autocommit(self, value):
        self._check()
        if value and self._in_transaction:
            self.commit()
        self._autocommit = bool(value)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        """Commit when the block succeeded, roll back when it raised, then close."""
        try:
            if not self.closed:
                if exc_type is None:
                    self.commit()
                else:
                    self.rollback()
        finally:
            self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    # ---- running statements ---------------------------------------------------

    def _check(self):
        if not self._handle:
            raise InterfaceError("the connection is closed")
        self._settle()

    def _settle(self):
        # A named cursor's fetch ahead must end before the next request.
        job = self._background
        if job is not None:
            job.join()
            self._background = None

    def _error(self, status, what):
        return from_status(self._lib, self._handle, status, what)

    def _before(self, sql):
        """Begin the implicit transaction of a non-autocommit connection; note a
        transaction that the statement itself opens or ends."""
        control = _CONTROL.match(sql)
        if control:
            self._in_transaction = control.group(1).upper() in ("BEGIN", "START")
        elif not self._autocommit and not self._in_transaction:
            self._run_simple("BEGIN")
            self._in_transaction = True

    def _run_simple(self, sql):
        status = self._lib.KVC_Execute_no_query(byref(self._handle), sql.encode())
        if status < 0:
            raise self._error(status, sql)

    def _bind(self, params, keep=None):
        """Bind one row of parameters to the connection (a sequence by position,
        a mapping by name). `keep` collects what must outlive the execution."""
        lib, ref = self._lib, byref(self._handle)
        lib.KVC_ResetParams(ref)
        if params is None:
            return
        if isinstance(params, Mapping):
            items = list(params.items())
        elif isinstance(params, (str, bytes)):
            raise ProgrammingError("parameters must be a sequence or a mapping, not %s" % type(params).__name__)
        else:
            items = list(enumerate(params, 1))
        keep = [] if keep is None else keep
        for key, value in items:
            self._bind_input(key, value, keep)

    def _bind_input(self, key, value, keep):
        """Bind one input value by position (int key) or by name."""
        lib, ref = self._lib, byref(self._handle)
        if hasattr(value, "read"):
            c_type, data, length = self._lob_param(value, keep)
        else:
            c_type, payload = v.encode(value)
            # A zero-length buffer would be a null pointer: keep one byte.
            data = ctypes.create_string_buffer(payload, max(len(payload), 1))
            length = c_int(len(payload))
        keep.append((data, length))
        # For a large object the value is the variable that holds its handle.
        address = ctypes.addressof(data)
        if isinstance(key, int):
            status = lib.KVC_BindParamByPos(ref, key, n.PARAM_IN, c_type, address, 0, byref(length))
        else:
            status = lib.KVC_BindParamByName(ref, str(key).lstrip(":@$").encode("utf-8"), n.PARAM_IN, c_type,
                                             address, 0, None, byref(length))
        self._check_bind(status, key)

    def _check_bind(self, status, key):
        if status != 0:
            error = self._error(status, "binding parameter %r" % (key,))
            self._lib.KVC_ResetParams(byref(self._handle))
            raise error

    def _lob_param(self, stream, keep):
        """A file-like parameter goes through a large object, read in 1 MiB pieces."""
        lib = self._lib
        lob = c_void_p()
        if lib.KVC_Create_Lob(byref(lob)) != 0:
            raise OperationalError("cannot create a large object", -5)
        keep.append(_OwnedLob(lib, lob))
        c_type = n.C_BLOB
        while True:
            piece = stream.read(1 << 20)
            if not piece:
                break
            if isinstance(piece, str):
                c_type = n.C_CLOB
                piece = piece.encode("utf-8")
            if lib.KVC_Put_Lob_data(byref(lob), piece, len(piece)) != 0:
                raise OperationalError("cannot store a large object", -5)
        lib.KVC_Put_Lob_data(byref(lob), None, -1)
        holder = c_void_p(lob.value)
        return c_type, holder, c_int(ctypes.sizeof(holder))

    def _execute(self, sql, params):
        """Run one statement; returns (rows result handle or None, rowcount,
        lastrowid). The caller owns the handle."""
        self._check()
        self._before(sql)
        keep = []
        self._bind(params, keep)
        result = c_void_p()
        columns, rows, affected = c_int(0), c_int64(0), c_int(0)
        status = self._lib.KVC_ExecwithDataReader(byref(self._handle), sql.encode("utf-8"), byref(result),
                                                  byref(columns), byref(rows), byref(affected))
        self._lib.KVC_ResetParams(byref(self._handle))
        if status < 0:
            # Results may come before the failure (a text of several statements):
            # the failure still wins, as the status cannot tell it from a warning.
            self._free_chain(result)
            raise self._error(status, "execute")
        return self._walk(result)

    def _walk(self, result):
        """Consume counts and insert ids ahead of the first rows result."""
        lib = self._lib
        ref = byref(result)
        rowcount, lastrowid = -1, None
        kind, columns, rows, affected = c_int(0), c_int(0), c_int(0), c_int(0)
        insert_id = ctypes.create_string_buffer(32)
        while result:
            kind.value = 0
            lib.KVC_getResultRet(ref, byref(kind), byref(columns), byref(rows), byref(affected), insert_id)
            if kind.value == n.RESULT_ROWS:
                return result, rows.value, lastrowid
            if kind.value == n.RESULT_INSERT_ID:
                rowcount = max(rowcount, 0) + 1
                text = insert_id.value.decode("ascii", "replace")
                lastrowid = int(text) if text.lstrip("-").isdigit() else text
            elif kind.value in (2, 3):
                rowcount = max(rowcount, 0) + affected.value
            if lib.KVC_NextResult(ref) != 0:
                lib.KVC_FreeRowset(ref)
        return None, rowcount, lastrowid

    def _free_chain(self, result):
        if result:
            ref = byref(result)
            while self._lib.KVC_NextResult(ref) == 0:
                pass
            self._lib.KVC_FreeRowset(ref)


class _OwnedLob:
    """Keeps a parameter's large object alive until the statement has run."""

    def __init__(self, lib, handle):
        self._lib, self._handle = lib, handle

    def __del__(self):
        if self._handle:
            self._lib.KVC_Distroy_Lob(byref(self._handle))
