"""The PEP 249 exception hierarchy and the mapping of libkvc failures onto it."""

import ctypes


class Warning(Exception):  # noqa: A001 - the name is fixed by PEP 249
    pass


class Error(Exception):
    """Every failure of this package. `status` is the library's status (0 when the
    failure is the package's own), `code` its bracketed code ("EC0100" for a
    server text, "" when the library gave none)."""

    def __init__(self, message, status=0, code=""):
        super().__init__(message)
        self.status = status
        self.code = code


class InterfaceError(Error):
    pass


class DatabaseError(Error):
    pass


class DataError(DatabaseError):
    pass


class OperationalError(DatabaseError):
    pass


class IntegrityError(DatabaseError):
    pass


class InternalError(DatabaseError):
    pass


class ProgrammingError(DatabaseError):
    pass


class NotSupportedError(DatabaseError):
    pass


ALL = (Warning, Error, InterfaceError, DatabaseError, DataError, OperationalError, IntegrityError,
       InternalError, ProgrammingError, NotSupportedError)

# Library statuses whose meaning does not depend on the text.
_BY_STATUS = {
    -3: InterfaceError,      # wrong handle or missing argument: a fault of this package's call
    -4: OperationalError,    # the connection broke
    -5: OperationalError,    # the library ran out of memory
    -8: OperationalError,    # connect failed
    -9: OperationalError,    # login refused
    -12: DataError,          # a value did not fit its buffer
    -13: DataError,          # no conversion
    -15: ProgrammingError,
    -51: ProgrammingError, -52: ProgrammingError, -53: ProgrammingError, -54: ProgrammingError,
    -55: ProgrammingError, -56: ProgrammingError, -58: ProgrammingError, -59: ProgrammingError,
}

# Library texts by code prefix: connection trouble, or a misuse of the interface.
_OPERATIONAL_CODES = ("EC004", "EC011", "EC012", "EC013", "EC014", "EC0195", "EC0196", "EC0197",
                      "EC0198", "EC0194", "EC0199", "EC080")

# Server texts (the development server passes SQLite's own) by what they say.
_SERVER_TEXTS = (
    (IntegrityError, ("constraint failed", "constraint violation", "not unique", "foreign key mismatch")),
    (DataError, ("datatype mismatch", "out of range", "too big", "integer overflow", "division by zero", "does not fit")),
    (OperationalError, ("database is locked", "database table is locked", "busy", "disk i/o", "readonly",
                        "interrupted", "unable to open", "out of memory")),
    (NotSupportedError, ("not supported",)),
    (ProgrammingError, ("syntax error", "no such", "already exists", "near \"", "incomplete input",
                        "has no column", "ambiguous column", "wrong number of arguments", "no transaction",
                        "within a transaction", "unrecognized token", "parameter", "not authorized",
                        "unknown", "misuse", "cannot", "may not", "not allowed")),
)


def classify(status, code, text):
    if code == "EC0100" or (code == "" and status == -1):
        lowered = text.lower()
        for cls, phrases in _SERVER_TEXTS:
            if any(p in lowered for p in phrases):
                return cls
        return DatabaseError
    if code.startswith(_OPERATIONAL_CODES):
        return OperationalError
    if code:
        return ProgrammingError if status != -4 else OperationalError
    return _BY_STATUS.get(status, DatabaseError)


def handle_error_text(lib, handle):
    """(code, text) of the last failure kept by a connection, result or large object."""
    if not handle:
        return "", ""
    ref = ctypes.byref(handle)
    length = lib.KVC_GetErrorLen(ref)
    if length <= 0:
        return "", ""
    buf = ctypes.create_string_buffer(length + 1)
    got = ctypes.c_int(0)
    lib.KVC_GetError(ref, buf, ctypes.byref(got))
    text = buf.raw[:max(0, min(got.value, length))].decode("utf-8", "replace").strip()
    code_buf = ctypes.create_string_buffer(8)
    message = ctypes.create_string_buffer(260)
    code = ""
    if lib.KVC_GetErrorInfo(ref, code_buf, message) in (0, 2):
        code = code_buf.value.decode("ascii", "replace")
    return code, text


def _strip_code(text):
    # The bracketed code travels in `code`; the message keeps the words.
    if text.startswith("[EC"):
        end = text.find("]")
        if end > 0:
            return text[end + 1:].strip()
    return text


# Statuses after which the handle holds a new text; after the others it may
# still hold the text of an older failure.
_WITH_TEXT = frozenset((-1, -8, -9, -51, -52, -54, -55, -56, -58, -59))
_GENERIC = {
    -3: "invalid handle or argument",
    -4: "the connection to the server broke",
    -5: "the library ran out of memory",
    -12: "a value did not fit its buffer",
    -13: "the value cannot be converted",
}


def from_status(lib, handle, status, what):
    """The exception for a failing library status, with the handle's text."""
    code, text = handle_error_text(lib, handle) if status in _WITH_TEXT else ("", "")
    cls = classify(status, code, text)
    message = _strip_code(text) or _GENERIC.get(status) or "failed with status %d" % status
    return cls("%s: %s" % (what, message), status, code)
