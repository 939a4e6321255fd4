/*
 * kvc.h - client interface of libkvc, the driver of the vavovadezar database server.
 *
 * Every object the library hands out is an opaque handle. Functions take the
 * ADDRESS of the caller's handle variable (void**): creators store the new
 * handle there, releasers set it to NULL. Every function returns an int
 * status: 0 success, small positive values information, negative values
 * failure (see KVC_STATUS_*). After a failure the handle involved keeps a
 * text that KVC_GetError / KVC_GetErrorInfo return.
 *
 * Threads: one connection, and the results, parameter sets and large objects
 * used with it, must be used by one thread at a time. Different connections
 * are independent.
 *
 * Lifetimes (what outlives what, and what a call invalidates):
 * - Every handle lives from the call that makes it until the caller releases
 *   it: KVC_CloseConn, KVC_FreeRowset, KVC_Distroy_Lob, or KVC_Drop for any.
 * - Results belong to the caller and outlive their connection. After
 *   KVC_CloseConn their rows and values stay readable; only a large object
 *   sent as a descriptor (LOB_RET) needs the connection, and fetching it then
 *   fails with KVC_ERROR and a text in the result.
 * - KVC_NextResult releases the result it moves away from; KVC_FreeRowset
 *   releases the whole chain; KVC_FetchServerCursorRowset_V2 releases the
 *   rowset it is given. Handle variables that still point at a released
 *   result must not be used.
 * - A parameter set made with KVC_CreateParams stays the caller's while
 *   bound: closing or resetting the connection only detaches it. It is bound
 *   to one connection at a time (binding it to another detaches it from the
 *   first), and KVC_Drop detaches it before releasing it.
 * - Sets the library makes (by binding through a connection handle, or by a
 *   prepare) belong to the connection and go with it.
 * - Output buffers and length variables bound with directions 2, 3 and 6, and
 *   value blocks that array binding reads in place (C types 10, 11, 13, and 15
 *   by name), must stay valid until the execution's reply has been read.
 * - A long single value (KVC_Execute_query_with_one, type above 100) is a
 *   heap copy the caller releases with KVC_FreePtr.
 * - Error texts stay in their handle until the next failure replaces them.
 *
 * KVC_Prepare and KVC_Execute have C++ linkage and are declared for C++
 * callers only; C callers use KVC_Prepare2 (name NULL) and KVC_Execute2
 * (both names NULL), which do the same.
 */
#ifndef KVC_H
#define KVC_H

#include <stdint.h>

#if defined(KVC_BUILDING_LIBRARY)
#define KVC_API __attribute__((visibility("default")))
#else
#define KVC_API
#endif

/* Handle kinds: the first 32-bit field of every record. */
#define KVC_HANDLE_CONNECTION 1
#define KVC_HANDLE_PARAMS 2
#define KVC_HANDLE_RESULT 4
#define KVC_HANDLE_LOB 5
#define KVC_HANDLE_RESERVED 6

/* Statuses. The comments below name them; the numbers are what callers see. */
#define KVC_OK 0
#define KVC_INFO 1                 /* server message or warning; see the error text */
#define KVC_OPEN_OK 2              /* KVC_OpenConn success; shortened error message */
#define KVC_NO_MORE 100            /* no more rows / results; no error text */
#define KVC_PREPARED_WITH_COLUMNS 19665
#define KVC_ERROR -1               /* failure, text in the handle */
#define KVC_BAD_HANDLE -3          /* wrong handle kind or missing argument */
#define KVC_NET_ERROR -4           /* the connection broke */
#define KVC_NO_MEMORY -5
#define KVC_CONNECT_FAILED -8
#define KVC_LOGIN_FAILED -9
#define KVC_NULL_VALUE -11
#define KVC_TRUNCATED -12
#define KVC_NO_CONVERSION -13
#define KVC_BAD_COLUMN -15
#define KVC_BAD_OFFSET -18
#define KVC_BAD_PARAM_NO -51
#define KVC_BAD_DIRECTION -52
#define KVC_BAD_PARAM_SEQ -54
#define KVC_BAD_PARAM_JUMP -55
#define KVC_OUTPUT_UNBOUND -56
#define KVC_BAD_DATATYPE -58
#define KVC_PARAMS_UNBOUND -59

