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

/* Statuses. */
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
 * (OUT) even when the connect (-8) or login (-9) fails: release it with
 * KVC_CloseConn. Returns 2 on success, -1 for a NULL string (no handle made).
 * An encrypted login (USE_SSL=on) that the library itself refuses fails with -9
 * and keeps its own text instead of EC012: "[EC0199]..." when the login text,
 * with a 07 07 pair after every 30 characters and its terminator, exceeds 480
 * bytes; "[EC0194]..." when the server's RSA exponent or modulus is zero. */
KVC_API int KVC_OpenConn(const char* conn_str, void** conn);

/* Open a connection to one address of the string's "IPS=a,b,c" list. *ips is the
 * caller's working list (created on first use, reused when seq > 1, rebuilt when
 * seq is -1; release with Release_IpsAttrs). Unreachable addresses leave the
 * rotation. Returns 0, -3 (NULL string or no list), -8 (no address reachable),
 * -9 (login refused); *conn as for KVC_OpenConn. */
KVC_API int KVC_OpenConn_Ips(const char* conn_str, int seq, void** ips, void** conn);

/* Rebuild the socket and login of an open handle: 1, -8, -9; -3 for a bad handle. */
KVC_API int KVC_ReconnectConn(void** conn);

/* Free a working address list of KVC_OpenConn_Ips and NULL *ips: 0; -1 when NULL. */
KVC_API int Release_IpsAttrs(void** ips);

/* Kept for compatibility: do nothing, return 0. */
KVC_API int SetConnStr(void* a, void* b);
KVC_API int GetConnStr(void* a, void* b);
KVC_API int kvc_conn_free_server_resources(void);

/* Release the default prepared statement on the server, close the socket, free
 * everything the connection owns and NULL *conn. Results, LOBs and caller-made
 * parameter sets stay the caller's. 0; -1 for NULL; -3 for a non-connection. */
KVC_API int KVC_CloseConn(void** conn);

/* Read attribute id of a connection or result into value (OUT, at most
 * buffer_length bytes), its type (1 text without terminator, 2 int32, 3 int64)
 * into *type and its length into *length. 0; -3 unknown id or kind; -12 cut. */
KVC_API int KVC_GetAttr(void** handle, int id, void* value, int buffer_length, int* type, int* length);

/* Change connection attribute 11 (text "ON"/"TRUE" = auto-commit off) or 12
 * (address of an int32). 0; -1 for another id. Other handle kinds: 0, no effect. */
KVC_API int KVC_SetAttr(void** handle, int id, void* value, int length);

/* ---- execution ------------------------------------------------------------ */

/* Run SQL that returns no rows, sending the bound parameter set if any.
 * Returns rows affected, the number of insert ids, 0, 1 (server message),
 * -1 (server error), -4, -5 or -56. */
KVC_API int KVC_Execute_no_query(void** conn, const char* sql);

/* Run SQL and return the first column of the first row as text in value (OUT,
 * at least 64 bytes) and its server type in *type. When *type is above 100,
 * value holds an int32 length followed by the address of a heap copy that the
 * caller frees with KVC_FreePtr. */
KVC_API int KVC_Execute_query_with_one(void** conn, const char* sql, char* value, int* type);

/* Run SQL and hand the first result of the reply to *result (OUT, release with
 * KVC_FreeRowset; later results via KVC_NextResult), with its column count,
 * 64-bit row count and affected rows. Returns the reception status. */
KVC_API int KVC_ExecwithDataReader(void** conn, const char* sql, void** result, int* columns,
                                   int64_t* rows, int* affected);

/* Prepare sql under a new name "STC<n>" written to name (OUT, at least 15 bytes),
 * leaving the default statement alone; with name NULL, as KVC_Prepare.
 * 0, 19665 (statement has result columns), -1, -4, -5. */
KVC_API int KVC_Prepare2(void** conn, const char* sql, char* name);

