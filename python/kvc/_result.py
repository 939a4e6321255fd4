"""Walking a result set of libkvc and turning its rows into tuples."""

import ctypes
import io
import os
from ctypes import byref, c_int, c_void_p

from . import _native as n
from . import _values as v
from .exceptions import InterfaceError, from_status

try:
    if os.environ.get("KVC_NO_SPEEDUPS"):
        raise ImportError("disabled by KVC_NO_SPEEDUPS")
    import _kvc_speedups as speedups
except ImportError:
    speedups = None

_NAME_BUFFER = 128
_FIRST_BUFFER = 64 * 1024
_LOB_READ_MAX = 1 << 30   # the library counts a read in an int


class LobReader(io.RawIOBase):
    """A large object read in pieces: a binary, seekable file over a libkvc LOB
    handle that this reader owns. Character objects read as UTF-8 bytes."""

    def __init__(self, lib, handle, length):
        super().__init__()
        self._lib = lib
        self._handle = handle
        self._position = 0
        self.length = length

    def readable(self):
        return True

    def seekable(self):
        return True

    def readinto(self, buffer):
        self._check()
        view = memoryview(buffer).cast("B")[:_LOB_READ_MAX]
        if len(view) == 0:
            return 0
        target = (ctypes.c_char * len(view)).from_buffer(view)
        got = max(self._lib.KVC_Get_Lob_data(byref(self._handle), ctypes.addressof(target), len(view)), 0)
        self._position += got
        return got

    def seek(self, offset, whence=io.SEEK_SET):
        self._check()
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._position, io.SEEK_END: self.length}[whence]
        target = min(max(base + offset, 0), self.length)
        if self._lib.KVC_LobRead_SetPos(byref(self._handle), target) < 0:
            raise OSError("cannot seek to %d" % target)
        self._position = target
        return target

    def tell(self):
        return self._position

    def _check(self):
        if self._handle is None or not self._handle.value:
            raise ValueError("I/O operation on a closed large object")

    def close(self):
        if getattr(self, "_handle", None) is not None and self._handle.value:
            self._lib.KVC_Distroy_Lob(byref(self._handle))
        self._handle = None
        super().close()


class ResultSet:
    """One result of a reply: its columns and a forward-only row reader.

    `lob_mode` decides what large-object columns give: "value" (bytes or str)
    or "stream" (a LobReader each). With `descriptors` the content of a large
    object is fetched from the server when its value is read."""

    def __init__(self, connection, handle, lob_mode="value"):
        self._lib = connection._lib
        self._connection = connection
        self._handle = handle
        self._buffer = ctypes.create_string_buffer(_FIRST_BUFFER)
        self._length = c_int(0)
        lib, ref = self._lib, byref(handle)
        count = c_int(0)
        lib.KVC_getResultColumnsnum(ref, byref(count))
        names = [ctypes.create_string_buffer(_NAME_BUFFER) for _ in range(3)]
        c_type, modifier, attribute = c_int(0), c_int(0), c_int(0)
        description, kinds, decoders = [], [], []
        for col in range(1, count.value + 1):
            c_type.value = n.C_CHAR
            lib.KVC_getResultColInfo(ref, col, names[0], names[1], names[2], byref(c_type), byref(modifier),
                                     byref(attribute))
            name = (names[2].value or names[1].value).decode("utf-8", "replace")
            type_code, kind, decoder = v.column_type(c_type.value)
            if c_type.value in (n.C_CLOB, n.C_BLOB) and (lob_mode == "stream" or connection._lob_descriptors):
                kind, decoder = v.K_CALL, self._lob_reader(col, c_type.value, lob_mode == "stream")
            description.append((name, type_code, None, None, None, None, None))
            kinds.append(kind)
            decoders.append(decoder)
        self.description = tuple(description)
        self._kinds = bytes(kinds)
        self._decoders = tuple(decoders)

    @property
    def handle(self):
        return self._handle

    def _lob_reader(self, col, c_type, stream):
        lib = self._lib

        def read_lob():
            lob = c_void_p()
            if lib.KVC_Create_Lob(byref(lob)) != 0:
                raise InterfaceError("cannot create a large object", -5)
            holder = c_void_p(lob.value)
            length = c_int(0)
            status = lib.KVC_GetData(byref(self._handle), col, c_type, ctypes.addressof(holder), ctypes.sizeof(holder),
                                     byref(length))
            reader = LobReader(lib, lob, length.value)
            if status == n.NULL_VALUE:
                reader.close()
                return None
            if status < 0:
                reader.close()
                raise self._connection._error(status, "reading a large object")
            if stream:
                return reader
            with reader:
                data = reader.read()
            return data.decode("utf-8", "replace") if c_type == n.C_CLOB else data
        return read_lob

    def _raise_for(self, status, col):
        raise from_status(self._lib, self._handle, status, "reading column %d" % col)

    def fetch(self, limit=-1):
        """Up to `limit` further rows as tuples (all of them for a negative limit)."""
        if not self._handle:
            return []
        if speedups is not None:
            return speedups.fetch(self._connection._read_next, self._connection._get_data,
                                  ctypes.addressof(self._handle), self._kinds, self._decoders, limit,
                                  self._raise_for)
        return self._fetch_python(limit)

    def _fetch_python(self, limit):
        lib = self._lib
        ref = byref(self._handle)
        read_next, get_data = lib.KVC_ReadNext, lib.KVC_GetData
        string_at = ctypes.string_at
        length, length_ref = self._length, byref(self._length)
        columns = tuple(zip(range(1, len(self._kinds) + 1), self._kinds, self._decoders))
        rows = []
        while limit < 0 or len(rows) < limit:
            if read_next(ref) != 0:
                break
            row = []
            for col, kind, decoder in columns:
                if kind == v.K_CALL:
                    row.append(decoder())
                    continue
                buf = self._buffer
                status = get_data(ref, col, n.C_RAW, buf, len(buf), length_ref)
                if status == n.TRUNCATED:
                    buf = self._buffer = ctypes.create_string_buffer(length.value)
                    status = get_data(ref, col, n.C_RAW, buf, len(buf), length_ref)
                if status == n.NULL_VALUE:
                    row.append(None)
                elif status < 0:
                    self._raise_for(status, col)
                else:
                    row.append(v.decode_simple(kind, string_at(buf, length.value), decoder))
            rows.append(tuple(row))
        return rows

    def close(self):
        """Release this result and any that follow it in the same reply."""
        if self._handle:
            ref = byref(self._handle)
            while self._lib.KVC_NextResult(ref) == 0:
                pass
            self._lib.KVC_FreeRowset(ref)