/* Server type codes (column types reported on the wire). */
#define KVC_SQL_BOOL 2
#define KVC_SQL_TINYINT 3
#define KVC_SQL_SMALLINT 4
#define KVC_SQL_INT 5
#define KVC_SQL_BIGINT 6
#define KVC_SQL_NUMERIC 7
#define KVC_SQL_FLOAT 8
#define KVC_SQL_DOUBLE 9
#define KVC_SQL_DATE 10
#define KVC_SQL_TIME 11
#define KVC_SQL_TIME_TZ 12
#define KVC_SQL_DATETIME 13
#define KVC_SQL_DATETIME_TZ 14
#define KVC_SQL_INTERVAL_YM 16
#define KVC_SQL_INTERVAL_DH 19
#define KVC_SQL_INTERVAL_DM 21
#define KVC_SQL_INTERVAL_HM 22
#define KVC_SQL_INTERVAL_DS 24
#define KVC_SQL_INTERVAL_HS 25
#define KVC_SQL_INTERVAL_MS 26
#define KVC_SQL_INTERVAL_S 27
#define KVC_SQL_CHAR 30
#define KVC_SQL_CLOB 32
#define KVC_SQL_BINARY 33
#define KVC_SQL_BLOB 34

/* C type codes (what a caller binds or asks a value to be converted to). */
#define KVC_C_NULL 0
#define KVC_C_BOOL 1
#define KVC_C_CHAR 2
#define KVC_C_TINYINT 3
#define KVC_C_SHORT 4
#define KVC_C_INT 5
#define KVC_C_BIGINT 6
#define KVC_C_FLOAT 7
#define KVC_C_DOUBLE 8
#define KVC_C_NUMERIC 9
#define KVC_C_DATE 10
#define KVC_C_TIME 11
#define KVC_C_TIME_TZ 12
#define KVC_C_DATETIME 13
#define KVC_C_DATETIME_TZ 14
#define KVC_C_BINARY 15
#define KVC_C_PIECE 18
#define KVC_C_INTERVAL 21
#define KVC_C_TIMESTAMP_MS 23
#define KVC_C_INTERVAL_YM 28
#define KVC_C_INTERVAL_DS 31
#define KVC_C_BLOB_ALT 40
#define KVC_C_CLOB 41
#define KVC_C_BLOB 42
#define KVC_C_TYPE_1008 58
#define KVC_C_CHARDATA 62
#define KVC_C_SINGLE_CHAR 63
#define KVC_C_RAW_TEXT 69

/* Parameter directions. */
#define KVC_PARAM_IN 1
#define KVC_PARAM_OUT 2
#define KVC_PARAM_INOUT 3
#define KVC_PARAM_RETURN 6

/* Attribute ids of KVC_GetAttr / KVC_SetAttr; value types 1 text, 2 int32, 3 int64. */
#define KVC_ATTR_SERVER_VERSION 1
#define KVC_ATTR_DATABASE 2
#define KVC_ATTR_CONST_2 3
#define KVC_ATTR_ENCODING 4
#define KVC_ATTR_CHAR_SET 5
#define KVC_ATTR_USE_SSL 6
#define KVC_ATTR_ADDRESS_LIST 7
#define KVC_ATTR_TIME_ZONE 8
#define KVC_ATTR_LOB_RET 9
#define KVC_ATTR_AUTO_COMMIT_OFF 11
#define KVC_ATTR_SRV_CURSOR_OFF 12
#define KVC_ATTR_RESULT_COLUMNS 61
#define KVC_ATTR_RESULT_ROWS 62
#define KVC_ATTR_RESULT_AFFECTED 63
#define KVC_ATTR_RESULT_CONST_4 64
#define KVC_ATTR_RESULT_KIND 65
#define KVC_ATTR_RESULT_HAS_NEXT 66
#define KVC_ATTR_TYPE_TEXT 1
#define KVC_ATTR_TYPE_INT32 2
#define KVC_ATTR_TYPE_INT64 3