/* Execute a named statement (name), or declare and open a cursor over it
 * (cursor: OUT buffer receiving "<name>_CUR"); both NULL executes the default
 * statement. *result (OUT, may be NULL) receives the reply's result.
 * Returns the reception status, -59 when a prepared parameter set has no values. */
KVC_API int KVC_Execute2(void** conn, const char* name, char* cursor, void** result);

/* Release a named statement, or the default one when name is NULL: 0, -1, -4, -5. */
KVC_API int KVC_UnPrepare(void** conn, const char* name);

/* Call a procedure: output parameters and the return value go into the bound
 * buffers; *result (OUT, may be NULL) receives a result set of the reply.
 * Returns the reply status (-12 when an output value was cut). */
KVC_API int KVC_Execute_procesure(void** conn, const char* sql, void** result);

/* C type of the last function return value: 0; -1 when none is known. */
KVC_API int KVC_GetFunReturnType(void** conn, int* c_type);

/* Copy the last insert id text (at most 32 bytes with terminator) to buf: 0; -3. */
KVC_API int KVC_GetLastInsertId(void** conn, char* buf);

/* ---- server cursors ------------------------------------------------------- */

/* Declare cursor over sql and open it; *result (OUT) gets the declared columns.
 * 0 opened; -1 OPEN refused; -4. The last argument is unused. */
KVC_API int KVC_ExecwithServerCursorReader(void** conn, const char* sql, const char* cursor,
                                           void** result, int* columns, void* unused);

/* Fetch the next 20000 rows of cursor into a new result in *result (OUT; the
 * previous one is not released). Returns the rows received, -1, -4. */
KVC_API int KVC_FetchServerCursorRowset(void** conn, const char* cursor, void** result);

/* Send a complete fetch command; *result (IN/OUT): the previous rowset is
 * released and replaced by the new one, positioned at its first row. */
KVC_API int KVC_FetchServerCursorRowset_V2(void** conn, const char* fetch_sql, void** result);

/* Fetch *count rows of a named cursor into *result (OUT) with its column and row
 * counts. Returns 0; server errors show in the connection's error text. */
KVC_API int KVC_FetchRefCursorHead(void** conn, const char* cursor, void** result, int* columns,
                                   int64_t* rows, int* count);

/* Close a cursor: 0; -1 refused (EC027 text); -4. */
KVC_API int KVC_CloseCursor(void** conn, const char* cursor);

/* ---- results ---------------------------------------------------------------- */

/* Column count of a result (OUT *count): 0; kind 6: 0 nothing written; else -3. */
KVC_API int KVC_getResultColumnsnum(void** result, int* count);
/* Row count cut to 32 bits (OUT *count): 0; kind 6: 0; else -3. */
KVC_API int KVC_getResultRecordnum(void** result, int* count);
/* Kind (1 insert id, 2 update, 3 delete, 4 rows) and what that kind carries:
 * column and row counts, affected rows, or the insert id (25-byte buffer). */
KVC_API int KVC_getResultRet(void** result, int* kind, int* columns, int* rows, int* affected,
                             char* insert_id);
/* Type modifier of column col (from 1): 0; -15 out of range. */
KVC_API int KVC_getResultcolmodi(void** result, int col, int* modifier);
/* C type of column col: 0 (written only when known); -15 out of range. */
KVC_API int KVC_getResultcolType(void** result, int col, int* c_type);
/* Alias, else name, of column col copied to name (no terminator, buffer not
 * cleared): 0; -1 out of range. */
KVC_API int KVC_getResultcolname(void** result, int col, char* name);
/* Number (from 1) of the first column whose alias, or name if it has none,
 * equals name ignoring case; 0 when none does. */
KVC_API int KVC_getResultcolseq(void** result, const char* name);
/* Table, column and alias names (each buffer 128 bytes, cleared and terminated),
 * C type, modifier and attribute of column col: 0; -1 out of range. */
KVC_API int KVC_getResultColInfo(void** result, int col, char* table, char* column, char* alias,
                                 int* c_type, int* modifier, int* attribute);
