"""Loading libkvc and declaring the functions this package calls through ctypes."""

import ctypes
import os
from ctypes import POINTER, c_char_p, c_int, c_int64, c_void_p

HANDLE = POINTER(c_void_p)
INT_P = POINTER(c_int)

# Statuses and codes of kvc.h that the package relies on.
OK = 0
OPEN_OK = 2
NO_MORE = 100
ERROR = -1
NET_ERROR = -4
NO_MEMORY = -5
NULL_VALUE = -11
TRUNCATED = -12

PARAM_IN, PARAM_OUT, PARAM_INOUT, PARAM_RETURN = 1, 2, 3, 6

C_NULL, C_BOOL, C_CHAR, C_TINYINT, C_SHORT, C_INT, C_BIGINT = 0, 1, 2, 3, 4, 5, 6
C_FLOAT, C_DOUBLE, C_NUMERIC, C_DATE, C_TIME, C_TIME_TZ = 7, 8, 9, 10, 11, 12
C_DATETIME, C_DATETIME_TZ, C_BINARY, C_INTERVAL = 13, 14, 15, 21
C_TIMESTAMP_MS, C_INTERVAL_YM, C_INTERVAL_DS, C_CLOB, C_BLOB, C_RAW_TEXT = 23, 28, 31, 41, 42, 69
# Asking for the "numeric" C type copies a value's stored bytes unchanged,
# bounded by the buffer: the one conversion that loses nothing.
C_RAW = C_NUMERIC

RESULT_ROWS = 4
RESULT_INSERT_ID = 1

# (name, result type, argument types)
_PROTOTYPES = (
    ("KVC_OpenConn", (c_char_p, HANDLE)),
    ("KVC_CloseConn", (HANDLE,)),
    ("KVC_GetAttr", (HANDLE, c_int, c_void_p, c_int, INT_P, INT_P)),
    ("KVC_Execute_no_query", (HANDLE, c_char_p)),
    ("KVC_ExecwithDataReader", (HANDLE, c_char_p, HANDLE, INT_P, POINTER(c_int64), INT_P)),
    ("KVC_Execute_procesure", (HANDLE, c_char_p, HANDLE)),
    ("KVC_GetLastInsertId", (HANDLE, c_char_p)),
    ("KVC_ExecwithServerCursorReader", (HANDLE, c_char_p, c_char_p, HANDLE, INT_P, c_void_p)),
    ("KVC_FetchServerCursorRowset_V2", (HANDLE, c_char_p, HANDLE)),
    ("KVC_CloseCursor", (HANDLE, c_char_p)),
    ("KVC_getResultColumnsnum", (HANDLE, INT_P)),
    ("KVC_getResultRet", (HANDLE, INT_P, INT_P, INT_P, INT_P, c_char_p)),
    ("KVC_getResultColInfo", (HANDLE, c_int, c_char_p, c_char_p, c_char_p, INT_P, INT_P, INT_P)),
    ("KVC_ReadNext", (HANDLE,)),
    ("KVC_GetData", (HANDLE, c_int, c_int, c_void_p, c_int, INT_P)),
    ("KVC_NextResult", (HANDLE,)),
    ("KVC_FreeRowset", (HANDLE,)),
    ("KVC_CreateParams", (HANDLE,)),
    ("KVC_ResetParams", (HANDLE,)),
    ("KVC_BindParams2Conn", (HANDLE, HANDLE)),
    ("KVC_BindParamByPos", (HANDLE, c_int, c_int, c_int, c_void_p, c_int, INT_P)),
    ("KVC_BindParamByName", (HANDLE, c_char_p, c_int, c_int, c_void_p, c_int, INT_P, INT_P)),
    ("KVC_BindParamArrayByPos", (HANDLE, c_int, c_int, c_int, c_int, c_int, c_void_p, c_int64, INT_P)),
    ("KVC_ExecBatch", (HANDLE, c_char_p, c_int)),
    ("KVC_Create_Lob", (HANDLE,)),
    ("KVC_Put_Lob_data", (HANDLE, c_char_p, c_int)),
    ("KVC_Get_Lob_data", (HANDLE, c_void_p, c_int)),
    ("KVC_LobRead_SetPos", (HANDLE, c_int)),
    ("KVC_Distroy_Lob", (HANDLE,)),
    ("KVC_GetErrorLen", (HANDLE,)),
    ("KVC_GetError", (HANDLE, c_char_p, INT_P)),
    ("KVC_GetErrorInfo", (HANDLE, c_char_p, c_char_p)),
    ("KVC_Drop", (HANDLE,)),
)

_library = None


def _candidates(path):
    if path:
        yield path
    env = os.environ.get("KVC_LIBRARY")
    if env:
        yield env
    yield "libkvc.so.1"
    yield "libkvc.so"


def library(path=None):
    """The loaded libkvc: `path`, else $KVC_LIBRARY, else the dynamic loader's libkvc.so.1.

    The first successful load stays for the life of the process."""
    global _library
    if _library is not None:
        return _library
    errors = []
    for candidate in _candidates(path):
        try:
            lib = ctypes.CDLL(candidate)
            break
        except OSError as exc:
            errors.append(str(exc))
    else:
        raise OSError("libkvc could not be loaded (set KVC_LIBRARY to its path): " + "; ".join(errors))
    for name, argtypes in _PROTOTYPES:
        fn = getattr(lib, name)
        fn.argtypes = argtypes
        fn.restype = c_int
    _library = lib
    return lib


def function_address(lib, name):
    return ctypes.cast(getattr(lib, name), c_void_p).value