/* Calendar records filled by date conversions (all fields 32-bit). */
typedef struct { int32_t year, month, day; } KVC_DATE;

#ifdef __cplusplus
extern "C" {
#endif

/* ---- connections -------------------------------------------------------- */

/* Open a connection from "KEY=value;..." (IN conn_str). Stores the handle in *conn
 * (OUT) even when the connect (KVC_CONNECT_FAILED) or login (KVC_LOGIN_FAILED)
 * fails: release it with KVC_CloseConn; requests on such a handle fail with
 * KVC_NET_ERROR. Returns KVC_OPEN_OK on success, KVC_ERROR for a NULL string
 * (no handle made), KVC_NO_MEMORY. An encrypted login (USE_SSL=on) that the
 * library itself refuses fails with KVC_LOGIN_FAILED and keeps its own text
 * instead of EC012: "[EC0199]..." when the login text, with a 07 07 pair after
 * every 30 characters and its terminator, exceeds 480 bytes; "[EC0194]..."
 * when the server's RSA exponent or modulus is zero. */
KVC_API int KVC_OpenConn(const char* conn_str, void** conn);

/* Open a connection to one address of the string's "IPS=a,b,c" list. *ips is the
 * caller's working list (created on first use, reused when seq > 1, rebuilt when
 * seq is -1; release with Release_IpsAttrs). Unreachable addresses leave the
 * rotation. Returns KVC_OK, KVC_BAD_HANDLE (NULL string or no list),
 * KVC_CONNECT_FAILED (no address reachable), KVC_LOGIN_FAILED; *conn as for
 * KVC_OpenConn. */
KVC_API int KVC_OpenConn_Ips(const char* conn_str, int seq, void** ips, void** conn);

/* Rebuild the socket and login of an open handle: 1, KVC_CONNECT_FAILED,
 * KVC_LOGIN_FAILED; KVC_BAD_HANDLE for a bad handle. */
KVC_API int KVC_ReconnectConn(void** conn);

/* Free a working address list of KVC_OpenConn_Ips and NULL *ips: KVC_OK;
 * KVC_ERROR when NULL. */
KVC_API int Release_IpsAttrs(void** ips);

/* Kept for compatibility: do nothing, return KVC_OK. */
KVC_API int SetConnStr(void* a, void* b);
KVC_API int GetConnStr(void* a, void* b);
KVC_API int kvc_conn_free_server_resources(void);

/* Release the default prepared statement on the server, close the socket, free
 * everything the connection owns and NULL *conn. Results, LOBs and caller-made
 * parameter sets stay the caller's (see Lifetimes). KVC_OK; KVC_ERROR for NULL;
 * KVC_BAD_HANDLE for a non-connection. */
KVC_API int KVC_CloseConn(void** conn);

/* Read attribute id of a connection or result into value (OUT), its type (1 text
 * without terminator, 2 int32, 3 int64) into *type and its full length into
 * *length. A text is written up to buffer_length bytes (KVC_TRUNCATED when
 * cut); a number is written at its width whatever buffer_length says, so value
 * must be an int32_t or int64_t variable. KVC_OK; KVC_BAD_HANDLE for an
 * unknown id or kind; id 1 (a query to the server) may also give its reply's
 * failures. */
KVC_API int KVC_GetAttr(void** handle, int id, void* value, int buffer_length, int* type, int* length);

/* Change connection attribute 11 (text "ON"/"TRUE" = auto-commit off) or 12
 * (address of an int32). KVC_OK; KVC_ERROR for another id; KVC_BAD_HANDLE for
 * a NULL handle or value. Other handle kinds: KVC_OK, no effect. */
KVC_API int KVC_SetAttr(void** handle, int id, void* value, int length);

/* ---- execution ------------------------------------------------------------ */

/* Run SQL that returns no rows, sending the bound parameter set if any.
 * Returns rows affected, the number of insert ids, KVC_OK, KVC_INFO (server
 * message), KVC_ERROR (server error), KVC_NET_ERROR, KVC_NO_MEMORY,
 * KVC_OUTPUT_UNBOUND or KVC_PARAMS_UNBOUND. */
KVC_API int KVC_Execute_no_query(void** conn, const char* sql);

/* Run SQL and return the first column of the first row as text in value (OUT,
 * at least 64 bytes) and its server type in *type. When *type is above 100,
 * value holds an int32 length followed by the address of a heap copy that the
 * caller frees with KVC_FreePtr: large objects, binary values, and character
 * or decimal texts of 64 bytes or more. */
KVC_API int KVC_Execute_query_with_one(void** conn, const char* sql, char* value, int* type);

/* Run SQL and hand the first result of the reply to *result (OUT, release with
 * KVC_FreeRowset; later results via KVC_NextResult), with its column count,
 * 64-bit row count and affected rows. Returns the reception status: a
 * success may be a positive number (KVC_INFO, or the rows received modulo
 * 20,000), so test for failure with "< 0"; KVC_ERROR (server error, text in
 * the connection), KVC_NET_ERROR, KVC_NO_MEMORY. */
KVC_API int KVC_ExecwithDataReader(void** conn, const char* sql, void** result, int* columns,
                                   int64_t* rows, int* affected);

/* Prepare sql under a new name "STC<n>" written to name (OUT, at least 15 bytes),
 * leaving the default statement alone; with name NULL, as KVC_Prepare.
 * KVC_OK, KVC_PREPARED_WITH_COLUMNS, KVC_ERROR, KVC_NET_ERROR, KVC_NO_MEMORY. */
KVC_API int KVC_Prepare2(void** conn, const char* sql, char* name);

/* Execute a named statement (name), or declare and open a cursor over it
 * (cursor: OUT buffer receiving "<name>_CUR"); both NULL executes the default
 * statement. *result (OUT, may be NULL) receives the reply's result on
 * success; a failure leaves *result as it was. Returns the reception status,
 * KVC_PARAMS_UNBOUND when a prepared parameter set has no values. */
KVC_API int KVC_Execute2(void** conn, const char* name, char* cursor, void** result);

/* Release a named statement, or the default one when name is NULL: KVC_OK,
 * KVC_ERROR, KVC_NET_ERROR, KVC_NO_MEMORY. */
KVC_API int KVC_UnPrepare(void** conn, const char* name);

/* Call a procedure: output parameters and the return value go into the bound
 * buffers; *result (OUT, may be NULL) receives a result set of the reply.
 * Returns the reply status (KVC_TRUNCATED when an output value was cut). */
KVC_API int KVC_Execute_procesure(void** conn, const char* sql, void** result);

/* C type of the last function return value: KVC_OK; KVC_ERROR when none is known. */
KVC_API int KVC_GetFunReturnType(void** conn, int* c_type);

/* Copy the last insert id text (at most 32 bytes with terminator) to buf:
 * KVC_OK; KVC_BAD_HANDLE. */
KVC_API int KVC_GetLastInsertId(void** conn, char* buf);

/* ---- server cursors ------------------------------------------------------- */

/* Declare cursor over sql and open it; *result (OUT) gets the declared columns.
 * KVC_OK opened; KVC_ERROR refused; KVC_NET_ERROR. The last argument is unused. */
KVC_API int KVC_ExecwithServerCursorReader(void** conn, const char* sql, const char* cursor,
                                           void** result, int* columns, void* unused);

/* Fetch the next 20000 rows of cursor into a new result in *result (OUT; the
 * previous one is not released). Returns the rows received, KVC_ERROR,
 * KVC_NET_ERROR. */
KVC_API int KVC_FetchServerCursorRowset(void** conn, const char* cursor, void** result);

/* Send a complete fetch command; *result (IN/OUT): the previous rowset is
 * released and replaced by the new one, positioned at its first row. */
KVC_API int KVC_FetchServerCursorRowset_V2(void** conn, const char* fetch_sql, void** result);

/* Fetch *count rows of a named cursor into *result (OUT) with its column and row
 * counts. Returns KVC_OK; server errors show in the connection's error text;
 * KVC_NET_ERROR when the reply broke off before any result. */
KVC_API int KVC_FetchRefCursorHead(void** conn, const char* cursor, void** result, int* columns,
                                   int64_t* rows, int* count);

/* Close a cursor: KVC_OK; KVC_ERROR refused (EC027 text); KVC_NET_ERROR. */
KVC_API int KVC_CloseCursor(void** conn, const char* cursor);

/* ---- results ---------------------------------------------------------------- */

/* Column count of a result (OUT *count): KVC_OK; reserved kind 6: KVC_OK,
 * nothing written; any other kind: KVC_BAD_HANDLE. */
KVC_API int KVC_getResultColumnsnum(void** result, int* count);
/* Row count cut to 32 bits (OUT *count): as KVC_getResultColumnsnum. */
KVC_API int KVC_getResultRecordnum(void** result, int* count);
/* Kind (1 insert id, 2 update, 3 delete, 4 rows) and what that kind carries:
 * column and row counts, affected rows, or the insert id (25-byte buffer). */
KVC_API int KVC_getResultRet(void** result, int* kind, int* columns, int* rows, int* affected,
                             char* insert_id);
/* Type modifier of column col (from 1): KVC_OK; KVC_BAD_COLUMN out of range. */
KVC_API int KVC_getResultcolmodi(void** result, int col, int* modifier);
/* C type of column col: KVC_OK (written only when known); KVC_BAD_COLUMN. */
KVC_API int KVC_getResultcolType(void** result, int col, int* c_type);
/* Alias, else name, of column col copied to name (no terminator, buffer not
 * cleared): KVC_OK; KVC_ERROR out of range. */
KVC_API int KVC_getResultcolname(void** result, int col, char* name);
/* Number (from 1) of the first column whose alias, or name if it has none,
 * equals name ignoring case; 0 when none does. */
KVC_API int KVC_getResultcolseq(void** result, const char* name);
/* Table, column and alias names (each buffer 128 bytes, cleared and terminated),
 * C type, modifier and attribute of column col: KVC_OK; KVC_ERROR out of range. */
KVC_API int KVC_getResultColInfo(void** result, int col, char* table, char* column, char* alias,
                                 int* c_type, int* modifier, int* attribute);
/* Advance to the next row: KVC_OK a row is current; KVC_NO_MORE no more rows
 * (also for the reserved kind 6); KVC_BAD_HANDLE for any other kind. */
KVC_API int KVC_ReadNext(void** result);
/* Convert column col (from 1) of the current row to c_type into dst (OUT).
 * *length (IN offset for KVC_C_PIECE, OUT bytes delivered; may be NULL
 * otherwise). Statuses: KVC_OK; KVC_NULL_VALUE (null value or no current row,
 * *length 0); KVC_TRUNCATED (cut to dst_size; *length says how much was left
 * out, for a LOB its full size); KVC_NO_CONVERSION (*length 0); KVC_BAD_COLUMN;
 * KVC_BAD_OFFSET; KVC_BAD_HANDLE; for a LOB descriptor also the fetch's
 * failures (KVC_ERROR when the connection is closed).
 *
 * Fixed-width C types write their width whatever dst_size says: dst is the
 * caller's variable of that type. dst_size bounds only the texts, the binary
 * and piecewise forms, the date record of KVC_C_TIMESTAMP_MS (12 bytes) and
 * the raw copy beyond its 41 bytes.
 *
 *   C type                      server types accepted -> what dst receives
 *   KVC_C_BOOL, KVC_C_INT       BOOL, TINYINT (the byte), SMALLINT, INT,
 *                               NUMERIC (text read as an integer) -> int32_t
 *   KVC_C_SHORT                 BOOL, TINYINT, SMALLINT -> int16_t
 *   KVC_C_BIGINT                BOOL, TINYINT, SMALLINT, INT, BIGINT, NUMERIC
 *                               -> int64_t
 *   KVC_C_FLOAT, KVC_C_DOUBLE   TINYINT, SMALLINT, INT, BIGINT, NUMERIC, FLOAT,
 *                               DOUBLE -> float / double
 *   KVC_C_TINYINT,
 *   KVC_C_SINGLE_CHAR           any -> the first stored byte
 *   KVC_C_NUMERIC               any -> the stored bytes unchanged, no
 *                               terminator (dst holds at least 41 bytes)
 *   KVC_C_CHAR, KVC_C_DATE,     every type with a text form (numbers, dates
 *   KVC_C_TIME, KVC_C_TIME_TZ,  "YYYY-MM-DD", times "hh:mm:ss", datetimes,
 *   KVC_C_DATETIME,             intervals, NUMERIC whole) and CHAR, CLOB,
 *   KVC_C_DATETIME_TZ           BINARY, BLOB as stored -> zero-terminated text
 *   KVC_C_BINARY                CHAR, CLOB, BINARY, BLOB -> bytes, no terminator
 *   KVC_C_PIECE                 CHAR, CLOB, BINARY, BLOB -> the bytes from the
 *                               offset in *length
 *   KVC_C_INTERVAL              INTERVAL_YM, INTERVAL_DS -> nothing (KVC_OK)
 *   KVC_C_TIMESTAMP_MS          DATETIME -> int64_t milliseconds since 1970;
 *                               DATE -> KVC_DATE record (year, month, day)
 *   KVC_C_INTERVAL_YM           INT, BIGINT -> int64_t; INTERVAL_YM -> int32_t
 *   KVC_C_INTERVAL_DS           INT, BIGINT, INTERVAL_DS -> int64_t
 *   KVC_C_CLOB, KVC_C_BLOB      CHAR, CLOB, BINARY, BLOB (with LOB_RET: inline
 *                               or descriptor values) -> the whole value into
 *                               the LOB whose handle variable dst points to
 * Every other pair gives KVC_NO_CONVERSION. */
KVC_API int KVC_GetData(void** result, int col, int c_type, void* dst, int dst_size, int* length);
/* Move *result to the next result of the same reply, releasing the current one:
 * KVC_OK; KVC_NO_MORE when there is none (nothing changes). */
KVC_API int KVC_NextResult(void** result);
/* Release a result and every result chained after it, and NULL *result: KVC_OK. */
KVC_API int KVC_FreeRowset(void** result);

/* ---- parameters ------------------------------------------------------------- */

/* Create an empty parameter set (OUT *params) owned by the caller: KVC_OK;
 * KVC_BAD_HANDLE; KVC_NO_MEMORY. */
KVC_API int KVC_CreateParams(void** params);
/* Clear a parameter set; on a connection, detach (and release unless
 * caller-made) its bound set and release the prepared column description. */
KVC_API int KVC_ResetParams(void** handle);
/* Bind a parameter set to a connection for its next execution: KVC_OK;
 * KVC_BAD_HANDLE. A set is bound to one connection at a time. */
KVC_API int KVC_BindParams2Conn(void** conn, void** params);
/* Bind one value by 1-based position into a set or a connection's set (a
 * connection without one gets a set of its own). Inputs (direction 1) are
 * copied (*length bytes, a negative length is refused); for directions 2, 3
 * and 6 value and length must stay valid until the reply has been read. A set
 * is bound either by position or by name, and holds single values or arrays.
 * KVC_OK, KVC_BAD_HANDLE, KVC_NO_MEMORY, KVC_BAD_PARAM_NO, KVC_BAD_DIRECTION,
 * KVC_BAD_PARAM_SEQ, KVC_BAD_PARAM_JUMP, KVC_CONNECT_FAILED (-8: direction
 * refused by the binder), KVC_ERROR. */
KVC_API int KVC_BindParamByPos(void** handle, int param_no, int direction, int c_type, void* value,
                               int buffer_length, int* length);
/* Bind one value by name (reserved is unused): KVC_OK, KVC_BAD_HANDLE,
 * KVC_NO_MEMORY, KVC_BAD_DIRECTION, KVC_ERROR. */
KVC_API int KVC_BindParamByName(void** handle, const char* name, int direction, int c_type,
                                void* value, int buffer_length, int* reserved, int* length);
/* Bind an array of array_size (1 to 65535) input values for a batch: values
 * holds the elements back to back (total_size bytes), lengths one int32 per
 * element (0 sends a null). Element layouts by C type:
 *   fixed width (1, 3, 4, 5, 6, 7, 8, 23, 63): array_size elements of the
 *     type's width, copied whatever total_size says;
 *   KVC_C_NUMERIC: decimal texts of lengths[r] bytes packed back to back,
 *     copied (at most 41 bytes an element);
 *   KVC_C_DATE, KVC_C_TIME, KVC_C_DATETIME: texts of lengths[r] bytes packed
 *     back to back, read in place at execution;
 *   KVC_C_CHAR and 62: each element is a 32-bit length prefix (host order)
 *     and then that many bytes; lengths[r] bytes after the prefix are sent,
 *     so prefix and length entry must agree; copied;
 *   KVC_C_BINARY: a 4-byte prefix, then lengths[r] bytes; copied by position,
 *     read in place by name.
 * Blocks read in place must stay valid until the batch has executed. C types
 * 12, 14, 28, 31 and the LOB types have no batch form (KVC_BAD_DATATYPE). The
 * first binding fixes param_total and array_size for the set. Directions
 * other than 1 bind nothing (by position 2 and 3 give KVC_CONNECT_FAILED, -8).
 * KVC_OK, KVC_BAD_HANDLE, KVC_NO_MEMORY, KVC_BAD_PARAM_NO, KVC_BAD_DIRECTION,
 * -53 (name already bound), KVC_BAD_PARAM_SEQ, KVC_BAD_DATATYPE, KVC_ERROR. */
KVC_API int KVC_BindParamArrayByPos(void** handle, int param_no, int param_total, int direction,
                                    int c_type, int array_size, void* values, int64_t total_size,
                                    int* lengths);
KVC_API int KVC_BindParamArrayByName(void** handle, const char* name, int param_total,
                                     int direction, int c_type, int array_size, void* values,
                                     int total_size, int* lengths);
/* Execute sql once per bound row. Returns the reply status; KVC_ERROR with a
 * text when no set is bound (EC025), its array size differs from array_size
 * (EC057; a set of single values has array size 0), or the statement returned
 * rows (EC026). The set stays bound, emptied; it keeps the large blocks of
 * the batch (copies, lengths, the send block: at most 64 MiB) for the next
 * one, and releases them with the set. */
KVC_API int KVC_ExecBatch(void** conn, const char* sql, int array_size);

/* ---- large objects ------------------------------------------------------------ */

/* Large objects hold their bytes in 1 MiB chunks. Every function below gives
 * KVC_BAD_HANDLE when *lob is not a large object (or lob is NULL). */
/* Create an empty large object (OUT *lob, released with KVC_Distroy_Lob or
 * KVC_Drop): KVC_OK; KVC_NO_MEMORY. */
KVC_API int KVC_Create_Lob(void** lob);
/* Append len bytes of data (IN, copied); len 0 or a NULL data does nothing;
 * len -1 marks the object complete (required before it is sent as a
 * parameter; a later append reopens it). KVC_OK; KVC_BAD_HANDLE for len below
 * -1; KVC_NO_MEMORY for a chunk (the bytes that fit are kept). */
KVC_API int KVC_Put_Lob_data(void** lob, const char* data, int len);
/* Copy up to len bytes from the read position into dst (OUT, len bytes) and
 * advance the position; returns the count, 0 at the end, KVC_BAD_HANDLE for a
 * negative len. */
KVC_API int KVC_Get_Lob_data(void** lob, char* dst, int len);
/* Set the read position (0 to the length): pos, or KVC_ERROR with the EC097 /
 * EC098 text in the object when out of range. */
KVC_API int KVC_LobRead_SetPos(void** lob, int pos);
/* Appends always go to the end: returns KVC_OK, changes nothing. */
KVC_API int KVC_LobWrite_SetPos(void** lob, int pos);
/* Empty the object (content, descriptor, error text), keeping the handle:
 * KVC_OK, also for a variable holding NULL. */
KVC_API int KVC_Reset_Lob(void** lob);
/* Release the object and NULL *lob: KVC_OK, also for a variable holding NULL. */
KVC_API int KVC_Distroy_Lob(void** lob);

/* ---- errors ------------------------------------------------------------------- */

/* Errors are read from connections, results and large objects; a parameter
 * set's text is not reported here. Texts stay until the next failure replaces
 * them. */
/* Length of the handle's last error text; 0 when there is none. Size the
 * buffer of KVC_GetError with it: server texts can be of any length. */
KVC_API int KVC_GetErrorLen(void** handle);
/* Copy the error text (no terminator) to buf (OUT, KVC_GetErrorLen bytes) and
 * its length to *len (OUT); with no text nothing is written, so preset *len
 * to 0. Always KVC_OK. */
KVC_API int KVC_GetError(void** handle, char* buf, int* len);
/* Split the error text into code (OUT, 6 bytes written, e.g. "EC027" and a zero
 * byte, "EC0195"; "EC0100" for server texts) and message (OUT, at most 256
 * bytes written, no terminator added). KVC_OK complete; KVC_OPEN_OK (2)
 * shortened; KVC_NO_MORE no text; KVC_OK and nothing written for kinds without
 * a readable text (parameter sets); KVC_BAD_HANDLE NULL buffers;
 * KVC_NO_MEMORY. */
KVC_API int KVC_GetErrorInfo(void** handle, char* code, char* message);
/* Reserved; returns KVC_OK. */
KVC_API int KVC_GetErrorInfoOption(void);

/* ---- any handle ------------------------------------------------------------------- */

/* Release any handle and NULL *handle: the result of KVC_CloseConn,
 * KVC_FreeRowset or KVC_Distroy_Lob; a caller-made parameter set is detached
 * from its connection and released (KVC_OK), one that belongs to a connection
 * is left alone (KVC_BAD_HANDLE). KVC_OK for a variable holding NULL;
 * KVC_BAD_HANDLE for an unknown kind. */
KVC_API int KVC_Drop(void** handle);
/* Clear a parameter set or a large object; on a connection, KVC_ResetParams. */
KVC_API int KVC_Reset(void** handle);
/* Free memory the library handed out (e.g. a long single value) and NULL *ptr:
 * KVC_OK; KVC_BAD_HANDLE for a NULL ptr. */
KVC_API int KVC_FreePtr(void** ptr);

/* ---- helpers ------------------------------------------------------------------------- */

/* Class of an SQL text by its first word: 1 insert, 2 update, 3 delete,
 * 4 single select, 5 create, 6 alter, 9 other, 10 exec. */
KVC_API int fun_sql_type(const char* sql);
/* Write a millisecond datetime as "YYYY-MM-DD hh:mm:ss" (out: 20 bytes): KVC_OK. */
KVC_API int dt2dtm_Api(int64_t ms, char* out);
/* Sets the process-wide byte-order flag to little-endian, as every connect
 * sets it to the host's order; values on the wire are swapped by the host's
 * own order either way: KVC_OK. */
KVC_API int Init(void);

#ifdef __cplusplus
} /* extern "C" */

/* Prepare sql as the connection's default statement (replacing the previous one):
 * KVC_OK, KVC_PREPARED_WITH_COLUMNS, KVC_ERROR, KVC_NET_ERROR, KVC_NO_MEMORY. */
KVC_API int KVC_Prepare(void** conn, char* sql);
/* Execute the default statement; *result (OUT, may be NULL) receives the reply's
 * result. KVC_ERROR with the EC023 text when nothing is prepared. */
KVC_API int KVC_Execute(void** conn, void** result);
#endif

#endif /* KVC_H */