/* Advance to the next row: 0 a row is current; 100 no more rows; -1 bad handle. */
KVC_API int KVC_ReadNext(void** result);
/* Convert column col of the current row to c_type into dst (dst_size bytes).
 * *length (IN offset for c_type 18, OUT bytes delivered). 0; -11 null or no row;
 * -12 cut; -13 no such conversion; -15 bad column; -18 offset past the end. */
KVC_API int KVC_GetData(void** result, int col, int c_type, void* dst, int dst_size, int* length);
/* Move *result to the next result of the same reply, releasing the current one:
 * 0; 100 when there is none (nothing changes). */
KVC_API int KVC_NextResult(void** result);
/* Release a result (not the ones chained after it) and NULL *result: 0. */
KVC_API int KVC_FreeRowset(void** result);

/* ---- parameters ------------------------------------------------------------- */

/* Create an empty parameter set (OUT *params) owned by the caller: 0; -3. */
KVC_API int KVC_CreateParams(void** params);
/* Clear a parameter set; on a connection, detach (and release unless
 * caller-made) its bound set and release the prepared column description. */
KVC_API int KVC_ResetParams(void** handle);
/* Bind a parameter set to a connection for its next execution: 0; -3. */
KVC_API int KVC_BindParams2Conn(void** conn, void** params);
/* Bind one value by 1-based position into a set or a connection's set (a
 * connection without one gets a set of its own). Inputs (direction 1) are
 * copied (*length bytes, a negative length is refused); for directions 2, 3
 * and 6 value and length must stay valid until the reply has been read. A set
 * is bound either by position or by name, and holds single values or arrays.
 * 0, -3, -5, -51, -52, -54, -55, -8, -1. */
KVC_API int KVC_BindParamByPos(void** handle, int param_no, int direction, int c_type, void* value,
                               int buffer_length, int* length);
/* Bind one value by name (reserved is unused): 0, -3, -5, -52, -1. */
KVC_API int KVC_BindParamByName(void** handle, const char* name, int direction, int c_type,
                                void* value, int buffer_length, int* reserved, int* length);
/* Bind an array of array_size (1 to 65535) input values for a batch: values
 * holds the elements back to back (total_size bytes), lengths one int32 per
 * element (0 sends a null). Fixed-width and packed-text arrays are copied;
 * C types 10, 11, 13 (and 15 by name) are read in place at execution, so
 * the block must stay valid until then. C types 12, 14, 28, 31 and the LOB
 * types have no batch form (-58). The first binding fixes param_total and
 * array_size for the set. 0, -3, -5, -51, -52, -53 (name already bound), -54,
 * -8, -58, -1. */
KVC_API int KVC_BindParamArrayByPos(void** handle, int param_no, int param_total, int direction,
                                    int c_type, int array_size, void* values, int64_t total_size,
                                    int* lengths);
KVC_API int KVC_BindParamArrayByName(void** handle, const char* name, int param_total,
                                     int direction, int c_type, int array_size, void* values,
                                     int total_size, int* lengths);
/* Execute sql once per bound row. Returns the reply status; -1 with a text when
 * no set is bound, it holds single values, or its size differs from
 * array_size. The set stays bound, emptied. */
KVC_API int KVC_ExecBatch(void** conn, const char* sql, int array_size);

/* ---- large objects ------------------------------------------------------------ */

/* Large objects hold their bytes in 1 MiB chunks. Every function below gives
 * -3 when *lob is not a large object (or lob is NULL). */
/* Create an empty large object (OUT *lob, released with KVC_Distroy_Lob or
 * KVC_Drop): 0; -5 no memory. */
KVC_API int KVC_Create_Lob(void** lob);
/* Append len bytes of data (IN, copied); len 0 or a NULL data does nothing;
 * len -1 marks the object complete (required before it is sent as a
 * parameter; a later append reopens it). 0; -3 for len below -1; -5 no memory
 * for a chunk (the bytes that fit are kept). */
