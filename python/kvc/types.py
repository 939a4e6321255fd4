"""Type objects, constructors and the parameter markers of callproc."""

import datetime
import time

# Server type codes (the `type_code` of cursor.description).
SQL_BOOL, SQL_TINYINT, SQL_SMALLINT, SQL_INT, SQL_BIGINT, SQL_NUMERIC = 2, 3, 4, 5, 6, 7
SQL_FLOAT, SQL_DOUBLE, SQL_DATE, SQL_TIME, SQL_TIME_TZ, SQL_DATETIME, SQL_DATETIME_TZ = 8, 9, 10, 11, 12, 13, 14
SQL_INTERVAL_YM, SQL_INTERVAL_DS = 16, 24
SQL_CHAR, SQL_CLOB, SQL_BINARY, SQL_BLOB = 30, 32, 33, 34


class DBAPITypeObject:
    """Compares equal to every type code of its group."""

    def __init__(self, name, *codes):
        self.name = name
        self.values = frozenset(codes)

    def __eq__(self, other):
        if isinstance(other, DBAPITypeObject):
            return self.values == other.values
        return other in self.values

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        return hash(self.values)

    def __repr__(self):
        return "<kvc.%s>" % self.name


STRING = DBAPITypeObject("STRING", 1, 29, SQL_CHAR, SQL_CLOB, 45)
BINARY = DBAPITypeObject("BINARY", SQL_BINARY, SQL_BLOB)
NUMBER = DBAPITypeObject("NUMBER", SQL_BOOL, SQL_TINYINT, SQL_SMALLINT, SQL_INT, SQL_BIGINT, SQL_NUMERIC,
                         SQL_FLOAT, SQL_DOUBLE)
DATETIME = DBAPITypeObject("DATETIME", SQL_DATE, SQL_TIME, SQL_TIME_TZ, SQL_DATETIME, SQL_DATETIME_TZ,
                           *range(15, 28))
# The server reports no row-identifier columns; insert ids arrive as cursor.lastrowid.
ROWID = DBAPITypeObject("ROWID")

Date = datetime.date
Time = datetime.time
Timestamp = datetime.datetime
Binary = bytes


def DateFromTicks(ticks):
    return Date(*time.localtime(ticks)[:3])


def TimeFromTicks(ticks):
    return Time(*time.localtime(ticks)[3:6])


def TimestampFromTicks(ticks):
    return Timestamp(*time.localtime(ticks)[:6])


class Out:
    """An output parameter of callproc: `Out(int)`, `Out(str, size=200)`.

    `kind` is the Python type the value comes back as (int, float, str, bytes,
    decimal.Decimal, bool); `size` bounds str and bytes values."""

    def __init__(self, kind=str, size=4000):
        self.kind = kind
        self.size = size
        self.value = None


class InOut(Out):
    """An input-output parameter of callproc: sends `value`, receives the new one."""

    def __init__(self, value, kind=None, size=4000):
        super().__init__(kind if kind is not None else type(value), size)
        self.value = value
