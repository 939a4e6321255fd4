/*
 * _kvc_speedups: the row loop of the kvc package in C.
 *
 * The package finds libkvc through ctypes and hands this module the addresses
 * of KVC_ReadNext and KVC_GetData, so the module does not link against the
 * library. Each stored value is copied out unchanged (the "numeric" C type
 * copies a value's bytes, bounded by the buffer) and turned into a Python
 * object here; kinds without a direct form call the decoder the package gives.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <string.h>

typedef int (*read_next_fn)(void**);
typedef int (*get_data_fn)(void**, int, int, void*, int, int*);

/* Decoding kinds; the same numbers as kvc/_values.py. */
enum { K_DECODE, K_INT, K_DOUBLE, K_FLOAT, K_TEXT, K_BYTES, K_BOOL, K_CALL };

enum { C_RAW = 9, ST_NULL = -11, ST_TRUNCATED = -12 };

typedef struct {
    char* data;
    int size;
} Buffer;

static int buffer_reserve(Buffer* b, int size) {
    if (size <= b->size) return 0;
    char* grown = PyMem_Realloc(b->data, (size_t)size);
    if (grown == NULL) {
        PyErr_NoMemory();
        return -1;
    }
    b->data = grown;
    b->size = size;
    return 0;
}

/* One stored value as a Python object, or NULL with an exception set. Values
 * of an unexpected width go to the package's decoder. */
static PyObject* make_value(int kind, const char* p, int len, PyObject* decoder) {
    switch (kind) {
    case K_INT:
        switch (len) {
        case 1: return PyLong_FromLong((int8_t)p[0]);
        case 2: { int16_t x; memcpy(&x, p, 2); return PyLong_FromLong(x); }
        case 4: { int32_t x; memcpy(&x, p, 4); return PyLong_FromLong(x); }
        case 8: { int64_t x; memcpy(&x, p, 8); return PyLong_FromLongLong(x); }
        default: break;
        }
        break;
    case K_DOUBLE:
        if (len == 8) { double x; memcpy(&x, p, 8); return PyFloat_FromDouble(x); }
        break;
    case K_FLOAT:
        if (len == 4) { float x; memcpy(&x, p, 4); return PyFloat_FromDouble(x); }
        break;
    case K_TEXT: return PyUnicode_DecodeUTF8(p, len, "replace");
    case K_BYTES: return PyBytes_FromStringAndSize(p, len);
    case K_BOOL:
        if (len >= 1 && p[0] == 'T') Py_RETURN_TRUE;
        if (len >= 1 && p[0] == 'F') Py_RETURN_FALSE;
        Py_RETURN_NONE;
    default: break;
    }
    PyObject* raw = PyBytes_FromStringAndSize(p, len);
    if (raw == NULL) return NULL;
    PyObject* value = PyObject_CallOneArg(decoder, raw);
    Py_DECREF(raw);
    return value;
}

/* fetch(read_next, get_data, handle_address, kinds, decoders, limit, on_error) -> list of tuples */
static PyObject* fetch(PyObject* self, PyObject* args) {
    (void)self;
    unsigned long long read_next_addr, get_data_addr, handle_addr;
    const char* kinds;
    Py_ssize_t ncols;
    PyObject *decoders, *on_error;
    Py_ssize_t limit;
    if (!PyArg_ParseTuple(args, "KKKy#O!nO", &read_next_addr, &get_data_addr, &handle_addr, &kinds, &ncols,
                          &PyTuple_Type, &decoders, &limit, &on_error))
        return NULL;
    if (PyTuple_GET_SIZE(decoders) != ncols || ncols > INT32_MAX || handle_addr == 0) {
        PyErr_SetString(PyExc_ValueError, "fetch: bad column description");
        return NULL;
    }
    read_next_fn read_next = (read_next_fn)(uintptr_t)read_next_addr;
    get_data_fn get_data = (get_data_fn)(uintptr_t)get_data_addr;
    void** handle = (void**)(uintptr_t)handle_addr;

    PyObject* rows = PyList_New(0);
    if (rows == NULL) return NULL;
    Buffer buf = {NULL, 0};
    if (buffer_reserve(&buf, 64 * 1024) != 0) goto fail;
    while (limit < 0 || PyList_GET_SIZE(rows) < limit) {
        if (*handle == NULL || read_next(handle) != 0) break;
        PyObject* row = PyTuple_New(ncols);
        if (row == NULL) goto fail;
        for (Py_ssize_t c = 0; c < ncols; ++c) {
            PyObject* decoder = PyTuple_GET_ITEM(decoders, c);
            PyObject* value;
            if (kinds[c] == K_CALL) {
                value = PyObject_CallNoArgs(decoder);
            } else {
                int col = (int)c + 1, len = 0;
                int status = get_data(handle, col, C_RAW, buf.data, buf.size, &len);
                if (status == ST_TRUNCATED && len > buf.size) {
                    if (buffer_reserve(&buf, len) != 0) { Py_DECREF(row); goto fail; }
                    status = get_data(handle, col, C_RAW, buf.data, buf.size, &len);
                }
                if (status == ST_NULL) {
                    value = Py_NewRef(Py_None);
                } else if (status < 0 || len < 0 || len > buf.size) {
                    /* on_error raises the package's exception for the status. */
                    PyObject* r = PyObject_CallFunction(on_error, "ii", status < 0 ? status : ST_TRUNCATED, col);
                    Py_XDECREF(r);
                    if (r != NULL) PyErr_SetString(PyExc_RuntimeError, "fetch: unreadable value");
                    value = NULL;
                } else {
                    value = make_value(kinds[c], buf.data, len, decoder);
                }
            }
            if (value == NULL) { Py_DECREF(row); goto fail; }
            PyTuple_SET_ITEM(row, c, value);
        }
        int appended = PyList_Append(rows, row);
        Py_DECREF(row);
        if (appended != 0) goto fail;
    }
    PyMem_Free(buf.data);
    return rows;
fail:
    PyMem_Free(buf.data);
    Py_DECREF(rows);
    return NULL;
}

static PyMethodDef methods[] = {
    {"fetch", fetch, METH_VARARGS, "Read up to limit rows of a libkvc result as tuples."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_kvc_speedups", NULL, -1, methods,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__kvc_speedups(void) { return PyModule_Create(&module); }
