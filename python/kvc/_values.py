"""Python values to parameter bytes, and stored column bytes to Python values."""

import datetime
import decimal
import struct

from . import _native as n
from .exceptions import DataError, ProgrammingError
from . import types as t

_EPOCH_DATE = datetime.date(1970, 1, 1)
_EPOCH = datetime.datetime(1970, 1, 1)
_EPOCH_UTC = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
_INT64 = struct.Struct("=q")
_DOUBLE = struct.Struct("=d")
_INT32 = struct.Struct("=i")
_TIME_TZ = struct.Struct(">ih")      # zoned values keep the wire's big-endian layout
_DATETIME_TZ = struct.Struct(">qh")
_INT64_MIN, _INT64_MAX = -(1 << 63), (1 << 63) - 1

# ---- reading --------------------------------------------------------------------

# How the accelerator (and the pure Python loop) turns a column's stored bytes
# into a value: the simple kinds are built directly, the others call a decoder.
K_DECODE, K_INT, K_DOUBLE, K_FLOAT, K_TEXT, K_BYTES, K_BOOL, K_CALL = range(8)


def _int(raw):
    return int.from_bytes(raw, "little", signed=True)


def _bool(raw):
    return {b"T": True, b"F": False}.get(raw[:1])


def _text(raw):
    return raw.decode("utf-8", "replace")


def _numeric(raw):
    text = raw.decode("ascii", "replace").strip()
    try:
        return decimal.Decimal(text)
    except decimal.InvalidOperation:
        raise DataError("not a decimal number: %r" % text) from None


def _guard(fn):
    # Values outside Python's calendar (years before 1 or after 9999), and
    # values of the wrong width from a faulty server, are reported as DataError.
    def decode(raw):
        try:
            return fn(raw)
        except (OverflowError, ValueError, struct.error) as exc:
            raise DataError("unreadable %s value: %s" % (fn.__name__.strip("_"), exc)) from None
    decode.__name__ = fn.__name__
    return decode


def _ms_of_day(ms):
    seconds, millis = divmod(ms, 1000)
    minutes, second = divmod(seconds, 60)
    hour, minute = divmod(minutes, 60)
    return hour, minute, second, millis * 1000


@_guard
def _date(raw):
    return _EPOCH_DATE + datetime.timedelta(days=_INT32.unpack(raw)[0])


@_guard
def _time(raw):
    h, m, s, us = _ms_of_day(_INT32.unpack(raw)[0])
    return datetime.time(h, m, s, us)


@_guard
def _time_tz(raw):
    utc_ms, zone = _TIME_TZ.unpack(raw[:6])
    h, m, s, us = _ms_of_day((utc_ms + zone * 60000) % 86400000)
    return datetime.time(h, m, s, us, tzinfo=datetime.timezone(datetime.timedelta(minutes=zone)))


@_guard
def _datetime(raw):
    return _EPOCH + datetime.timedelta(milliseconds=_INT64.unpack(raw)[0])


@_guard
def _datetime_tz(raw):
    utc_us, zone = _DATETIME_TZ.unpack(raw[:10])
    zone_info = datetime.timezone(datetime.timedelta(minutes=zone))
    return (_EPOCH_UTC + datetime.timedelta(microseconds=utc_us)).astimezone(zone_info)


@_guard
def _interval_us(raw):
    return datetime.timedelta(microseconds=_int(raw))


@_guard
def _float(raw):
    return struct.unpack("=f", raw)[0]


@_guard
def _double(raw):
    return _DOUBLE.unpack(raw)[0]


# By the C type the library reports for a column: the server type it stands
# for, the decoding kind and the decoder.
_COLUMN_TYPES = {
    n.C_BOOL: (t.SQL_BOOL, K_BOOL, _bool),
    n.C_TINYINT: (t.SQL_TINYINT, K_INT, _int),
    n.C_SHORT: (t.SQL_SMALLINT, K_INT, _int),
    n.C_INT: (t.SQL_INT, K_INT, _int),
    n.C_BIGINT: (t.SQL_BIGINT, K_INT, _int),
    n.C_NUMERIC: (t.SQL_NUMERIC, K_DECODE, _numeric),
    n.C_FLOAT: (t.SQL_FLOAT, K_FLOAT, _float),
    n.C_DOUBLE: (t.SQL_DOUBLE, K_DOUBLE, _double),
    n.C_DATE: (t.SQL_DATE, K_DECODE, _date),
    n.C_TIME: (t.SQL_TIME, K_DECODE, _time),
    n.C_TIME_TZ: (t.SQL_TIME_TZ, K_DECODE, _time_tz),
    n.C_TIMESTAMP_MS: (t.SQL_DATETIME, K_DECODE, _datetime),
    n.C_DATETIME_TZ: (t.SQL_DATETIME_TZ, K_DECODE, _datetime_tz),
    # Year-month intervals have no Python type: they come back as months.
    n.C_INTERVAL_YM: (t.SQL_INTERVAL_YM, K_INT, _int),
    n.C_INTERVAL_DS: (t.SQL_INTERVAL_DS, K_DECODE, _interval_us),
    # The other interval kinds: microsecond ones (8 bytes) as timedelta, the
    # counts of hours, minutes or a single unit (4 bytes) as int.
    n.C_INTERVAL: (15, K_DECODE, lambda raw: _interval_us(raw) if len(raw) == 8 else _int(raw)),
    n.C_CHAR: (t.SQL_CHAR, K_TEXT, _text),
    n.C_RAW_TEXT: (29, K_TEXT, _text),
    n.C_CLOB: (t.SQL_CLOB, K_TEXT, _text),
    n.C_BINARY: (t.SQL_BINARY, K_BYTES, bytes),
    n.C_BLOB: (t.SQL_BLOB, K_BYTES, bytes),
}
_UNKNOWN_COLUMN = (1, K_TEXT, _text)


