"""Cursors: statements, batches, procedure calls and fetching."""

import collections
import ctypes
import datetime
import decimal
import re
import struct
import threading
from collections.abc import Mapping
from ctypes import byref, c_int, c_void_p

from . import _native as n
from . import _values as v
from ._result import ResultSet
from .exceptions import InterfaceError, ProgrammingError
from .types import InOut, Out

_BATCH_ROWS = 65535   # the batch header carries the row count in 16 bits
_CURSOR_NAME = re.compile(r"^[A-Za-z_][A-Za-z0-9_]{0,62}$")
_PROC_NAME = re.compile(r"^[A-Za-z_][A-Za-z0-9_.]*$")
# Below this block size a fetch ahead costs more than it saves.
_PREFETCH_MIN_ROWS = 5000


class Cursor:
    """A PEP 249 cursor. The rows of a statement arrive whole with its reply and
    are converted as they are fetched."""

    def __init__(self, connection):
        self.connection = connection
        self.arraysize = 1
        self.description = None
        self.rowcount = -1
        self.lastrowid = None
        self.return_value = None
        # "value": large objects come back as bytes / str; "stream": as LobReader.
        self.lob_mode = "value"
        self._result = None
        self._closed = False
        connection._cursors.add(self)

    # ---- state ------------------------------------------------------------------

    def _check(self):
        if self._closed:
            raise InterfaceError("the cursor is closed")
        self.connection._check()

    def _release(self):
        if self._result is not None:
            self._result.close()
            self._result = None

    def _reset(self):
        self._release()
        self.description = None
        self.rowcount = -1
        self.lastrowid = None
        self.return_value = None

    def _take(self, handle):
        if handle:
            self._result = ResultSet(self.connection, handle, self.lob_mode)
            self.description = self._result.description

    def close(self):
        if not self._closed:
            self._release()
            self._closed = True
            self.connection._cursors.discard(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self._release()
        except Exception:
            pass

    # ---- statements ---------------------------------------------------------------

    def execute(self, operation, parameters=None):
        """Run one statement with `parameters` for its `?` markers (a sequence)
        or its `:name` markers (a mapping)."""
        self._check()
        self._reset()
        handle, self.rowcount, self.lastrowid = self.connection._execute(operation, parameters)
        self._take(handle)
        return self

    def executemany(self, operation, seq_of_parameters):
        """Run one statement for every row of parameters. Rows of positional
        values travel as batches of array-bound parameters; a batch whose columns
        cannot be typed as arrays, and mappings, run row by row."""
        self._check()
        self._reset()
        rows = list(seq_of_parameters)
        total = 0
        for start in range(0, len(rows), _BATCH_ROWS):
            chunk = rows[start:start + _BATCH_ROWS]
            done = self._execute_batch(operation, chunk)
            if done is None:
                done = self._execute_rows(operation, chunk)
            total = -1 if total < 0 or done < 0 else total + done
        self.rowcount = total

    def _execute_rows(self, operation, rows):
        count = 0
        for params in rows:
            handle, affected, _ = self.connection._execute(operation, params)
            self.connection._free_chain(handle)
            count = -1 if count < 0 or affected < 0 else count + affected
        return count

    def _execute_batch(self, operation, rows):
        """The rows as one batch; None when they cannot be array-bound."""
        width = len(rows[0]) if rows and not isinstance(rows[0], (Mapping, str, bytes)) else 0
        if width == 0 or any(isinstance(r, (Mapping, str, bytes)) or len(r) != width for r in rows):
            return None   # row by row, where each row's parameters are checked
        if any(hasattr(value, "read") for r in rows for value in r):
            return None
        columns = [v.batch_column([r[i] for r in rows]) for i in range(width)]
        if any(c is None for c in columns):
            return None
        conn = self.connection
        lib, ref = conn._lib, byref(conn._handle)
        conn._before(operation)
        lib.KVC_ResetParams(ref)
        keep = []
        for pos, (c_type, block, lengths) in enumerate(columns, 1):
            data = ctypes.create_string_buffer(block, max(len(block), 1))
            length_array = (c_int * len(lengths))(*lengths)
            keep.append((data, length_array))
            status = lib.KVC_BindParamArrayByPos(ref, pos, width, n.PARAM_IN, c_type, len(rows), data, len(block),
                                                 length_array)
            conn._check_bind(status, pos)
        status = lib.KVC_ExecBatch(ref, operation.encode("utf-8"), len(rows))
        lib.KVC_ResetParams(ref)
        if status < 0:
            raise conn._error(status, "executemany")
        # The batch reply carries one total count that the library does not hand on.
        return -1

    def callproc(self, procname, parameters=(), returns=None):
        """Call a procedure. `Out(kind)` and `InOut(value)` mark output and
        input-output parameters; the result is a copy of `parameters` with their
        values filled in. `returns` (a type) asks for a function's return value,
        kept in `return_value`. A result set of the call is read with fetch*()."""
        self._check()
        self._reset()
        if not _PROC_NAME.match(procname):
            raise ProgrammingError("invalid procedure name %r" % procname)
        conn = self.connection
        lib, ref = conn._lib, byref(conn._handle)
        conn._before("CALL")
        lib.KVC_ResetParams(ref)
        keep, outputs = [], []
        params = list(parameters)
        for pos, value in enumerate(params, 1):
            if isinstance(value, Out):
                outputs.append((pos - 1, value, self._bind_output(pos, value, keep)))
            else:
                conn._bind_input(pos, value, keep)
        returned = None
        if returns is not None:
            returned = self._bind_output(len(params) + 1, Out(returns), keep, n.PARAM_RETURN)
        sql = "CALL %s(%s)" % (procname, ", ".join("?" * len(params)))
        result = c_void_p()
        status = lib.KVC_Execute_procesure(ref, sql.encode("utf-8"), byref(result))
        lib.KVC_ResetParams(ref)
        if status < 0:
            conn._free_chain(result)
            raise conn._error(status, "callproc %s" % procname)
        for index, marker, binding in outputs:
            params[index] = _output_value(marker.kind, *binding)
        if returned is not None:
            self.return_value = _output_value(returns, *returned)
        self._take(result)
        return params

    def _bind_output(self, pos, marker, keep, direction=None):
        c_type, size = _OUTPUT_TYPES.get(marker.kind, (n.C_CHAR, None))
        size = size or max(int(marker.size), 1)
        payload = b""
        if isinstance(marker, InOut) and marker.value is not None:
            value = marker.value
            if c_type == n.C_BIGINT and isinstance(value, (bool, int)):
                payload = struct.pack("=q", int(value))
            elif c_type == n.C_DOUBLE:
                payload = struct.pack("=d", float(value))
            else:
                payload = v.encode(value)[1]
            size = max(size, len(payload))
        if direction is None:
            direction = n.PARAM_INOUT if isinstance(marker, InOut) else n.PARAM_OUT
        buf = ctypes.create_string_buffer(payload, size)
        length = c_int(len(payload))
        keep.append((buf, length))
        conn = self.connection
        status = conn._lib.KVC_BindParamByPos(byref(conn._handle), pos, direction, c_type, buf, size, byref(length))
        conn._check_bind(status, pos)
        return c_type, buf, length

    # ---- fetching -------------------------------------------------------------------

    def _rows(self, limit):
        self._check()
        if self._result is None:
            raise ProgrammingError("the last operation produced no result set")
        return self._result.fetch(limit)

    def fetchone(self):
        rows = self._rows(1)
        return rows[0] if rows else None

    def fetchmany(self, size=None):
        return self._rows(self.arraysize if size is None else max(int(size), 0))

    def fetchall(self):
        return self._rows(-1)

    def __iter__(self):
        return self

    def __next__(self):
        row = self.fetchone()
        if row is None:
            raise StopIteration
        return row

    def nextset(self):
        """Move to the next result of the reply: True, or None when there is none."""
        self._check()
        if self._result is None:
            return None
        result = self._result
        handle = result.handle
        self._result = None
        self.description = None
        if self.connection._lib.KVC_NextResult(byref(handle)) != 0:
            self.connection._free_chain(handle)
            return None
        handle, self.rowcount, lastrowid = self.connection._walk(handle)
        self.lastrowid = lastrowid if lastrowid is not None else self.lastrowid
        self._take(handle)
        return True if handle else None

    def setinputsizes(self, sizes):
        """Accepted and ignored: values are sized from what is bound."""

    def setoutputsize(self, size, column=None):
        """Accepted and ignored: large values are read whole or streamed (lob_mode)."""


# Output parameters by the Python type asked for: C type and fixed size.
_OUTPUT_TYPES = {
    int: (n.C_BIGINT, 8),
    bool: (n.C_BIGINT, 8),
    float: (n.C_DOUBLE, 8),
    datetime.timedelta: (n.C_BIGINT, 8),
    bytes: (n.C_BINARY, None),
    str: (n.C_CHAR, None),
    decimal.Decimal: (n.C_CHAR, None),
    datetime.date: (n.C_CHAR, None),
    datetime.time: (n.C_CHAR, None),
    datetime.datetime: (n.C_CHAR, None),
}


def _output_value(kind, c_type, buf, length):
    if length.value <= 0:
        return None
    raw = buf.raw[:min(length.value, len(buf))]
    if c_type == n.C_BIGINT:
        number = struct.unpack("=q", raw[:8].ljust(8, b"\0"))[0]
        if kind is bool:
            return bool(number)
        if kind is datetime.timedelta:
            return datetime.timedelta(microseconds=number)
        return number
    if c_type == n.C_DOUBLE:
        return struct.unpack("=d", raw[:8].ljust(8, b"\0"))[0]
    if c_type == n.C_BINARY:
        return raw
    text = raw.decode("utf-8", "replace")
    if kind in (datetime.date, datetime.time, datetime.datetime):
        return kind.fromisoformat(text)
    if kind is decimal.Decimal:
        return decimal.Decimal(text)
    return text


class _Prefetch(threading.Thread):
    """Fetches the next block of a server cursor while the caller converts the
    current one. The connection waits for it before any other request."""

    def __init__(self, connection, command, size, slot):
        super().__init__(daemon=True)
        self._lib, self._conn_handle = connection._lib, connection._handle
        self._command, self._slot = command, slot
        self.size = size
        self.status = n.NET_ERROR

    def run(self):
        self.status = self._lib.KVC_FetchServerCursorRowset_V2(byref(self._conn_handle), self._command,
                                                               byref(self._slot))


class NamedCursor(Cursor):
    """A cursor kept by the server: `execute` declares and opens it, fetches
    bring `arraysize` rows at a time, so that memory stays bounded whatever the
    size of the result. Blocks of many rows are fetched one ahead, while the
    previous one is converted."""

    def __init__(self, connection, name):
        if not isinstance(name, str) or not _CURSOR_NAME.match(name):
            raise ProgrammingError("invalid cursor name %r" % (name,))
        super().__init__(connection)
        self.name = name
        self.arraysize = 1000
        self._open = False
        # Two blocks at most: the one being converted and the one being fetched.
        self._slots = (c_void_p(), c_void_p())
        self._current = 0
        self._prefetch = None
        self._pending = collections.deque()
        self._exhausted = True

    @property
    def _handle(self):
        return self._slots[self._current]

    def _release(self):
        conn = self.connection
        if self._prefetch is not None:
            self._prefetch.join()
            self._prefetch = None
        conn._settle()
        for slot in self._slots:
            if slot:
                conn._lib.KVC_FreeRowset(byref(slot))
        if self._open and not conn.closed:
            self._open = False
            status = conn._lib.KVC_CloseCursor(byref(conn._handle), self.name.encode())
            if status < 0:
                raise conn._error(status, "closing cursor %s" % self.name)
        self._open = False
        self._pending.clear()
        self._exhausted = True

    def execute(self, operation, parameters=None):
        self._check()
        self._reset()
        conn = self.connection
        lib, ref = conn._lib, byref(conn._handle)
        conn._before(operation)
        keep = []
        conn._bind(parameters, keep)
        columns = c_int(0)
        status = lib.KVC_ExecwithServerCursorReader(ref, operation.encode("utf-8"), self.name.encode(),
                                                    byref(self._handle), byref(columns), None)
        lib.KVC_ResetParams(ref)
        if status < 0:
            lib.KVC_FreeRowset(byref(self._handle))
            raise conn._error(status, "declaring cursor %s" % self.name)
        self._open = True
        self._exhausted = False
        if self._handle:
            self.description = ResultSet(conn, self._handle, self.lob_mode).description
        return self

    def executemany(self, operation, seq_of_parameters):
        raise ProgrammingError("executemany is not available on a named cursor")

    def callproc(self, procname, parameters=(), returns=None):
        raise ProgrammingError("callproc is not available on a named cursor")

    def _fill(self):
        """Take the next block of rows: the one fetched ahead, or a new fetch."""
        conn = self.connection
        size = max(int(self.arraysize), 1)
        command = ("FETCH %d FROM %s" % (size, self.name)).encode()
        status = None
        if self._prefetch is not None:
            self._prefetch.join()
            status, size, self._prefetch = self._prefetch.status, self._prefetch.size, None
            self._current ^= 1
        conn._settle()   # another cursor's fetch ahead, if any
        if status is None:
            status = conn._lib.KVC_FetchServerCursorRowset_V2(byref(conn._handle), command,
                                                              byref(self._handle))
        if status < 0:
            raise conn._error(status, "fetching from cursor %s" % self.name)
        if status < size:
            self._exhausted = True
        elif size >= _PREFETCH_MIN_ROWS and not conn._lob_descriptors:
            # The other slot holds the block converted last time; the fetch releases it.
            self._prefetch = _Prefetch(conn, command, size, self._slots[self._current ^ 1])
            conn._background = self._prefetch
            self._prefetch.start()
        rows = ResultSet(conn, self._handle, self.lob_mode).fetch(-1) if self._handle else []
        self._pending.extend(rows)

    def _rows(self, limit):
        # No wait for the connection here: the fetch ahead is this cursor's own.
        if self._closed or self.connection.closed:
            raise InterfaceError("the %s is closed" % ("cursor" if self._closed else "connection"))
        if not self._open:
            raise ProgrammingError("the cursor has not been opened with execute()")
        rows = []
        while limit < 0 or len(rows) < limit:
            if not self._pending:
                if self._exhausted:
                    break
                self._fill()
                continue
            rows.append(self._pending.popleft())
        return rows

    def nextset(self):
        self._check()
        return None