KVC_API int KVC_Put_Lob_data(void** lob, const char* data, int len);
/* Copy up to len bytes from the read position into dst (OUT, len bytes) and
 * advance the position; returns the count, 0 at the end, -3 for a negative len. */
KVC_API int KVC_Get_Lob_data(void** lob, char* dst, int len);
/* Set the read position (0 to the length): pos, or -1 with the EC097 / EC098
 * text in the object when out of range. */
KVC_API int KVC_LobRead_SetPos(void** lob, int pos);
/* Appends always go to the end: returns 0, changes nothing. */
KVC_API int KVC_LobWrite_SetPos(void** lob, int pos);
/* Empty the object (content, descriptor, error text), keeping the handle: 0;
 * 0 for a variable holding NULL. */
KVC_API int KVC_Reset_Lob(void** lob);
/* Release the object and NULL *lob: 0; 0 for a variable holding NULL. */
KVC_API int KVC_Distroy_Lob(void** lob);

/* ---- errors ------------------------------------------------------------------- */

/* Errors are read from connections, results and large objects; a parameter
 * set's text is not reported here. Texts stay until the next failure replaces
 * them. */
/* Length of the handle's last error text; 0 when there is none. */
KVC_API int KVC_GetErrorLen(void** handle);
/* Copy the error text (no terminator) to buf (OUT, KVC_GetErrorLen bytes) and
 * its length to *len (OUT); with no text nothing is written, so preset *len
 * to 0. Always 0. */
KVC_API int KVC_GetError(void** handle, char* buf, int* len);
/* Split the error text into code (OUT, 6 bytes written, e.g. "EC027" and a zero
 * byte, "EC0195"; "EC0100" for server texts) and message (OUT, at most 256
 * bytes written, no terminator added). 0 complete; 2 shortened; 100 no text;
 * 0 and nothing written for kinds without a readable text (parameter sets);
 * -3 NULL buffers; -5 no memory. */
KVC_API int KVC_GetErrorInfo(void** handle, char* code, char* message);
/* Reserved; returns 0. */
KVC_API int KVC_GetErrorInfoOption(void);

/* ---- any handle ------------------------------------------------------------------- */

/* Release any handle and NULL *handle: the result of KVC_CloseConn,
 * KVC_FreeRowset or KVC_Distroy_Lob; a caller-made parameter set is released
 * (0), one that belongs to a connection is left alone (-3). 0 for a variable
 * holding NULL; -3 for an unknown kind. */
KVC_API int KVC_Drop(void** handle);
/* Clear a parameter set or a large object; on a connection, KVC_ResetParams. */
KVC_API int KVC_Reset(void** handle);
/* Free memory the library handed out (e.g. a long single value) and NULL *ptr:
 * 0; -3 for a NULL ptr. */
KVC_API int KVC_FreePtr(void** ptr);

/* ---- helpers ------------------------------------------------------------------------- */

/* Class of an SQL text by its first word: 1 insert, 2 update, 3 delete,
 * 4 single select, 5 create, 6 alter, 9 other, 10 exec. */
KVC_API int fun_sql_type(const char* sql);
/* Write a millisecond datetime as "YYYY-MM-DD hh:mm:ss" (out: 20 bytes): 0. */
KVC_API int dt2dtm_Api(int64_t ms, char* out);
/* Force little-endian byte swapping for the wire (connects set it themselves). */
KVC_API void Init(void);

#ifdef __cplusplus
} /* extern "C" */

/* Prepare sql as the connection's default statement (replacing the previous one):
 * 0, 19665, -1, -4, -5. */
KVC_API int KVC_Prepare(void** conn, char* sql);
/* Execute the default statement; *result (OUT, may be NULL) receives the reply's
 * result. -1 with the EC023 text when nothing is prepared. */
KVC_API int KVC_Execute(void** conn, void** result);
#endif

#endif /* KVC_H */