def column_type(c_type):
    """(server type code, decoding kind, decoder) of a column of that C type."""
    return _COLUMN_TYPES.get(c_type, _UNKNOWN_COLUMN)


def decode_simple(kind, raw, decoder):
    if kind == K_INT:
        return _int(raw)
    if kind == K_TEXT:
        return raw.decode("utf-8", "replace")
    if kind == K_BYTES:
        return bytes(raw)
    return decoder(raw)


# ---- writing --------------------------------------------------------------------

def encode(value):
    """(C type, bytes) of one parameter value; None is C type 0 with no bytes.

    Empty texts and byte strings travel as a length of 0, which the protocol
    reads as a null."""
    if value is None:
        return n.C_NULL, b""
    if isinstance(value, bool):
        return n.C_TINYINT, b"\x01" if value else b"\x00"
    if isinstance(value, int):
        if _INT64_MIN <= value <= _INT64_MAX:
            return n.C_BIGINT, _INT64.pack(value)
        return n.C_NUMERIC, str(value).encode()
    if isinstance(value, float):
        return n.C_DOUBLE, _DOUBLE.pack(value)
    if isinstance(value, str):
        return n.C_CHAR, value.encode("utf-8")
    if isinstance(value, decimal.Decimal):
        return n.C_NUMERIC, format(value, "f").encode()
    if isinstance(value, (bytes, bytearray, memoryview)):
        return n.C_BINARY, bytes(value)
    if isinstance(value, datetime.datetime):
        c_type = n.C_DATETIME if value.utcoffset() is None else n.C_DATETIME_TZ
        return c_type, value.isoformat(sep=" ").encode()
    if isinstance(value, datetime.date):
        return n.C_DATE, value.isoformat().encode()
    if isinstance(value, datetime.time):
        return (n.C_TIME if value.utcoffset() is None else n.C_TIME_TZ), value.isoformat().encode()
    if isinstance(value, datetime.timedelta):
        # Day-to-second intervals are counted in microseconds.
        return n.C_BIGINT, _INT64.pack(_timedelta_us(value))
    raise ProgrammingError("unsupported parameter type %s" % type(value).__name__)


def _timedelta_us(value):
    return (value.days * 86400 + value.seconds) * 1000000 + value.microseconds


# Batch columns: every element of one parameter must share a C type. Fixed-width
# kinds travel as packed arrays, everything else as length-prefixed elements.
_FIXED = {n.C_TINYINT: 1, n.C_BIGINT: 8, n.C_DOUBLE: 8}
_PREFIX = struct.Struct("=i")


def _widen(value, c_type, data, target):
    if c_type in (n.C_NULL, target):
        return c_type, data
    return target, (_DOUBLE.pack(float(value)) if target == n.C_DOUBLE else _INT64.pack(int(value)))


def batch_column(values):
    """(C type, block bytes, lengths list) of one parameter over all rows, or
    None when its values cannot share one array type."""
    kinds = set()
    encoded = []
    for v in values:
        c_type, data = encode(v)
        if c_type != n.C_NULL:
            kinds.add(c_type if c_type in _FIXED or c_type == n.C_BINARY else n.C_CHAR)
        encoded.append((c_type, data))
    if kinds and kinds <= {n.C_TINYINT, n.C_BIGINT, n.C_DOUBLE} and len(kinds) > 1:
        # Flags widen to integers, integers to doubles, as Python's own arithmetic does.
        target = n.C_DOUBLE if n.C_DOUBLE in kinds else n.C_BIGINT
        encoded = [_widen(value, c, data, target) for value, (c, data) in zip(values, encoded)]
        kinds = {target}
    if len(kinds) > 1:
        return None
    c_type = kinds.pop() if kinds else n.C_CHAR
    lengths = [len(data) for _, data in encoded]
    width = _FIXED.get(c_type)
    if width is not None:
        block = b"".join(data if data else bytes(width) for _, data in encoded)
    else:
        block = b"".join(_PREFIX.pack(len(data)) + data for _, data in encoded)
    return c_type, block, lengths
